// The balancing group: membership by mark and sweep, interface events, and
// the rules of the group chain.
//
// Steady content of a sticky group's chain with members A then B:
//   restore the connection mark
//   tuple in lb_B: set B's mark          (sticky match, B)
//   tuple in lb_A: set A's mark          (sticky match, A)
//   packet already marked: return        (early return)
//   service rules
//   mark A: record the tuple in lb_A     (re-record, A)
//   mark B: record the tuple in lb_B     (re-record, B)
//   save the packet mark into the connection
//   return
// A group that is not sticky, or has fewer than two members, has neither
// sticky match nor re-record rules.

#include "groups.h"

#include <algorithm>

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "groups";
const char* const noAddress = "0.0.0.0";

}  // namespace

BalancingGroup::BalancingGroup(int32_t id, const std::string& clientInterface, uint32_t autobalance, bool sticky)
    : routeSyncPending(false),
      obsolete(false),
      chainCreated(false),
      id(id),
      clientInterface(clientInterface),
      autobalance(autobalance),
      sticky(sticky),
      debugMode(false),
      membersChanged(false),
      flushStates(true),
      actionQueue(nullptr),
      logModule(KOR_Sysloglevel_registerModul("quorin")) {}

BalancingGroup::~BalancingGroup() {
    if (chainCreated && actionQueue) {
        // Service rules go before the chain is flushed, and the chain, whose
        // sticky rules name the members' ipsets, before the members destroy
        // those sets.
        while (!services.empty()) services.pop_front();
        const std::string chain = chainName();
        actionQueue->addCommand("iptables -t mangle -D LOADB_PRE -i " + clientInterface + " -j " + chain, 0);
        actionQueue->addCommand("iptables -t mangle -F " + chain, 0);
        actionQueue->addCommand("iptables -t mangle -X " + chain, 0);
        actionQueue->process();
    }
    while (!interfaces.empty()) interfaces.pop_front();
    while (!leavers.empty()) leavers.pop_front();
    while (!services.empty()) services.pop_front();
}

std::string BalancingGroup::chainName() const { return "LOADBALANCING" + std::to_string(id); }

std::string BalancingGroup::stickyMatchLine(const OutInterface& member) const {
    return " -m set --match-set lb_" + member.getName() + " src,dstport,dst -j MARK --set-mark " +
           std::to_string(member.tableId);
}

std::string BalancingGroup::reRecordLine(const OutInterface& member) const {
    return " -m mark --mark " + std::to_string(member.tableId) + " -j SET --add-set lb_" + member.getName() +
           " src,dstport,dst 2> /dev/null";
}

void BalancingGroup::deleteStickyRules(const OutInterface& member) {
    if (!chainCreated || !actionQueue || !sticky || member.tableId == 0) return;
    const std::string chain = chainName();
    actionQueue->addCommand("iptables -t mangle -D " + chain + stickyMatchLine(member), 0);
    actionQueue->addCommand("iptables -t mangle -D " + chain + reRecordLine(member), 0);
    actionQueue->process();
}

void BalancingGroup::setDebugMode(bool flag) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "setDebugMode");
    debugMode = flag;
    for (BalancingService& service : services) service.setDebugMode(flag);
    for (OutInterface& member : interfaces) member.setDebugMode(flag);
}

void BalancingGroup::markInterfacesObsolete() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "markInterfacesObsolete");
    for (OutInterface& member : interfaces) {
        member.setObsolete(true);
        member.leaveReason.clear();
    }
}

void BalancingGroup::markServicesObsolete() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "markServicesObsolete");
    for (BalancingService& service : services) service.setObsolete(true);
}

bool BalancingGroup::addInterface(const std::string& interfaceName, const std::string& gatewayAddress,
                                  int32_t usagePercent, const std::string& addr, int32_t stickyTimeout) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "addInterface");
    for (OutInterface& member : interfaces) {
        if (!member.isSame(interfaceName, gatewayAddress, usagePercent, addr, stickyTimeout)) continue;
        member.setObsolete(false);
        // A member always has an address, so the one found is up.
        if (debugMode)
            KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                                 VAStr("Interface %s is configured and up, will mark it up", interfaceName.c_str()));
        member.setUp(true);
        return member.needsUpdate();
    }
    // An interface without an address is never added.
    if (addr == noAddress) return false;

    if (debugMode)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("Will add Interface %s to Group %lu", interfaceName.c_str(),
                                   static_cast<unsigned long>(id)));
    // Built in place: only one object ever owns the member's kernel state.
    interfaces.emplace_back(interfaceName, gatewayAddress, usagePercent, addr, stickyTimeout);
    membersChanged = true;
    return true;
}

bool BalancingGroup::addService(int32_t id, const std::string& srcIp, const std::string& dstIp,
                                const std::string& proto, int32_t srcPortStart, int32_t srcPortEnd,
                                int32_t dstPortStart, int32_t dstPortEnd) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "addService");
    for (BalancingService& service : services) {
        if (!service.isSame(id, srcIp, dstIp, proto, srcPortStart, srcPortEnd, dstPortStart, dstPortEnd)) continue;
        service.setObsolete(false);
        return false;
    }
    if (debugMode)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("Will add Service %ld to Group %ld", static_cast<long>(id),
                                   static_cast<long>(this->id)));
    services.emplace_back(id, srcIp, dstIp, proto, srcPortStart, srcPortEnd, dstPortStart, dstPortEnd);
    membersChanged = true;
    return true;
}

bool BalancingGroup::deleteObsoleteInterfaces() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "deleteObsoleteInterfaces");
    const bool hadStickyRules = hasStickyRules();
    bool deleted = false;
    std::vector<std::pair<std::string, std::string>> logged;
    for (auto it = interfaces.begin(); it != interfaces.end();) {
        if (!it->obsolete) {
            ++it;
            continue;
        }
        if (debugMode)
            KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                                 VAStr("Will delete obsolete Interface %s", it->getName().c_str()));
        membersChanged = true;
        deleted = true;
        if (it->applied) {
            // Until the commit has rebuilt the other members' rules, its own
            // stay: deleting the base's rules first left new connections
            // without any mark, through whatever the main table says.
            logged.emplace_back(it->getName(), it->leaveReason.empty() ? "configuration" : it->leaveReason);
            leavers.splice(leavers.end(), interfaces, it++);
            continue;
        }
        for (BalancingService& service : services) service.deleteRules(it->tableId);
        // The chain's sticky rules name the member's ipset; while they stay,
        // the set is in use and cannot be destroyed.
        if (hadStickyRules) deleteStickyRules(*it);
        it = interfaces.erase(it);
    }
    // A group of fewer than two members has no sticky rules at all.
    if (hadStickyRules && !hasStickyRules())
        for (const OutInterface& member : interfaces) deleteStickyRules(member);
    logLeavers(logged);
    return deleted;
}

bool BalancingGroup::deleteObsoleteServices() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "deleteObsoleteServices");
    bool deleted = false;
    for (auto it = services.begin(); it != services.end();) {
        if (!it->obsolete) {
            ++it;
            continue;
        }
        if (debugMode)
            KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                                 VAStr("Will delete obsolete Service %ld", static_cast<long>(it->id)));
        it = services.erase(it);
        membersChanged = true;
        deleted = true;
    }
    return deleted;
}

void BalancingGroup::refreshInterfaceRoutes(const std::string& interfaceName) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "refreshInterfaceRoutes");
    if (debugMode)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("will refresh Interface %s routes", interfaceName.c_str()));
    for (OutInterface& member : interfaces) {
        if (member.getName() != interfaceName) continue;
        if (debugMode) {
            const std::string now = member.computeRouteTableHash();
            KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                                 VAStr("Interface: %s, old hash: %s, New hash: %s", member.getName().c_str(),
                                       member.routeTableHash.c_str(), now.c_str()));
        }
        if (member.computeRouteTableHash() == member.routeTableHash) continue;
        member.remove();
        member.apply(member.tableId);
        routeSyncPending = true;
    }
}

uint32_t BalancingGroup::markInterfaceDown(const std::string& interfaceName) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "markInterfaceDown");
    if (debugMode)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__, VAStr("will mark Interface %s down", interfaceName.c_str()));
    uint32_t count = 0;
    std::vector<std::pair<std::string, std::string>> leavers;
    for (OutInterface& member : interfaces) {
        if (member.getName() != interfaceName) continue;
        for (BalancingService& service : services) service.deleteRules(member.tableId);
        const bool carried = member.applied;
        member.remove();
        ++count;
        member.setUp(false);
        if (!carried) continue;
        flushLeaver(member.tableId);
        leavers.emplace_back(interfaceName, "address");
    }
    logLeavers(leavers);
    // The member's service rules are gone. When it comes back unchanged (a
    // DHCP or PPP renewal that keeps the address), the next commit would
    // append its rules behind the others: behind the re-marking rules of the
    // later members if it is the base, which then never match, so every new
    // connection would keep the base mark. Rebuilding every rule in member
    // order keeps the shares.
    if (count > 0) membersChanged = true;
    return count;
}

void BalancingGroup::noteLeaveReason(const std::string& interfaceName, const std::string& reason) {
    for (OutInterface& member : interfaces)
        if (member.getName() == interfaceName) member.leaveReason = reason;
}

void BalancingGroup::flushLeaver(int32_t mark) {
    if (!flushStates || mark == 0 || !actionQueue) return;
    actionQueue->addCommand("conntrack -D --mark " + std::to_string(mark), 0);
    actionQueue->process();
}

void BalancingGroup::logLeavers(const std::vector<std::pair<std::string, std::string>>& leavers) const {
    if (leavers.empty()) return;
    const std::string shares = sharesText();
    for (const auto& leaver : leavers)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("group %ld: %s leaves the split (%s); shares now %s", static_cast<long>(id),
                                   leaver.first.c_str(), leaver.second.c_str(), shares.c_str()));
}

std::string BalancingGroup::sharesText() const {
    // The arithmetic of commit: the base keeps what no later member re-marks,
    // and each later member re-marks its percentage of what is left.
    const uint32_t memberCount = static_cast<uint32_t>(interfaces.size());
    int32_t share = autobalance == 1 && memberCount > 0 ? static_cast<int32_t>(100 / memberCount) : 0;
    bool first = true;
    int32_t cum = 0;
    double baseLeft = 100.0;
    std::vector<std::pair<std::string, double>> taken;
    for (const OutInterface& member : interfaces) {
        if (autobalance == 0) share = std::min(std::max(member.usagePercent, 0), 100);
        const int32_t prevCum = cum;
        if (!first) cum += share;
        if (!member.up) continue;
        if (first) {
            first = false;
            taken.emplace_back(member.getName(), 0.0);
            continue;
        }
        const long percent = BalancingService::selectionPercent(share, static_cast<float>(100 - prevCum));
        const double part = baseLeft * static_cast<double>(std::min(std::max(percent, 0L), 100L)) / 100.0;
        baseLeft -= part;
        taken.emplace_back(member.getName(), part);
    }
    if (taken.empty()) return "none";
    taken.front().second = baseLeft;
    std::string text;
    for (const auto& member : taken)
        text += (text.empty() ? "" : ", ") + member.first + " " + VAStr("%.0f", member.second) + " %";
    return text;
}

void BalancingGroup::writeRouteToAllTables(bool add, const std::string& destination, const int& prefixLength,
                                           const std::string& gateway, const std::string& device) {
    // Tables of 100,000 routes pass through here: format nothing for a debug
    // line that is not written.
    const bool debug = KOR_Sysloglevel_debugOn(logModule);
    if (debug)
        KOR_Sysloglevel_debug(logModule, logFile, __LINE__,
                              VAStr(add ? "will add route for destination %s to all OutInterface tables"
                                        : "will delete route for destination %s from all OutInterface tables",
                                    destination.c_str()));
    if (!actionQueue) return;
    std::string route = " " + destination + "/" + std::to_string(prefixLength);
    // A route without a gateway comes as "0.0.0.0"; an empty text means the
    // same and must not leave a bare " via ".
    const bool viaGateway = !gateway.empty() && gateway != noAddress;
    if (viaGateway) route += " via " + gateway;
    if (!device.empty()) route += " dev " + device;
    for (const OutInterface& member : interfaces) {
        // A member without a number has no table yet; table 0 would be main.
        if (member.tableId == 0) continue;
        if (debug) {
            KOR_Sysloglevel_debug(logModule, logFile, __LINE__,
                                  VAStr(add ? "will add route to %s/%u to routing table %u"
                                            : "will del route to %s/%u from routing table %u",
                                        destination.c_str(), unsigned(prefixLength), unsigned(member.tableId)));
            if (add && viaGateway)
                KOR_Sysloglevel_debug(logModule, logFile, __LINE__, VAStr("Gateway is %s", gateway.c_str()));
            if (add && !device.empty())
                KOR_Sysloglevel_debug(logModule, logFile, __LINE__, VAStr("Interface is %s", device.c_str()));
        }
        actionQueue->addCommand((add ? "ip route add table " : "ip route del table ") +
                                    std::to_string(member.tableId) + route,
                                0);
    }
    actionQueue->process();
}

void BalancingGroup::addRouteToAllTables(const std::string& destination, const int& prefixLength,
                                         const std::string& gateway, const std::string& device) {
    writeRouteToAllTables(true, destination, prefixLength, gateway, device);
}

void BalancingGroup::delRouteFromAllTables(const std::string& destination, const int& prefixLength,
                                           const std::string& gateway, const std::string& device) {
    writeRouteToAllTables(false, destination, prefixLength, gateway, device);
}

void BalancingGroup::createChain(kor::cfg::ActionQueue* queue) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "createChain");
    if (!queue) {
        KOR_Sysloglevel_error(logModule, logFile, __LINE__, "createChain: no command queue");
        return;
    }
    actionQueue = queue;
    chainCreated = true;
    const std::string chain = chainName();
    actionQueue->addCommand("iptables -t mangle -N " + chain, 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --restore-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j RETURN", 0);
    actionQueue->addCommand("iptables -t mangle -C LOADB_PRE -i " + clientInterface + " -j " + chain + " || " +
                                "iptables -t mangle -A LOADB_PRE -i " + clientInterface + " -j " + chain,
                            0);
    actionQueue->process();
}

int32_t BalancingGroup::commit(int32_t nextTableId) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "commit");
    if (!actionQueue) {
        KOR_Sysloglevel_error(logModule, logFile, __LINE__,
                              VAStr("commit: Group ID %ld has no chain yet", static_cast<long>(id)));
        return nextTableId;
    }

    for (BalancingService& service : services) {
        if (service.active) continue;
        service.activate(actionQueue);
        if (debugMode) service.setDebugMode(true);
    }
    // Every member gets its set, sticky group or not.
    for (OutInterface& member : interfaces) {
        if (member.ipsetCreated) continue;
        member.createIpset(actionQueue);
        if (debugMode) member.setDebugMode(true);
    }

    if (interfaces.empty()) {
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("WARNING! Group ID %ld with client Interface %s has no active upstream "
                                   "interfaces assigned",
                                   static_cast<long>(id), clientInterface.c_str()));
        for (BalancingService& service : services) service.deleteAllRules();
        updateStickyRules();
        releaseLeavers();
        return nextTableId;
    }

    // Changed membership changes every share: build all rules again, the
    // new ones behind the old until they are complete.
    if (membersChanged) {
        membersChanged = false;
        for (BalancingService& service : services) service.beginRebuild();
    }

    const uint32_t memberCount = static_cast<uint32_t>(interfaces.size());
    int32_t share = autobalance == 1 ? static_cast<int32_t>(100 / memberCount) : 0;

    // The first up member is the base: it marks every matching packet. Each
    // later member re-marks its share of what still carries the base mark.
    // cum sums the shares of the members after the base, down ones included.
    int32_t baseMark = 0;
    bool first = true;
    int32_t cum = 0;
    bool anyRuleCreated = false;
    std::vector<std::string> joined;
    for (OutInterface& member : interfaces) {
        // A share is a percentage: bounded before it is summed, a runaway
        // value can neither overflow the sum nor turn it negative.
        if (autobalance == 0) share = std::min(std::max(member.usagePercent, 0), 100);
        const int32_t prevCum = cum;
        if (!first) cum += share;

        const bool wasApplied = member.applied;
        member.apply(nextTableId);
        if (!wasApplied && member.applied) joined.push_back(member.getName());
        routeSyncPending = true;
        if (member.tableId == nextTableId) ++nextTableId;

        if (member.up) {
            const float remainingPercent = static_cast<float>(100 - prevCum);
            for (BalancingService& service : services)
                if (service.createRule(member.tableId, share, id, baseMark, remainingPercent, memberCount))
                    anyRuleCreated = true;
            if (first) {
                baseMark = member.tableId;
                first = false;
            }
        } else {
            for (BalancingService& service : services) service.deleteRules(member.tableId);
        }
    }

    if (anyRuleCreated) moveChainTail();
    // The new rules decide from here on: what left goes first, then what
    // nothing reaches any more.
    releaseLeavers();
    if (anyRuleCreated) finishChainTail();
    for (BalancingService& service : services) service.endRebuild();
    updateStickyRules();
    logJoiners(joined);
    return nextTableId;
}

void BalancingGroup::moveChainTail() {
    const std::string chain = chainName();
    // Delete and append again: the re-record rules move behind the service
    // rules just appended.
    if (hasStickyRules())
        for (const OutInterface& member : interfaces) {
            if (member.tableId == 0) continue;
            const std::string rule = reRecordLine(member);
            actionQueue->addCommand("iptables -t mangle -D " + chain + rule + ";" + "iptables -t mangle -A " + chain +
                                        rule + ";",
                                    0);
        }
    // A second save behind them before the first one goes: a connection
    // that started while the save was missing kept its first packet's mark
    // to itself, and its later packets left unmarked. Without the old return
    // the new rules decide; the end of the chain returns as a RETURN would.
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -j RETURN", 0);
    actionQueue->process();
}

void BalancingGroup::finishChainTail() {
    const std::string chain = chainName();
    // The old save is the first in the chain.
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j RETURN", 0);
    actionQueue->process();
}

void BalancingGroup::releaseLeavers() {
    released.clear();
    while (!leavers.empty()) {
        OutInterface& leaver = leavers.front();
        for (BalancingService& service : services) service.deleteRules(leaver.tableId);
        // Fails harmlessly where the group had too few members for them.
        deleteStickyRules(leaver);
        const int32_t mark = leaver.tableId;
        released.push_back(leaver.getName());
        leavers.pop_front();
        // Its flows go only once its rules are gone, or their next packets
        // would be given its mark again.
        flushLeaver(mark);
    }
}

void BalancingGroup::logJoiners(const std::vector<std::string>& joined) const {
    if (joined.empty()) return;
    const std::string shares = sharesText();
    for (const std::string& name : joined)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("group %ld: %s joins the split; shares now %s", static_cast<long>(id),
                                   name.c_str(), shares.c_str()));
}

void BalancingGroup::updateStickyRules() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "updateStickyRules");
    if (!actionQueue) return;
    const std::string chain = chainName();
    // The early return goes back to position 2, behind the restore rule.
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -m mark ! --mark 0x0 -j RETURN 2> /dev/null", 0);
    actionQueue->addCommand("iptables -t mangle -I " + chain + " 2 -m mark ! --mark 0x0 -j RETURN", 0);
    // Each match rule is inserted at position 2 in turn: the last member's
    // ends up first, the early return behind all of them. Members that are
    // down keep theirs, so recorded tuples keep their mark until they expire.
    if (hasStickyRules())
        for (const OutInterface& member : interfaces) {
            if (member.tableId == 0) continue;
            const std::string rule = stickyMatchLine(member);
            actionQueue->addCommand("iptables -t mangle -D " + chain + rule + ";" + "iptables -t mangle -I " + chain +
                                        " 2" + rule,
                                    0);
        }
    actionQueue->process();
}

}  // namespace quorin
}  // namespace kor
