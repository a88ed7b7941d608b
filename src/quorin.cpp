// The balancing controller: table dispatch, commit, routing-table numbers
// and the WAN2LAN chain.

#include "quorin.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <vector>

#include "kor/sysloglevel.h"
#include "values.h"

namespace kor {
namespace quorin {

namespace {

// Routing-table numbers (and firewall marks) are handed out from here on.
const int32_t firstTableId = 256;
// A commit that finds the counter at this value starts over at firstTableId.
const int32_t tableIdLimit = 20000001;

const char* const noAddress = "0.0.0.0";

}  // namespace

quorin::quorin()
    : routeSyncPending(false),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      configAccess(nullptr),
      debugMode(false),
      stickyTimeout(120),
      initialized(false),
      nextTableId(firstTableId),
      actionQueue(nullptr) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "quorin");
}

quorin::~quorin() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "~quorin");
    cleanup();
    while (!groups.empty()) groups.pop_front();
    // The first delete of WAN2LAN in cleanup fails while the members' jumps
    // from LOADB_PRE still point into it; the groups have removed them now.
    if (initialized && actionQueue) {
        actionQueue->addCommand("iptables -t mangle -X WAN2LAN", 0);
        actionQueue->process();
    }
}

void quorin::getTableNames(moduna::NameList& names) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "getTableNames");
    names.push_back("Balancing");
    names.push_back("BalancingGroups");
    names.push_back("BalancingInterfaces");
    names.push_back("BalancingServices");
    names.push_back("StatusNetifWatch");
    names.push_back("DefaultWANGateway");
    names.push_back("InterfaceMapping");
}

bool quorin::loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& tableName) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("%s: Notification on table  %s received.", "loadFromConfig", tableName.c_str()));
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "loadFromConfig");

    configAccess = &access;

    // Every reader whose table is named runs, whatever the others returned.
    bool changed = false;
    if (tableName == "Balancing" || tableName.empty()) changed = ReadBalancingMain(&access);

    bool groupsChanged = false;
    if (tableName == "BalancingGroups" || tableName.empty()) {
        groupsChanged = ReadBalancingGroups(&access);
        changed = changed || groupsChanged;
    }

    // Interfaces and services attach to groups by group id, so a change of
    // groups reads them again.
    if (tableName == "BalancingInterfaces" || tableName == "StatusNetifWatch" ||
        tableName == "DefaultWANGateway" || groupsChanged) {
        const bool interfacesChanged = ReadBalancingInterfaces(&access);
        changed = changed || interfacesChanged;
    }

    if (tableName == "BalancingServices" || groupsChanged) {
        const bool servicesChanged = ReadBalancingServices(&access);
        changed = changed || servicesChanged;
    }

    return changed;
}

void quorin::commitToSystem(kor::cfg::IConfigAccess& /*access*/, kor::cfg::ActionQueue& queue) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "commitToSystem");
    if (debugMode) KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("%s: commitToSystem is called", "commitToSystem"));

    actionQueue = &queue;

    if (!initialized) {
        init();
        initialized = true;
    }

    // Numbers are never searched for or reused; once the range is used up
    // the counter starts over.
    if (nextTableId >= tableIdLimit) {
        KOR_Sysloglevel_error(logModule, "quorin", __LINE__, "NEVER SHOULD COME HERE: all routing table ID's are used!!!");
        nextTableId = firstTableId;
    }

    for (auto& group : groups) {
        if (group.chainCreated) continue;
        group.createChain(actionQueue);
        if (debugMode) group.setDebugMode(true);
    }

    for (auto& group : groups) {
        nextTableId = group.commit(nextTableId);
        routeSyncPending = routeSyncPending || group.routeSyncPending;
        group.routeSyncPending = false;
    }
}

void quorin::setDebugMode(bool on) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "setDebugMode");
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("%s: Debug mode is set to %d!", "setDebugMode", on ? 1 : 0));
    debugMode = on;
    for (auto& group : groups) group.setDebugMode(on);
}

void quorin::init() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "init");
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, "init iptables system");
    // Both CONNMARK rules go to the head: restore-mark, save-mark, RETURN.
    // The interfaces' mark rules are inserted between the two.
    actionQueue->addCommand("iptables -t mangle -N WAN2LAN", 0);
    actionQueue->addCommand("iptables -t mangle -I WAN2LAN -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -I WAN2LAN -j CONNMARK --restore-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A WAN2LAN -j RETURN", 0);
    actionQueue->process();
}

void quorin::cleanup() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "cleanup");
    // Before the first commit there is neither a queue nor a chain.
    if (!initialized || !actionQueue) return;
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, "cleanup iptables system");
    actionQueue->addCommand("iptables -t mangle -F WAN2LAN", 0);
    actionQueue->addCommand("iptables -t mangle -X WAN2LAN", 0);
    actionQueue->process();
}

// --- Configuration readers -------------------------------------------------

// Logs why a row is skipped: the reader, the row, the value and the reason.
void quorin::refuse(const char* reader, const std::string& row, const char* what, const std::string& value,
                    const std::string& why) {
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                          VAStr("%s: %s skipped: %s \"%s\" %s", reader, row.c_str(), what, value.c_str(), why.c_str()));
}

std::string quorin::rowName(const char* table, unsigned index) {
    return std::string(table) + " row " + std::to_string(index);
}
// They update the model by mark and sweep: everything a table can describe is
// marked obsolete, each entry that describes an existing object unchanged
// clears its mark, a new entry creates an object, and what stays marked is
// deleted with its kernel state. Nothing is edited in place.

bool quorin::ReadBalancingMain(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingMain");
    moduna::NameList names;
    moduna::ValueList values;
    unsigned count = 0;
    access->getEntryCount("Balancing", count);
    bool result = false;
    if (count > 0) {
        values.clear();
        access->readEntry("Balancing", 0, names, values);
        const int verbose = values.getValue("Verbose").getInteger();
        const long long timeout = values.getValue("StickyTimeout").getLong();
        if (checks::isStickyTimeout(timeout))
            stickyTimeout = int32_t(timeout);
        else
            refuse("ReadBalancingMain", rowName("Balancing", 0), "StickyTimeout", std::to_string(timeout),
                   "is not a timeout ipset takes (0 to 2147483 s); the previous one stays");
        if ((verbose != 0) != debugMode) {
            setDebugMode(verbose != 0);
            result = true;
        }
    }
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("%s: will return %d", "ReadBalancingMain", result ? 1 : 0));
    return result;
}

bool quorin::ReadBalancingGroups(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingGroups");
    moduna::NameList names;
    moduna::ValueList values;
    unsigned count = 0;
    access->getEntryCount("BalancingGroups", count);
    for (auto& group : groups) group.setObsolete(true);
    bool created = false;
    // Groups this read kept or created: a later enabled entry with one of
    // their ids would share the chain name "LOADBALANCING<id>".
    std::vector<const BalancingGroup*> claimed;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingGroups", index, names, values);
        const int32_t id = values.getValue("Id").getInteger();
        const bool sticky = values.getValue("Sticky").getInteger() != 0;
        const std::string clientInterface =
            ResolvInterfaceName(values.getValue("ClientInterface").getText(), access);
        const uint32_t autobalance = uint32_t(values.getValue("Autobalance").getInteger());
        const int enable = values.getValue("Enable").getInteger();
        if (enable != 1) continue;
        const std::string why = checks::whyNotDeviceName(clientInterface);
        if (!why.empty()) {
            refuse("ReadBalancingGroups", rowName("BalancingGroups", index), "ClientInterface", clientInterface, why);
            continue;
        }

        BalancingGroup* same = nullptr;
        for (auto& group : groups) {
            if (group.clientInterface == clientInterface && group.id == id && group.sticky == sticky) {
                same = &group;
                break;
            }
        }
        const BalancingGroup* clash = nullptr;
        for (const auto* group : claimed)
            if (group->id == id && group != same) clash = group;
        if (clash) {
            KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                                  VAStr("%s: group %ld on %s ignored: group %ld already balances %s",
                                        "ReadBalancingGroups", long(id), clientInterface.c_str(), long(clash->id),
                                        clash->clientInterface.c_str()));
            continue;
        }
        if (same) {
            same->setObsolete(false);
            claimed.push_back(same);
            continue;
        }
        groups.emplace_back(id, clientInterface, autobalance, sticky);
        claimed.push_back(&groups.back());
        routeSyncPending = true;
        created = true;
    }

    std::vector<std::string> gone;
    for (auto it = groups.begin(); it != groups.end();) {
        if (!it->obsolete) {
            ++it;
            continue;
        }
        for (const OutInterface& member : it->interfaces) gone.push_back(member.getName());
        if (debugMode)
            KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("Will delete obsolete Group %ld", long(it->id)));
        it = groups.erase(it);
    }
    keepSharedUplinks(gone);
    return created;
}

bool quorin::ReadBalancingInterfaces(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingInterfaces");
    moduna::NameList names;
    moduna::ValueList values;
    for (auto& group : groups) group.markInterfacesObsolete();
    unsigned count = 0;
    access->getEntryCount("BalancingInterfaces", count);
    bool changed = false;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingInterfaces", index, names, values);
        const int32_t groupId = values.getValue("BalancingGroupId").getInteger();
        const std::string name = ResolvInterfaceName(values.getValue("Interface").getText(), access);
        const long long usagePercent = values.getValue("UsagePercent").getLong();
        const std::string row = rowName("BalancingInterfaces", index);
        const std::string why = checks::whyNotDeviceName(name);
        if (!why.empty()) {
            refuse("ReadBalancingInterfaces", row, "Interface", name, why);
            continue;
        }
        if (!checks::isPercent(usagePercent)) {
            refuse("ReadBalancingInterfaces", row, "UsagePercent", std::to_string(usagePercent), "is not 0 to 100");
            continue;
        }

        std::string gateway;
        std::string address;
        values.clear();
        if (access->findEntry("DefaultWANGateway", "InterfaceName", name, names, values) == 0)
            gateway = values.getValue("GatewayAddress").getText();
        values.clear();
        if (access->findEntry("StatusNetifWatch", "Name", name, names, values) == 0)
            address = values.getValue("Addr").getText();

        if (address.empty()) continue;  // no status: the sweep below removes it
        // An address like "all" would make "ip rule add from all": every
        // packet of the router through one uplink.
        if (!checks::isDottedQuad(address)) {
            refuse("ReadBalancingInterfaces", "StatusNetifWatch row of " + name, "Addr", address,
                   "is not a dotted quad");
            continue;
        }
        if (!gateway.empty() && !checks::isDottedQuad(gateway)) {
            refuse("ReadBalancingInterfaces", "DefaultWANGateway row of " + name, "GatewayAddress", gateway,
                   "is not a dotted quad");
            continue;
        }
        if (address != noAddress) {
            if (debugMode)
                KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                                     VAStr("Interface %s is Up (%s) and will be used for loadbalancing", name.c_str(),
                                           address.c_str()));
        } else if (debugMode) {
            KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                                 VAStr("Interface %s is down and will not be used for loadbalancing", name.c_str()));
        }
        for (auto& group : groups) {
            if (group.id != groupId) continue;
            const bool added = group.addInterface(name, gateway, int32_t(usagePercent), address, stickyTimeout);
            changed = changed || added;
        }
    }

    std::vector<std::string> gone;
    for (const auto& group : groups)
        for (const OutInterface& member : group.interfaces)
            if (member.obsolete) gone.push_back(member.getName());
    for (auto& group : groups) {
        const bool deleted = group.deleteObsoleteInterfaces();
        changed = changed || deleted;
    }
    keepSharedUplinks(gone);
    return changed;
}

bool quorin::ReadBalancingServices(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingServices");
    moduna::NameList names;
    moduna::ValueList values;
    for (auto& group : groups) group.markServicesObsolete();
    unsigned count = 0;
    access->getEntryCount("BalancingServices", count);
    bool changed = false;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingServices", index, names, values);
        const int32_t id = values.getValue("Id").getInteger();
        const int32_t groupId = values.getValue("BalancingGroupId").getInteger();
        const std::string srcIp = values.getValue("SrcIP").getText();
        const std::string dstIp = values.getValue("DstIP").getText();
        const std::string proto = values.getValue("Proto").getText();
        const long long ports[] = {values.getValue("SrcPortStart").getLong(), values.getValue("SrcPortEnd").getLong(),
                                   values.getValue("DstPortStart").getLong(), values.getValue("DstPortEnd").getLong()};
        const char* const portColumns[] = {"SrcPortStart", "SrcPortEnd", "DstPortStart", "DstPortEnd"};
        const std::string row = rowName("BalancingServices", index);
        bool usable = true;
        // A host name would make iptables resolve it.
        if (!checks::isAddressFilter(srcIp)) {
            refuse("ReadBalancingServices", row, "SrcIP", srcIp, "is not an address or network");
            usable = false;
        } else if (!checks::isAddressFilter(dstIp)) {
            refuse("ReadBalancingServices", row, "DstIP", dstIp, "is not an address or network");
            usable = false;
        } else if (!checks::isProtocol(proto)) {
            refuse("ReadBalancingServices", row, "Proto", proto, "is no protocol name or number");
            usable = false;
        }
        for (int i = 0; usable && i < 4; ++i) {
            if (checks::isPort(ports[i])) continue;
            refuse("ReadBalancingServices", row, portColumns[i], std::to_string(ports[i]), "is not 0 to 65535");
            usable = false;
        }
        if (!usable) continue;
        const int32_t srcPortStart = int32_t(ports[0]);
        const int32_t srcPortEnd = int32_t(ports[1]);
        const int32_t dstPortStart = int32_t(ports[2]);
        const int32_t dstPortEnd = int32_t(ports[3]);
        for (auto& group : groups) {
            if (group.id != groupId) continue;
            const bool added =
                group.addService(id, srcIp, dstIp, proto, srcPortStart, srcPortEnd, dstPortStart, dstPortEnd);
            changed = changed || added;
        }
    }

    for (auto& group : groups) {
        const bool deleted = group.deleteObsoleteServices();
        changed = changed || deleted;
    }
    return changed;
}

std::string quorin::ResolvInterfaceName(const std::string& name, kor::cfg::IConfigAccess* access) {
    const size_t open = name.find("$$(");
    if (open == std::string::npos) return name;
    const size_t close = name.find(')', open + 3);
    if (close == std::string::npos) {
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("%s: incomplete variabe %s found in BalancingInterfaces!", "ResolvInterfaceName",
                                   name.c_str()));
        return name;
    }
    const std::string logical = name.substr(open + 3, close - open - 3);
    moduna::NameList names;
    moduna::ValueList values;
    if (access->findEntry("InterfaceMapping", "LogicalName", logical, names, values) == 0)
        return values.getValue("PhysicalName").getText();
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                         VAStr("%s: could not find  %s In terfaceMapping!", "ResolvInterfaceName", logical.c_str()));
    return name;
}

// --- Route propagation ------------------------------------------------------

void quorin::AddRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                      const std::string& device) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "AddRoute");
    if (KOR_Sysloglevel_debugOn(logModule))
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("will add route for destination %s to all sub tables", destination.c_str()));
    if (!copyableRoute("AddRoute", destination, prefixLength, gateway, device)) return;
    for (auto& group : groups) group.addRouteToAllTables(destination, prefixLength, gateway, device);
}

void quorin::DelRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                      const std::string& device) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "DelRoute");
    if (KOR_Sysloglevel_debugOn(logModule))
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("will delete route for destination %s from all sub tables",
                                    destination.c_str()));
    if (!copyableRoute("DelRoute", destination, prefixLength, gateway, device)) return;
    for (auto& group : groups) group.delRouteFromAllTables(destination, prefixLength, gateway, device);
}

bool quorin::copyableRoute(const char* operation, const std::string& destination, const int& prefixLength,
                           const std::string& gateway, const std::string& device) {
    // The kernel takes device names that the command runner would refuse or
    // read as something else ("a|b", "e"); such a route is left out.
    std::string why;
    if (!checks::isDottedQuad(destination)) why = "the destination is not a dotted quad";
    else if (!gateway.empty() && !checks::isDottedQuad(gateway)) why = "the gateway is not a dotted quad";
    else if (!device.empty()) why = checks::whyNotDeviceName(device);
    if (why.empty()) return true;
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                          VAStr("%s: route %s/%d via %s dev %s skipped: %s", operation, destination.c_str(),
                                prefixLength, gateway.c_str(), device.c_str(), why.c_str()));
    return false;
}

// --- Network-status events -------------------------------------------------

bool quorin::StartTransaction() {
    moduna::protocol::EResultCode result(0);
    int attempts = 0;
    const struct timespec pause = {0, 500000};
    for (;;) {
        result = configAccess->startTransaction();
        if (attempts > 0) nanosleep(&pause, nullptr);
        ++attempts;
        if (result.value() == 0) return true;
        if ((result.value() == 2 || result.value() == 3) && attempts < 10) continue;
        break;
    }
    std::ostringstream text;
    result.put(text);
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                          VAStr("%s: cannot start transaction after %d retries, result = %s", "StartTransaction",
                                attempts, text.str().c_str()));
    return false;
}

void quorin::keepSharedUplinks(const std::vector<std::string>& gone) {
    for (auto& group : groups)
        for (OutInterface& member : group.interfaces)
            if (std::find(gone.begin(), gone.end(), member.getName()) != gone.end()) member.reassertShared();
}

void quorin::refreshGroups(const std::string& interfaceName) {
    for (auto& group : groups) {
        group.refreshInterfaceRoutes(interfaceName);
        routeSyncPending = routeSyncPending || group.routeSyncPending;
        group.routeSyncPending = false;
    }
}

void quorin::linkStatusEvent(const std::string& interfaceName, const bool& up) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: %s is in state %d", interfaceName.c_str(), up ? 1 : 0));
    // A link going down changes nothing here: the removal of its address
    // takes the members down.
    if (!up) return;
    refreshGroups(interfaceName);
}

void quorin::newAddressEvent(const std::string& interfaceName, const std::string& address) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: New IP %s on %s", address.c_str(), interfaceName.c_str()));
    refreshGroups(interfaceName);
}

void quorin::removedAddressEvent(const std::string& interfaceName, const std::string& address) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: removed IP %s from %s", address.c_str(), interfaceName.c_str()));
    for (auto& group : groups) group.markInterfaceDown(interfaceName);
    // Before the first load and commit there is nobody to re-read the
    // interfaces through and no queue to commit to.
    if (!configAccess || !actionQueue) {
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("%s: configuration not loaded and committed yet, no re-read",
                                    "removedAddressEvent"));
        return;
    }
    if (!StartTransaction()) return;
    loadFromConfig(*configAccess, "StatusNetifWatch");
    configAccess->endTransaction();
    commitToSystem(*configAccess, *actionQueue);
}

}  // namespace quorin
}  // namespace kor
