#pragma once
// A balancing group: one LAN-side client interface, the upstream members
// that carry its new connections and the service filters that classify
// them. In the kernel the group is the mangle chain "LOADBALANCING<id>",
// reached from "LOADB_PRE" for packets arriving on the client interface.
//
// How the controller drives a group:
//
//   Construct: the configuration reader builds a group in place,
//     groups.emplace_back(id, clientInterface, autobalance, sticky);
//   groups are never copied. A group is "the same" when id, clientInterface
//   and sticky match; a new autobalance is set with setAutobalance.
//   Members come in through markInterfacesObsolete / addInterface /
//   deleteObsoleteInterfaces and markServicesObsolete / addService /
//   deleteObsoleteServices; groups themselves through setObsolete.
//
//   Commit, in commitToSystem, after the WAN2LAN chain exists:
//     for each group with !chainCreated: createChain(queue), then
//       setDebugMode(true) when the controller is verbose;
//     the controller gives every member without a number one (tableId);
//     for each group in list order:
//       group.commit();
//       routeSyncPending |= group.routeSyncPending;
//       group.routeSyncPending = false;
//
//   Events: refreshInterfaceRoutes(name) after a link came up or an address
//   appeared (then OR routeSyncPending as above); markInterfaceDown(name)
//   after an address was removed, followed by a re-read and a commit.
//
//   Destroy: erase the group from the list. With its chain created, the
//   destructor deletes the service rules, unhooks, flushes and deletes the
//   chain, then destroys the members (rules, routes, tables, ipsets), each
//   step processed at once. The controller's own WAN2LAN cleanup runs
//   before the groups go; the members' jumps from LOADB_PRE into WAN2LAN
//   are only gone after them.
//
// All command lines go to the queue handed to createChain; the queue belongs
// to the configuration client and is only borrowed.

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "outinterface.h"
#include "services.h"

namespace kor {
namespace quorin {

class BalancingGroup {
public:
    // autobalance: 1 = equal shares (100 / members), 0 = each member's
    // usagePercent (the reader refuses other values).
    BalancingGroup(int32_t id, const std::string& clientInterface, uint32_t autobalance, bool sticky);
    // With the chain created: services first, then the chain, then the
    // members. Otherwise only the members go, without a command of its own.
    ~BalancingGroup();
    // Built in place in the controller's list: a copy would tear the same
    // kernel state down twice.
    BalancingGroup(const BalancingGroup&) = delete;
    BalancingGroup& operator=(const BalancingGroup&) = delete;

    void setObsolete(bool flag) { obsolete = flag; }
    // Also hands the flag to every service and then every member.
    void setDebugMode(bool flag);
    void markInterfacesObsolete();
    void markServicesObsolete();

    // Finds the member with all five values equal and marks it up and not
    // obsolete (result: it needs a commit). Otherwise, unless addr is
    // "0.0.0.0": the member of that uplink that this read has not found yet
    // (or that left at an earlier read and is not released yet) takes the
    // new values and keeps its number, or a new member is appended (result
    // true). The members end in the order in which this read found them.
    bool addInterface(const std::string& interfaceName, const std::string& gatewayAddress, int32_t usagePercent,
                      const std::string& addr, int32_t stickyTimeout);
    // Finds the equal service and keeps it (result false), or appends a new
    // one (result true).
    bool addService(int32_t id, const std::string& srcIp, const std::string& dstIp, const std::string& proto,
                    int32_t srcPortStart, int32_t srcPortEnd, int32_t dstPortStart, int32_t dstPortEnd);
    // Delete what the last read did not find again; true when one went.
    bool deleteObsoleteInterfaces();
    // A new share mode for the live group: its split is built again at the
    // next commit. True when the mode changed.
    bool setAutobalance(uint32_t mode);
    bool deleteObsoleteServices();

    // Rebuilds every member of that name whose routing table content
    // changed since its last apply.
    void refreshInterfaceRoutes(const std::string& interfaceName);
    // Takes every member of that name down at once; returns how many. Taking
    // one down makes the next commit rebuild every service rule.
    uint32_t markInterfaceDown(const std::string& interfaceName);
    // The uplink of that name cannot carry traffic, for that reason: what
    // the log line of a member of it that leaves now will say.
    void noteLeaveReason(const std::string& interfaceName, const std::string& reason);
    // The share of new connections each member that is up gets from the
    // rules as the members stand: "wan1 60 %, wan2 40 %" in list order.
    std::string sharesText() const;

    // Stores the queue and creates the chain with its fixed rules and the
    // hook from LOADB_PRE.
    void createChain(kor::cfg::ActionQueue* queue);
    // The hook as "iptables -S" lists it in LOADB_PRE ("-i lan0 -j
    // LOADBALANCING1"), and the line that adds it where it is missing.
    std::string hookRule() const;
    std::string hookLine() const;
    // What the group's log lines name it by: "chain LOADBALANCING1, client
    // lan0, sticky, mode shares".
    std::string describe() const;
    // The rules of its chain.
    unsigned chainRules() const;
    // Applies the members (the controller has numbered them), (re)builds
    // the service rules and places the sticky rules.
    void commit();
    // Puts the early-return rule and, for a sticky group of two members or
    // more, every member's sticky match rule back at the head of the chain.
    void updateStickyRules();

    // Copy one route of the main table into every member's table, or delete
    // it from them: one line per member that has a table number, then one
    // process() for the group.
    void addRouteToAllTables(const std::string& destination, const int& prefixLength, const std::string& gateway,
                             const std::string& device);
    void delRouteFromAllTables(const std::string& destination, const int& prefixLength,
                               const std::string& gateway, const std::string& device);

    // Fields.
    bool routeSyncPending;
    bool obsolete;
    bool chainCreated;
    int32_t id;
    std::string clientInterface;
    uint32_t autobalance;
    bool sticky;
    bool debugMode;
    bool membersChanged;
    // How often every service rule of the chain was made anew: the rules'
    // counters start again from 0 then.
    uint64_t splitRebuilds = 0;
    // Delete the conntrack entries of a member that leaves the split.
    bool flushStates;
    std::list<BalancingService> services;
    std::list<OutInterface> interfaces;
    // Members that carried traffic and left the split at the last read:
    // their kernel state stays until the next commit has the other members'
    // rules in place, so that no new connection meets a chain without them.
    std::list<OutInterface> leavers;
    kor::cfg::ActionQueue* actionQueue;
    // The controller's copies of the main table, queued into the table of
    // each member that is applied (not owned; null: none).
    MainTableCopies* mainCopies = nullptr;
    // The state the members share with other groups' members of their
    // uplinks (the controller's; null: none shared), handed to each member.
    SharedUplinks* shared = nullptr;
    int logModule;
    // How many members the current read of the uplinks table has found.
    unsigned claims = 0;
    // The changes of shares since the last commit ("Autobalance 1", "wan2
    // UsagePercent 40"): its log line when it has rebuilt the split.
    std::vector<std::string> shareChanges;

private:
    // What a member's rule is given: its share, and the sum of shares it is
    // weighed against (everything that is left when its turn comes).
    struct SplitPart {
        int32_t share;
        float remaining;
    };
    // The shares are weights among the members that are up: with up members
    // m0 (the base) .. mk of shares s0 .. sk and T their sum, mj re-marks
    // sj / (T - s1 - .. - s(j-1)) of what still carries the base mark. When
    // every up member has share 0 they take equal parts. One entry per
    // member in list order; members that are down get {0, 0}.
    std::vector<SplitPart> splitParts() const;
    OutInterface* reclaim(const std::string& interfaceName);
    // Activates new services and creates new members' sets.
    void activateMembers();
    // Applies every member and creates the service rules of the split;
    // names the members that joined. True when a rule was created.
    bool applySplit(std::vector<std::string>& joined);
    std::string chainName() const;
    // The sticky rules of a member: the rule that sets its mark for tuples in
    // its ipset, and the rule that records marked tuples in it.
    std::string stickyMatchLine(const OutInterface& member) const;
    std::string reRecordLine(const OutInterface& member) const;
    // Takes both sticky rules of one member out of the chain, where they
    // are.
    void deleteStickyRules(OutInterface& member);
    bool hasStickyRules() const { return sticky && interfaces.size() >= 2; }
    // After a member that carried traffic has left: its conntrack entries go
    // (when flushStates), and the line that tells why goes to the log.
    void flushLeaver(int32_t mark);
    void logLeavers(const std::vector<std::pair<std::string, std::string>>& leavers) const;
    void logJoiners(const std::vector<std::string>& joined) const;
    void logShareChanges();
    // Moves the re-record and save rules behind the service rules just
    // appended, with a save in the chain at every moment, and deletes the
    // return that kept packets from them; finishChainTail then deletes the
    // old save and appends the return again.
    void moveChainTail();
    void finishChainTail();
    // Destroys the leavers (their sticky rules first) and deletes their
    // conntrack entries.
    void releaseLeavers();
    // One ip route line per member with a table number, then process().
    void writeRouteToAllTables(bool add, const std::string& destination, const int& prefixLength,
                               const std::string& gateway, const std::string& device);
};

}  // namespace quorin
}  // namespace kor
