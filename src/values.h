#pragma once
// Checks of the configured values that become words of command lines. A
// value that fails makes the reader skip its row with an error line: a
// value can be one word and still change what a line means ("from all" in
// a policy rule, "+" as an iptables wildcard), or be refused by the command
// runner halfway through an object's lines.

#include <cstdint>
#include <string>

#include "moduna/Value.h"

namespace kor {
namespace quorin {
namespace checks {

// A Linux device name (1 to 15 bytes; no "/", ":", blank or control
// character; not "." or "..") that iptables reads as a plain name (no "+"
// wildcard, no leading "!" or "-") and the command runner takes as a plain
// word. Empty text when the name is usable, else why not.
std::string whyNotDeviceName(const std::string& name);
// A dotted quad, four decimal numbers 0 to 255.
bool isDottedQuad(const std::string& text);
// A service's source or destination: empty, a dotted quad, or a network
// "a.b.c.d/n" with n from 0 to 32. No host names: iptables would resolve them.
bool isAddressFilter(const std::string& text);
// A service's protocol: empty, "ALL", a protocol name the system knows, or a
// number from 0 to 255.
bool isProtocol(const std::string& text);

// The whole numbers a number column takes, from low to high.
struct Range {
    long long low, high;
    // "is not 0 or 1", "is not 0 to 100": why a value is refused.
    std::string refusal() const;
};
const Range ports{0, 65535};
const Range percents{0, 100};
// The timeouts ipset accepts, in seconds (0: entries never expire).
const Range stickyTimeouts{0, 2147483};
// Group and service ids: the chain name and the state file carry them as
// 32-bit numbers.
const Range ids{INT32_MIN, INT32_MAX};
// Enable, Sticky, Autobalance, Verbose, FlushStates.
const Range flags{0, 1};

// A number column's value in the range: an integer, or a text of a decimal
// number (see moduna::Value::getNumber). A word, a fraction, or a number of
// 20 digits, which the configuration service keeps as text, is none.
bool isNumber(const moduna::Value& value, const Range& range, long long& out);
// A column that quorin reads in that table of the four it reads row by row
// ("Balancing", "BalancingGroups", "BalancingInterfaces",
// "BalancingServices").
bool isColumnOf(const std::string& table, const std::string& column);

}  // namespace checks
}  // namespace quorin
}  // namespace kor
