#pragma once
// The status report: quorin's view of every group and uplink, what the
// platform's status tables and the kernel say about each, and every point
// where the kernel does not hold what quorin's view calls for.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel.h"
#include "shares.h"
#include "state.h"

namespace kor {
namespace status {

struct UplinkReport {
    StateUplink quorin;
    std::optional<Health> probes;  // uplinkd's row, if it has one
    double effectiveShare = 0;     // of new connections, by the kernel's rules now
    uint64_t newConnections = 0;   // in the measured time
    uint64_t stickyPackets = 0;    // what its sticky match rule marked then
    bool measured = false;         // the group counted new connections then
    double measuredShare = 0;
    uint64_t totalConnections = 0;     // counted over every call so far
    std::optional<MemberTable> table;  // for a member in the split
    int64_t stickyEntries = -1;        // -1: no set
};

struct GroupReport {
    StateGroup quorin;
    std::vector<UplinkReport> uplinks;
};

// How new connections were measured: from the previous call (from is its
// time, 0 when there was none) or over an interval, to now.
struct Measurement {
    int64_t from = 0;
    int64_t to = 0;
    bool interval = false;
    RuleCounters counts;  // what each rule counted in that time
    RuleCounters totals;  // each member's count over all calls ("GROUP DEVICE")
};

struct Report {
    QuorinState quorin;
    int64_t now = 0;
    size_t mainRoutes = 0;
    int64_t measuredFrom = 0;
    int64_t measuredTo = 0;
    bool interval = false;
    std::vector<GroupReport> groups;
    std::vector<std::string> disagreements;

    // 0: every uplink is in and the kernel agrees; 1 otherwise.
    int exitStatus() const;
};

// The group's chain in the mangle table.
std::string groupChain(const StateGroup& group);
// The key of a member's total in the counter file.
std::string totalKey(const StateGroup& group, const StateUplink& uplink);
// The tables of the members in a split, which the report reads: those of
// members that are out are empty.
std::vector<uint32_t> memberTables(const QuorinState& quorin);
// The new connections of each member in counts, added to totals.
void addToTotals(const QuorinState& quorin, const RuleCounters& counts, RuleCounters& totals);

Report buildReport(const QuorinState& quorin, const StatusTables& status, const KernelView& kernel,
                   const Measurement& measurement, int64_t now);

}  // namespace status
}  // namespace kor
