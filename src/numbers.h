#pragma once
// The numbers the members of the groups were given (each one a routing
// table and a firewall mark at once), by group id and uplink device. A
// member that leaves and comes back, and every member of a daemon that
// starts again on the same tables, gets its number back: the connections it
// carried are marked with it in the connection tracking, and keep their
// uplink only while the number still names that uplink's table.
//
// The numbers live in a small text file that is replaced whole (written
// beside it, then renamed over it) after every commit that gave out a
// number:
//
//     quorin member numbers 1
//     <group id> <device> <number>
//     ...
//
// A file that is missing (after a reboot, as it lives in the runtime
// directory), cannot be read, or holds anything else is ignored, with a
// warning for the last two: the members are then numbered afresh.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "runtimefile.h"

namespace kor {
namespace quorin {

class MemberNumbers {
public:
    // Numbers a member can have.
    static const int32_t lowest = 256;
    static const int32_t highestUsable = 20000000;

    MemberNumbers();
    // Keeps the numbers in that file from now on and reads what an earlier
    // run left there; "" keeps them in memory only.
    void setFile(const std::string& path);
    // The number remembered for the member, 0 when there is none.
    int32_t find(int32_t groupId, const std::string& device) const;
    // The member has this number now; no other member is remembered with it.
    void remember(int32_t groupId, const std::string& device, int32_t number);
    // The highest number remembered, 0 when there is none.
    int32_t highest() const;
    // Writes the file when a number was given out since the last write.
    void save();

private:
    bool load(const std::string& text, std::string& why);

    std::map<std::pair<int32_t, std::string>, int32_t> numbers;
    RuntimeFile file{"numbers", "a restart numbers the members afresh"};
    bool dirty = false;
    int logModule;
};

}  // namespace quorin
}  // namespace kor
