#pragma once
// The one conntrack command the daemon writes, carried out in the runner's
// own process over ctnetlink (libnetfilter-conntrack), never by starting a
// program:
//
//   conntrack -D --mark MARK
//
// deletes every IPv4 connection-tracking entry whose mark is exactly MARK
// (1 to 4294967295, plain decimal) and no other. An uplink that left the
// split takes its flows along: the next packet of each creates a new entry
// that the group's rules give a live uplink. The exit status is 0 when the
// table could be read and every entry found was deleted or had gone by
// itself, 1 otherwise; the count of deleted entries is the error text's
// first line either way, as conntrack prints it.

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace kernel {

// True when the words are exactly that command; mark is then set.
bool parseConntrackFlush(const std::vector<std::string>& words, uint32_t& mark);
// Why words that start with "conntrack" are not that command ("" when they are).
std::string whyNotConntrackFlush(const std::vector<std::string>& words);

struct ConntrackResult {
    int status = 0;
    unsigned deleted = 0;
    std::string error;
};

// Deletes the entries of one mark.
ConntrackResult flushConntrackMark(uint32_t mark);

}  // namespace kernel
}  // namespace kor
