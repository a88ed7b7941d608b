#pragma once
// One upstream (WAN) interface as a member of one balancing group.
//
// A member owns one routing table; the table number is also the firewall
// mark that the group chain puts on connections that leave through this
// interface. In the kernel the member keeps:
//   - two policy rules: packets with its mark, and packets from its own
//     address, look up its table;
//   - a default route in its table through the interface (and gateway);
//   - a mark rule in WAN2LAN for new connections arriving on the interface,
//     and the jump from LOADB_PRE into WAN2LAN for the interface;
//   - the ipset "lb_<interface>" that the group's sticky rules fill.
// The lines that undo the rules and the route are stored when they are
// written, with the values of that moment.
//
// Lifecycle, as the group drives it: constructor -> createIpset (first group
// commit) -> apply (every commit, and after the table content changed) ->
// remove (marked down, or before a re-apply) -> destructor.
//
// The destructor tears the member's kernel state down, so a member is never
// copied: the group constructs its members in place.

#include <cstdint>
#include <map>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "leftovers.h"

namespace kor {
namespace quorin {

class MainTableCopies;

// What the memberships of one uplink in several groups share in the
// kernel: its ipset and its jump from LOADB_PRE into WAN2LAN. Each
// membership holds them while it has them, by device name; the last one to
// let go removes them. (Each removing them and the others writing them
// again failed on every second delete, and emptied the other groups'
// sticky sets.)
struct SharedUplinks {
    std::map<std::string, unsigned> sets;
    std::map<std::string, unsigned> jumps;
    // Lets go of one hold; true when it was the last.
    static bool release(std::map<std::string, unsigned>& holds, const std::string& name);
};

class OutInterface {
public:
    // up starts as "the interface has an address" (addr is not "0.0.0.0").
    OutInterface(const std::string& interfaceName, const std::string& gatewayAddress, int32_t usagePercent,
                 const std::string& addr, int32_t stickyTimeout);
    // With the ipset created: queues the stored undo lines, flushes the table
    // and destroys the ipset.
    ~OutInterface();
    // Built in place in the group's list: a copy would tear the same kernel
    // state down twice.
    OutInterface(const OutInterface&) = delete;
    OutInterface& operator=(const OutInterface&) = delete;

    std::string getName() const { return interfaceName; }
    // All five configured values equal (strings by content).
    bool isSame(const std::string& interfaceName, const std::string& gatewayAddress, int32_t usagePercent,
                const std::string& addr, int32_t stickyTimeout) const;
    void setObsolete(bool flag) { obsolete = flag; }
    void setUp(bool flag) { up = flag; }
    // The kernel state lags behind: up but not applied, or applied but down.
    bool needsUpdate() const { return up != applied; }
    void setDebugMode(bool flag) { debugMode = flag; }

    // Stores the queue and creates the member's ipset.
    void createIpset(kor::cfg::ActionQueue* queue);
    // Takes candidateTableId when the member has no number yet; then, when up
    // and not applied, writes its state in the order in which nothing sends
    // traffic to the table before it is complete: the default route, the
    // copies of the main table (from copies, when given), the policy rules,
    // the WAN2LAN mark rule. The fingerprint of the table is then due.
    void apply(int32_t candidateTableId, MainTableCopies* copies = nullptr);
    // Takes the fingerprint that apply or reconfigure left due; called once
    // the queue has run their lines.
    void takeDueFingerprint();
    // Undoes what apply wrote; the number and the undo lines are kept.
    void remove();
    // The uplink's row or status changed in its share, gateway, address or
    // sticky timeout: the member takes the new values and keeps its number,
    // so that the connections it carries keep their table. An applied
    // member's source rule and default route are rewritten in place, and
    // its set is replaced by one of the new timeout. True when the share
    // changed (the split must be built again).
    bool reconfigure(const std::string& gatewayAddress, int32_t usagePercent, const std::string& addr,
                     int32_t stickyTimeout);
    // SHA-256 of the listing of the member's table as 64 lowercase hex
    // digits; the current local time text when the listing cannot be read
    // or the member has no number yet. Not stored.
    std::string computeRouteTableHash() const;
    // Takes the fingerprint again after our own writes to the table (the
    // copies of the main table's routes), so that only a change by someone
    // else makes the table differ from it. A table that lacks its default
    // route keeps the old fingerprint: the kernel took the route away, and
    // the next check must rebuild the member. True when taken.
    bool retakeFingerprint();

    // SHA-256 of a text as 64 lowercase hex digits.
    static std::string fingerprint(const std::string& text);
    // Where every member lists its table ("ip route show table N"): the
    // kernel's commands unless a test gives its own. Not owned.
    static void setTableLister(KernelLister* lister);

    // The jump from LOADB_PRE into WAN2LAN as "iptables -S" lists it ("-i
    // wan1 -j WAN2LAN"), and the line that adds it where it is missing.
    std::string jumpRule() const;
    std::string jumpAddLine() const;

private:
    // The undo lines of what apply wrote; the jump's only when this is its
    // last holder.
    void queueUndo();
    std::string ipsetCreateLine() const;
    std::string routeLine(const char* verb) const;
    // The delete of the default route, which the kernel may have dropped
    // with the link.
    std::string routeDelLine() const;
    std::string ruleDelLine() const;
    // The listing of the member's table; false when it cannot be read.
    bool listTable(std::string& listing) const;
    // A set of the current timeout takes the old one's place in every rule
    // that names it; its entries are dropped.
    void replaceIpset();

public:

    // Fields, read by the group and by route propagation.
    std::string routeTableHash;
    std::string interfaceName;
    std::string gatewayAddress;
    int32_t usagePercent;
    std::string addr;
    bool obsolete;
    bool up;
    bool ipsetCreated;
    int32_t tableId;
    std::string delRuleCommand;
    std::string delRouteCommand;
    std::string delMarkCommand;
    bool applied;
    // The member has been applied before: its table holds what it was
    // given then.
    bool appliedBefore = false;
    // The table changed by our lines; its fingerprint is to be taken once
    // they have run.
    bool fingerprintDue = false;
    bool debugMode;
    int32_t stickyTimeout;
    // Where this read of the uplinks table found the member's row (the
    // order of the members is the order of their rows).
    unsigned rowOrder = 0;
    // Its sticky rules in the group's chain: the match at the head, the
    // re-record behind the service rules.
    bool stickyMatchPlaced = false;
    bool reRecordPlaced = false;
    // Why the member is leaving the split, when the last read of the status
    // tables found its uplink unable to carry traffic ("" otherwise).
    std::string leaveReason;
    int logModule;
    kor::cfg::ActionQueue* actionQueue;
    // The holds of the uplinks' shared state (not owned; null: this member
    // alone).
    SharedUplinks* shared = nullptr;
    // It holds the jump from LOADB_PRE: applied.
    bool holdsJump = false;
};

}  // namespace quorin
}  // namespace kor
