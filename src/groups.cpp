// The balancing group: membership by mark and sweep, interface events,
// leaving members and route propagation. The chain and its commit are in
// groupchain.cpp, the arithmetic of the split in split.cpp.

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

void BalancingGroup::deleteStickyRules(OutInterface& member) {
    // A group of fewer than two members never had them: their deletes
    // failed, each one an error line.
    if (!chainCreated || !actionQueue || (!member.stickyMatchPlaced && !member.reRecordPlaced)) return;
    const std::string chain = chainName();
    if (member.stickyMatchPlaced) actionQueue->addCommand("iptables -t mangle -D " + chain + stickyMatchLine(member), 0);
    if (member.reRecordPlaced) actionQueue->addCommand("iptables -t mangle -D " + chain + reRecordLine(member), 0);
    member.stickyMatchPlaced = member.reRecordPlaced = false;
    actionQueue->process();
}

std::string BalancingGroup::hookRule() const { return "-i " + clientInterface + " -j " + chainName(); }

std::string BalancingGroup::hookLine() const {
    return "iptables -t mangle -C LOADB_PRE " + hookRule() + " || iptables -t mangle -A LOADB_PRE " + hookRule();
}

std::string BalancingGroup::describe() const {
    return "chain " + chainName() + ", client " + clientInterface + (sticky ? ", sticky" : ", not sticky") +
           (autobalance == 1 ? ", mode equal" : ", mode shares");
}

unsigned BalancingGroup::chainRules() const {
    // Restore, early return, save, return.
    unsigned rules = 4;
    for (const OutInterface& member : interfaces) rules += member.stickyMatchPlaced + member.reRecordPlaced;
    for (const BalancingService& service : services) rules += unsigned(service.rules.size() + service.oldRules.size());
    return rules;
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
    claims = 0;
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
        member.rowOrder = claims++;
        // A member always has an address, so the one found is up.
        if (debugMode)
            KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                                 VAStr("Interface %s is configured and up, will mark it up", interfaceName.c_str()));
        member.setUp(true);
        return member.needsUpdate();
    }
    // An interface without an address is never added.
    if (addr == noAddress) return false;

    if (OutInterface* member = reclaim(interfaceName)) {
        // The connections it carries are marked with its number: a new
        // member for a changed share or gateway would leave them without a
        // table.
        member->setObsolete(false);
        member->rowOrder = claims++;
        member->setUp(true);
        if (member->reconfigure(gatewayAddress, usagePercent, addr, stickyTimeout)) {
            membersChanged = true;
            shareChanges.push_back(interfaceName + " UsagePercent " + std::to_string(usagePercent));
        }
        return true;
    }
    if (debugMode)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("Will add Interface %s to Group %lu", interfaceName.c_str(),
                                   static_cast<unsigned long>(id)));
    // Built in place: only one object ever owns the member's kernel state.
    interfaces.emplace_back(interfaceName, gatewayAddress, usagePercent, addr, stickyTimeout);
    interfaces.back().rowOrder = claims++;
    interfaces.back().shared = shared;
    membersChanged = true;
    return true;
}

OutInterface* BalancingGroup::reclaim(const std::string& interfaceName) {
    for (OutInterface& member : interfaces)
        if (member.obsolete && member.getName() == interfaceName) return &member;
    // A member that left at an earlier read and has not been released yet
    // comes back as it is, with its rules.
    for (auto it = leavers.begin(); it != leavers.end(); ++it) {
        if (it->getName() != interfaceName) continue;
        interfaces.splice(interfaces.end(), leavers, it);
        membersChanged = true;
        return &interfaces.back();
    }
    return nullptr;
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
        for (OutInterface& member : interfaces) deleteStickyRules(member);
    logLeavers(logged);
    // The members stand in the order of their rows, as a fresh start would
    // build them: the first row that is up is the base.
    const auto byRow = [](const OutInterface& a, const OutInterface& b) { return a.rowOrder < b.rowOrder; };
    if (!std::is_sorted(interfaces.begin(), interfaces.end(), byRow)) {
        interfaces.sort(byRow);
        membersChanged = true;
    }
    return deleted;
}

bool BalancingGroup::setAutobalance(uint32_t mode) {
    if (mode == autobalance) return false;
    autobalance = mode;
    shareChanges.push_back("Autobalance " + std::to_string(mode));
    // Every share changes: the split is built again, the members stay.
    membersChanged = true;
    return true;
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
        member.apply(member.tableId, mainCopies);
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
        // The copy may be there already (the route sync after a commit, or
        // a member's apply, wrote it before its signal came) or gone (the
        // kernel drops an interface's routes with its link): either way the
        // table is as it should be. A copy that fails for another reason is
        // written again by the route sync after the next commit, whose
        // lines report it.
        actionQueue->addCommand((add ? "ip route add table " : "ip route del table ") +
                                    std::to_string(member.tableId) + route + " 2> /dev/null",
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

}  // namespace quorin
}  // namespace kor
