// The configuration readers of the balancing controller: the tables of
// groups, uplinks and services into the model, by mark and sweep, and the
// status tables that say whether an uplink can carry traffic.

#include "quorin.h"

#include <algorithm>

#include "kor/sysloglevel.h"
#include "values.h"

namespace kor {
namespace quorin {

namespace {

const char* const noAddress = "0.0.0.0";

}  // namespace

// Logs why a row is skipped: the reader, the row, the value and the reason.
void quorin::refuse(const char* reader, const std::string& row, const char* what, const std::string& value,
                    const std::string& why) {
    refuseRow(reader, VAStr("%s skipped: %s \"%s\" %s", row.c_str(), what, value.c_str(), why.c_str()));
}

void quorin::refuseRow(const char* reader, const std::string& text) {
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__, VAStr("%s: %s", reader, text.c_str()));
    refusedRows.push_back({rowTable, rowIndex, text});
    lastRefusal = text;
}

void quorin::beginTable(const char* table) {
    rowTable = table;
    rowIndex = 0;
    const auto ofTable = [&](const RefusedRow& refused) { return refused.table == table; };
    refusedRows.erase(std::remove_if(refusedRows.begin(), refusedRows.end(), ofTable), refusedRows.end());
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
    beginTable("Balancing");
    bool result = false;
    if (count > 0) {
        values.clear();
        access->readEntry("Balancing", 0, names, values);
        verbose = values.getValue("Verbose").getInteger() != 0;
        const long long timeout = values.getValue("StickyTimeout").getLong();
        if (checks::isStickyTimeout(timeout))
            stickyTimeout = int32_t(timeout);
        else
            refuse("ReadBalancingMain", rowName("Balancing", 0), "StickyTimeout", std::to_string(timeout),
                   "is not a timeout ipset takes (0 to 2147483 s); the previous one stays");
        // Verbose 0 leaves the debug output of -d on: with it off again at
        // the first read, -d showed nothing of what followed.
        if ((verbose || debugOption) != debugMode) {
            setDebugMode(verbose || debugOption);
            result = true;
        }
        // Absent: on, so that flows leave a dead uplink with it.
        const long long flush = values.has("FlushStates") ? values.getValue("FlushStates").getLong() : 1;
        if (flush == 0 || flush == 1) {
            flushStates = flush == 1;
            for (auto& group : groups) group.flushStates = flushStates;
        } else {
            refuse("ReadBalancingMain", rowName("Balancing", 0), "FlushStates", std::to_string(flush),
                   "is not 0 or 1; the previous one stays");
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
    beginTable("BalancingGroups");
    for (auto& group : groups) group.setObsolete(true);
    bool created = false;
    // Groups this read kept or created: a later enabled entry with one of
    // their ids would share the chain name "LOADBALANCING<id>".
    std::vector<const BalancingGroup*> claimed;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingGroups", index, names, values);
        rowIndex = index;
        const int32_t id = values.getValue("Id").getInteger();
        const bool sticky = values.getValue("Sticky").getInteger() != 0;
        const std::string clientInterface =
            ResolvInterfaceName(values.getValue("ClientInterface").getText(), access);
        const long long autobalance = values.getValue("Autobalance").getLong();
        const int enable = values.getValue("Enable").getInteger();
        if (enable != 1) continue;
        const std::string why = checks::whyNotDeviceName(clientInterface);
        if (!why.empty()) {
            refuse("ReadBalancingGroups", rowName("BalancingGroups", index), "ClientInterface", clientInterface, why);
            continue;
        }
        // Any other mode gave every member share 0: all connections through
        // the first uplink, whatever the shares say.
        if (autobalance != 0 && autobalance != 1) {
            refuse("ReadBalancingGroups", rowName("BalancingGroups", index), "Autobalance",
                   std::to_string(autobalance), "is not 0 or 1");
            continue;
        }

        const bool changed = claimGroup(id, clientInterface, uint32_t(autobalance), sticky, claimed);
        created = created || changed;
    }
    deleteObsoleteGroups();
    return created;
}

bool quorin::claimGroup(int32_t id, const std::string& clientInterface, uint32_t autobalance, bool sticky,
                        std::vector<const BalancingGroup*>& claimed) {
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
        refuseRow("ReadBalancingGroups", VAStr("group %ld on %s ignored: group %ld already balances %s", long(id),
                                               clientInterface.c_str(), long(clash->id),
                                               clash->clientInterface.c_str()));
        return false;
    }
    if (same) {
        same->setObsolete(false);
        claimed.push_back(same);
        // A new share mode applies to the live group: the table would say
        // one split and the kernel do another until a restart.
        return same->setAutobalance(autobalance);
    }
    groups.emplace_back(id, clientInterface, autobalance, sticky);
    groups.back().flushStates = flushStates;
    groups.back().shared = &sharedUplinks;
    claimed.push_back(&groups.back());
    routeSyncPending = true;
    return true;
}

void quorin::deleteObsoleteGroups() {
    for (auto it = groups.begin(); it != groups.end();) {
        if (!it->obsolete) {
            ++it;
            continue;
        }
        if (debugMode)
            KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("Will delete obsolete Group %ld", long(it->id)));
        const std::string what = it->describe();
        const long id = long(it->id);
        it = groups.erase(it);
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("group %ld: removed (%s)", id, what.c_str()));
    }
}

bool quorin::ReadBalancingInterfaces(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingInterfaces");
    moduna::NameList names;
    moduna::ValueList values;
    for (auto& group : groups) group.markInterfacesObsolete();
    unsigned count = 0;
    access->getEntryCount("BalancingInterfaces", count);
    beginTable("BalancingInterfaces");
    uplinkRows.clear();
    bool changed = false;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingInterfaces", index, names, values);
        rowIndex = index;
        const int32_t groupId = values.getValue("BalancingGroupId").getInteger();
        const std::string name = ResolvInterfaceName(values.getValue("Interface").getText(), access);
        const long long usagePercent = values.getValue("UsagePercent").getLong();
        const std::string row = rowName("BalancingInterfaces", index);
        const std::string why = checks::whyNotDeviceName(name);
        if (!why.empty()) {
            refuse("ReadBalancingInterfaces", row, "Interface", name, why);
            uplinkRows.push_back({groupId, name, usagePercent, "refused", lastRefusal});
            continue;
        }
        if (!checks::isPercent(usagePercent)) {
            refuse("ReadBalancingInterfaces", row, "UsagePercent", std::to_string(usagePercent), "is not 0 to 100");
            uplinkRows.push_back({groupId, name, usagePercent, "refused", lastRefusal});
            continue;
        }

        UplinkRow entry{groupId, name, usagePercent, "", ""};
        const bool added = offerUplink(access, groupId, name, int32_t(usagePercent), entry);
        changed = changed || added;
        uplinkRows.push_back(entry);
    }

    for (auto& group : groups) {
        const bool deleted = group.deleteObsoleteInterfaces();
        changed = changed || deleted;
    }
    return changed;
}

bool quorin::offerUplink(kor::cfg::IConfigAccess* access, int32_t groupId, const std::string& name,
                         int32_t usagePercent, UplinkRow& row) {
    std::string gateway;
    std::string address;
    // No status: the sweep removes it.
    const size_t refusals = refusedRows.size();
    if (!readUplinkStatus(access, name, gateway, address)) {
        const bool refused = refusedRows.size() > refusals;
        row.reason = refused ? "refused" : "address";
        row.detail = refused ? lastRefusal : "no status row";
        return false;
    }
    // A link that is down and an uplink that uplinkd found dead count as an
    // interface without address: the member leaves the split.
    const std::string out = whyUplinkOut(access, name, address);
    row.reason = out.empty() || out == "address" ? out : out == "link down" ? "link" : "probes";
    row.detail = out;
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             out.empty() ? VAStr("Interface %s is Up (%s) and will be used for loadbalancing",
                                                 name.c_str(), address.c_str())
                                         : VAStr("Interface %s is down and will not be used for loadbalancing",
                                                 name.c_str()));
    bool changed = false;
    for (auto& group : groups) {
        if (group.id != groupId) continue;
        if (!out.empty()) group.noteLeaveReason(name, out);
        const bool added =
            group.addInterface(name, gateway, usagePercent, out.empty() ? address : noAddress, stickyTimeout);
        changed = changed || added;
    }
    return changed;
}

bool quorin::readUplinkStatus(kor::cfg::IConfigAccess* access, const std::string& name, std::string& gateway,
                              std::string& address) {
    moduna::NameList names;
    moduna::ValueList values;
    if (access->findEntry("DefaultWANGateway", "InterfaceName", name, names, values) == 0)
        gateway = values.getValue("GatewayAddress").getText();
    values.clear();
    if (access->findEntry("StatusNetifWatch", "Name", name, names, values) == 0)
        address = values.getValue("Addr").getText();
    if (address.empty()) return false;
    // An address like "all" would make "ip rule add from all": every packet
    // of the router through one uplink.
    if (!checks::isDottedQuad(address)) {
        refuse("ReadBalancingInterfaces", "StatusNetifWatch row of " + name, "Addr", address, "is not a dotted quad");
        return false;
    }
    if (!gateway.empty() && !checks::isDottedQuad(gateway)) {
        refuse("ReadBalancingInterfaces", "DefaultWANGateway row of " + name, "GatewayAddress", gateway,
               "is not a dotted quad");
        return false;
    }
    return true;
}

std::string quorin::whyUplinkOut(kor::cfg::IConfigAccess* access, const std::string& name,
                                 const std::string& address) {
    if (address == noAddress) return "address";
    moduna::NameList names;
    moduna::ValueList values;
    // A row without "Link" was written by a program that does not know it:
    // the link counts as up.
    if (access->findEntry("StatusNetifWatch", "Name", name, names, values) == 0 &&
        values.getValue("Link").getText() == "down")
        return "link down";
    values.clear();
    // No verdict, or one that is not "down", counts as up.
    if (access->findEntry("UplinkHealth", "Name", name, names, values) != 0 ||
        values.getValue("State").getText() != "down")
        return "";
    const std::string reason = values.getValue("Reason").getText();
    if (reason == "latency") return "probes: latency " + values.getValue("RttMs").getText() + " ms";
    return "probes: loss " + values.getValue("LossPercent").getText() + " %";
}

bool quorin::ReadBalancingServices(kor::cfg::IConfigAccess* access) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "ReadBalancingServices");
    moduna::NameList names;
    moduna::ValueList values;
    for (auto& group : groups) group.markServicesObsolete();
    unsigned count = 0;
    access->getEntryCount("BalancingServices", count);
    beginTable("BalancingServices");
    bool changed = false;

    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingServices", index, names, values);
        rowIndex = index;
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

}  // namespace quorin
}  // namespace kor
