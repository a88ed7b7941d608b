// The configuration readers of the balancing controller: the tables of
// groups, uplinks and services into the model, by mark and sweep, and the
// status tables that say whether an uplink can carry traffic.

#include "quorin.h"

#include <algorithm>
#include <map>
#include <utility>

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
    unknownColumns.clear();
    const auto ofTable = [&](const RefusedRow& refused) { return refused.table == table; };
    refusedRows.erase(std::remove_if(refusedRows.begin(), refusedRows.end(), ofTable), refusedRows.end());
}

std::string quorin::rowName(const char* table, unsigned index) {
    return std::string(table) + " row " + std::to_string(index);
}

bool quorin::readNumber(const char* reader, const moduna::ValueList& values, const char* column,
                        const checks::Range& range, long long& out, const char* after, long long fallback) {
    const moduna::Value value = values.getValue(column);
    if (!value.isSet()) {
        out = fallback;
        return true;
    }
    // Text in a number column read as 0: "fifty" gave a share of 0, "abc"
    // moved a group to chain LOADBALANCING0.
    if (checks::isNumber(value, range, out)) return true;
    refuse(reader, rowName(rowTable, rowIndex), column, value.getText(), range.refusal() + after);
    return false;
}

void quorin::noteColumns(const moduna::ValueList& values) {
    for (const auto& column : values.values())
        if (!checks::isColumnOf(rowTable, column.first)) unknownColumns.insert(column.first);
}

// A misspelt column ("UsagePercnt") left its column absent, read as 0,
// without a word.
void quorin::warnUnknownColumns(const char* reader) {
    if (unknownColumns.empty()) return;
    std::string names;
    for (const std::string& name : unknownColumns) names += "\"" + name + "\" ";
    KOR_Sysloglevel_warning(logModule, "quorin", __LINE__,
                            VAStr("%s: %s column%s %signored: quorin reads no such column", reader, rowTable,
                                  unknownColumns.size() > 1 ? "s" : "", names.c_str()));
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
        noteColumns(values);
        const char* const reader = "ReadBalancingMain";
        const char* const stays = "; the previous one stays";
        long long number = 0;
        if (readNumber(reader, values, "Verbose", checks::flags, number, stays)) verbose = number == 1;
        if (readNumber(reader, values, "StickyTimeout", checks::stickyTimeouts, number, stays))
            stickyTimeout = int32_t(number);
        // Verbose 0 leaves the debug output of -d on: with it off again at
        // the first read, -d showed nothing of what followed.
        if ((verbose || debugOption) != debugMode) {
            setDebugMode(verbose || debugOption);
            result = true;
        }
        // Absent: on, so that flows leave a dead uplink with it.
        if (readNumber(reader, values, "FlushStates", checks::flags, number, stays, 1)) {
            flushStates = number == 1;
            for (auto& group : groups) group.flushStates = flushStates;
        }
        warnUnknownColumns(reader);
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
        noteColumns(values);
        const std::string clientInterface =
            ResolvInterfaceName(values.getValue("ClientInterface").getText(), access);
        const char* const reader = "ReadBalancingGroups";
        long long enable = 0, id = 0, sticky = 0, autobalance = 0;
        if (!readNumber(reader, values, "Enable", checks::flags, enable) || enable != 1) continue;
        if (!readNumber(reader, values, "Id", checks::ids, id) ||
            !readNumber(reader, values, "Sticky", checks::flags, sticky))
            continue;
        const std::string why = checks::whyNotDeviceName(clientInterface);
        if (!why.empty()) {
            refuse(reader, rowName("BalancingGroups", index), "ClientInterface", clientInterface, why);
            continue;
        }
        // Any other mode gave every member share 0: all connections through
        // the first uplink, whatever the shares say.
        if (!readNumber(reader, values, "Autobalance", checks::flags, autobalance)) continue;

        const bool changed = claimGroup(int32_t(id), clientInterface, uint32_t(autobalance), sticky == 1, claimed);
        created = created || changed;
    }
    warnUnknownColumns("ReadBalancingGroups");
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

    // The row that counts for each uplink of each group: the first.
    std::map<std::pair<int32_t, std::string>, unsigned> firstRows;
    for (unsigned index = 0; index < count; ++index) {
        values.clear();
        access->readEntry("BalancingInterfaces", index, names, values);
        rowIndex = index;
        noteColumns(values);
        const std::string name = ResolvInterfaceName(values.getValue("Interface").getText(), access);
        long long groupId = 0, usagePercent = 0;
        if (!usableUplinkRow(values, name, groupId, usagePercent, firstRows)) {
            uplinkRows.push_back({int32_t(groupId), name, usagePercent, "refused", lastRefusal});
            continue;
        }
        UplinkRow entry{int32_t(groupId), name, usagePercent, "", ""};
        const bool added = offerUplink(access, int32_t(groupId), name, int32_t(usagePercent), entry);
        changed = changed || added;
        uplinkRows.push_back(entry);
    }
    warnUnknownColumns("ReadBalancingInterfaces");

    for (auto& group : groups) {
        const bool deleted = group.deleteObsoleteInterfaces();
        changed = changed || deleted;
    }
    return changed;
}

bool quorin::usableUplinkRow(const moduna::ValueList& values, const std::string& name, long long& groupId,
                             long long& usagePercent, std::map<std::pair<int32_t, std::string>, unsigned>& firstRows) {
    const char* const reader = "ReadBalancingInterfaces";
    if (!readNumber(reader, values, "BalancingGroupId", checks::ids, groupId) ||
        !readNumber(reader, values, "UsagePercent", checks::percents, usagePercent))
        return false;
    const std::string row = rowName(rowTable, rowIndex);
    const std::string why = checks::whyNotDeviceName(name);
    if (!why.empty()) {
        refuse(reader, row, "Interface", name, why);
        return false;
    }
    // A second row made the uplink a second member of the group, with
    // its own mark and twice the share.
    const auto first = firstRows.emplace(std::make_pair(int32_t(groupId), name), rowIndex);
    if (first.second) return true;
    refuse(reader, row, "Interface", name,
           VAStr("is in group %lld already; row %u, the first, counts", groupId, first.first->second));
    return false;
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
        noteColumns(values);
        // Id, BalancingGroupId, SrcPortStart, SrcPortEnd, DstPortStart, DstPortEnd.
        long long numbers[6] = {};
        if (!usableServiceRow(values, numbers)) continue;
        const std::string srcIp = values.getValue("SrcIP").getText();
        const std::string dstIp = values.getValue("DstIP").getText();
        const std::string proto = values.getValue("Proto").getText();
        const int32_t id = int32_t(numbers[0]);
        const int32_t groupId = int32_t(numbers[1]);
        const int32_t srcPortStart = int32_t(numbers[2]);
        const int32_t srcPortEnd = int32_t(numbers[3]);
        const int32_t dstPortStart = int32_t(numbers[4]);
        const int32_t dstPortEnd = int32_t(numbers[5]);
        for (auto& group : groups) {
            if (group.id != groupId) continue;
            const bool added =
                group.addService(id, srcIp, dstIp, proto, srcPortStart, srcPortEnd, dstPortStart, dstPortEnd);
            changed = changed || added;
        }
    }

    warnUnknownColumns("ReadBalancingServices");

    for (auto& group : groups) {
        const bool deleted = group.deleteObsoleteServices();
        changed = changed || deleted;
    }
    return changed;
}

bool quorin::usableServiceRow(const moduna::ValueList& values, long long (&numbers)[6]) {
    const char* const reader = "ReadBalancingServices";
    const std::string row = rowName(rowTable, rowIndex);
    const std::string srcIp = values.getValue("SrcIP").getText();
    const std::string dstIp = values.getValue("DstIP").getText();
    const std::string proto = values.getValue("Proto").getText();
    // A host name would make iptables resolve it.
    if (!checks::isAddressFilter(srcIp)) {
        refuse(reader, row, "SrcIP", srcIp, "is not an address or network");
        return false;
    }
    if (!checks::isAddressFilter(dstIp)) {
        refuse(reader, row, "DstIP", dstIp, "is not an address or network");
        return false;
    }
    if (!checks::isProtocol(proto)) {
        refuse(reader, row, "Proto", proto, "is no protocol name or number");
        return false;
    }
    const char* const columns[] = {"Id", "BalancingGroupId", "SrcPortStart", "SrcPortEnd", "DstPortStart", "DstPortEnd"};
    for (int i = 0; i < 6; ++i)
        if (!readNumber(reader, values, columns[i], i < 2 ? checks::ids : checks::ports, numbers[i])) return false;
    return true;
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
