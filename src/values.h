#pragma once
// Checks of the configured values that become words of command lines. A
// value that fails makes the reader skip its row with an error line: a
// value can be one word and still change what a line means ("from all" in
// a policy rule, "+" as an iptables wildcard), or be refused by the command
// runner halfway through an object's lines.

#include <cstdint>
#include <string>

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
inline bool isPort(int64_t port) { return port >= 0 && port <= 65535; }
inline bool isPercent(int64_t percent) { return percent >= 0 && percent <= 100; }
// The timeouts ipset accepts, in seconds (0: entries never expire).
inline bool isStickyTimeout(int64_t seconds) { return seconds >= 0 && seconds <= 2147483; }

}  // namespace checks
}  // namespace quorin
}  // namespace kor
