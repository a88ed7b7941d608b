#pragma once
// The state file "quorin.state" in the PID directory, beside the numbers
// file, that quorin-status reads: one JSON object with the process, the
// prerequisite problems, every group with every uplink row of it (in the
// split or not, and why not), and the rows the readers refused:
//
//   {"version": 1, "pid": 1234, "started": 1765170000, "written": 1765170100,
//    "problems": [{"check": "hook", "text": "LOADB_PRE is not hooked ..."}],
//    "groups": [{"id": 1, "chain": "LOADBALANCING1", "client": "lan0",
//                "sticky": true, "mode": "shares",
//                "uplinks": [{"device": "wan1", "share": 50, "table": 256,
//                             "address": "10.1.0.2", "in": true, "reason": "",
//                             "detail": "", "since": 1765170000}, ...]}],
//    "refused": [{"table": "BalancingInterfaces", "row": 3,
//                 "text": "BalancingInterfaces row 3 skipped: ..."}]}
//
// Times are Unix seconds; "since" is when the uplink last went in or out of
// the split (for a refused row, when it was first refused). The file is
// replaced whole whenever its content other than "written" changes, and
// removed at a clean stop.

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "runtimefile.h"

namespace kor {
namespace quorin {

class quorin;
class BalancingGroup;
struct UplinkRow;

// The row's uplink is a member of the group that carries traffic.
bool uplinkInSplit(const BalancingGroup& group, const UplinkRow& row);

class StateFile {
public:
    // The process is this one, started now.
    StateFile();
    void setProcess(long pid, time_t started);
    // Where the file is written; "" (the default) writes none.
    void setPath(const std::string& path);
    // The state at time now, without "written". Keeps, from call to call,
    // when each uplink row last changed between in, out and refused.
    nlohmann::ordered_json compose(const quorin& controller, time_t now);
    // Writes the file when the state differs from the one last written.
    void publish(const quorin& controller, time_t now);
    // Removes the file (a clean stop).
    void remove();

private:
    // The entry of one uplink row of the group.
    nlohmann::ordered_json uplink(const quorin& controller, const BalancingGroup& group, const UplinkRow& row,
                                  time_t now);

    // When the group's service rules were last all made anew.
    time_t rulesSince(const BalancingGroup& group, time_t now);

    struct Since {
        std::string state;  // "in", "out" or "refused"
        time_t since;
    };
    // By group id and device.
    std::map<std::pair<int32_t, std::string>, Since> since_;
    std::set<std::pair<int32_t, std::string>> seen_;  // by the compose under way
    // By group id: the group's rebuild count last seen, and when it was
    // first seen at that count.
    std::map<int32_t, std::pair<uint64_t, time_t>> rulesSince_;
    RuntimeFile file_{"state", "quorin-status cannot tell how quorin stands"};
    std::string last_;  // the content last written, without "written"
    long pid_;
    time_t started_;
};

}  // namespace quorin
}  // namespace kor
