// Putting the report together, and the comparison of quorin's view with the
// kernel: each point where they differ is one line in words.

#include "report.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kor {
namespace status {

namespace {

using Lines = std::vector<std::string>;

bool hasRule(const MangleTable& mangle, const std::string& chain, const std::function<bool(const std::string&)>& is) {
    const auto found = mangle.find(chain);
    if (found == mangle.end()) return false;
    return std::any_of(found->second.begin(), found->second.end(), [&](const ChainRule& r) { return is(r.spec); });
}

bool hasSpec(const MangleTable& mangle, const std::string& chain, const std::string& spec) {
    return hasRule(mangle, chain, [&](const std::string& s) { return s == spec; });
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// LOADB_PRE, its hook, and WAN2LAN: the chains every group needs.
void checkChains(const QuorinState& quorin, const MangleTable& mangle, Lines& out) {
    if (quorin.groups.empty()) return;
    if (!mangle.count("LOADB_PRE"))
        out.push_back("there is no chain LOADB_PRE in the mangle table");
    else if (!hasRule(mangle, "PREROUTING", [](const std::string& s) { return endsWith(s, "-j LOADB_PRE"); }))
        out.push_back("LOADB_PRE is not hooked from PREROUTING");
    if (!mangle.count("WAN2LAN")) out.push_back("there is no chain WAN2LAN in the mangle table");
}

bool hasMark(const ServiceSplit& split, uint32_t mark) {
    if (split.baseMark == mark) return true;
    return std::any_of(split.reMarks.begin(), split.reMarks.end(), [&](const ReMark& r) { return r.mark == mark; });
}

// The service rules for one member's mark, in or out of the split.
void checkServiceRules(const StateUplink& u, const std::vector<ServiceSplit>& splits, Lines& out) {
    const uint32_t mark = uint32_t(u.table);
    const auto with =
        size_t(std::count_if(splits.begin(), splits.end(), [&](const ServiceSplit& s) { return hasMark(s, mark); }));
    const std::string m = std::to_string(mark);
    if (!u.in && with > 0)
        out.push_back(u.device + ": quorin has it out of the split (" + u.reason +
                      "), but the kernel still has a service rule for mark " + m);
    if (u.in && with == 0)
        out.push_back(u.device + ": quorin has it in the split, but the kernel has no service rule for mark " + m);
    else if (u.in && with < splits.size())
        out.push_back(u.device + ": quorin has it in the split, but " + std::to_string(splits.size() - with) + " of " +
                      std::to_string(splits.size()) + " services have no rule for mark " + m);
}

// Host byte order; 0 for anything but a dotted quad.
uint32_t hostAddress(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// What a member in the split has of its own: policy rules, its table's
// routes, the mark rule and jump of WAN2LAN.
void checkMember(const StateUplink& u, const KernelView& kernel, Lines& out) {
    const uint32_t t = uint32_t(u.table);
    const std::string n = std::to_string(t);
    const auto& rules = kernel.rules;
    if (!std::any_of(rules.begin(), rules.end(),
                     [&](const PolicyRule& r) { return r.hasMark && r.mark == t && r.table == t; }))
        out.push_back(u.device + ": there is no policy rule \"fwmark " + n + " lookup " + n + "\"");
    const uint32_t source = hostAddress(u.address);
    if (source != 0 && !std::any_of(rules.begin(), rules.end(), [&](const PolicyRule& r) {
            return r.hasSource && r.source == source && r.sourceLength == 32 && r.table == t;
        }))
        out.push_back(u.device + ": there is no policy rule \"from " + u.address + " lookup " + n + "\"");
    const auto table = kernel.tables.find(t);
    if (table != kernel.tables.end()) {
        const MemberTable& m = table->second;
        if (!m.hasDefault) out.push_back(u.device + ": table " + n + " has no default route");
        if (m.missing || m.stale)
            out.push_back(u.device + ": table " + n + " holds " + std::to_string(m.copies) +
                          " route copies, the main table " + std::to_string(kernel.mainRoutes) + " (" +
                          std::to_string(m.missing) + " missing, " + std::to_string(m.stale) + " stale)");
    }
    const bool marks = hasRule(kernel.mangle, "WAN2LAN", [&](const std::string& s) {
        const RuleRole role = classifyRule(s);
        return role.kind == RuleRole::Kind::Base && role.mark == t &&
               (" " + role.filter + " ").find(" -i " + u.device + " ") != std::string::npos;
    });
    if (!marks) out.push_back(u.device + ": WAN2LAN has no mark rule " + n + " for new connections arriving on it");
    if (!hasSpec(kernel.mangle, "LOADB_PRE", "-i " + u.device + " -j WAN2LAN"))
        out.push_back("LOADB_PRE has no jump to WAN2LAN for " + u.device);
}

// A sticky group of two members or more: each member's set and match rule.
void checkSticky(const StateGroup& g, const KernelView& kernel, Lines& out) {
    const auto in = std::count_if(g.uplinks.begin(), g.uplinks.end(), [](const StateUplink& u) { return u.in; });
    if (!g.sticky || in < 2) return;
    for (const StateUplink& u : g.uplinks) {
        if (!u.in || u.table == 0) continue;
        const std::string set = "lb_" + u.device;
        if (!kernel.setEntries.count(set)) out.push_back(u.device + ": its sticky set " + set + " does not exist");
        const bool matched = hasRule(kernel.mangle, groupChain(g), [&](const std::string& s) {
            const RuleRole role = classifyRule(s);
            return role.kind == RuleRole::Kind::Sticky && role.mark == uint32_t(u.table) &&
                   s.find(" " + set + " ") != std::string::npos;
        });
        if (!matched) out.push_back(u.device + ": " + groupChain(g) + " has no sticky rule for " + set);
    }
}

// The group's chain, its hook, its service rules, and every member.
void checkGroup(const StateGroup& g, const std::vector<ServiceSplit>& splits, const KernelView& kernel, Lines& out) {
    const std::string chain = groupChain(g);
    if (!kernel.mangle.count(chain)) {
        out.push_back("group " + std::to_string(g.id) + ": there is no chain " + chain);
        return;
    }
    if (!hasSpec(kernel.mangle, "LOADB_PRE", "-i " + g.client + " -j " + chain))
        out.push_back("LOADB_PRE has no jump to " + chain + " for " + g.client);
    const bool anyIn = std::any_of(g.uplinks.begin(), g.uplinks.end(), [](const StateUplink& u) { return u.in; });
    if (anyIn && splits.empty())
        out.push_back(chain + " has no service rule: no new connection from " + g.client + " is balanced");
    std::vector<uint32_t> marks;
    for (const StateUplink& u : g.uplinks) {
        if (u.table == 0) continue;
        marks.push_back(uint32_t(u.table));
        if (!splits.empty()) checkServiceRules(u, splits, out);
        if (u.in) checkMember(u, kernel, out);
    }
    // Marks nobody has, and services whose splits differ.
    bool differ = false;
    for (const ServiceSplit& s : splits) {
        const auto shares = effectiveShares(s);
        const auto first = effectiveShares(splits.front());
        for (const auto& share : shares) {
            if (std::find(marks.begin(), marks.end(), share.first) == marks.end()) {
                out.push_back(chain + " gives mark " + std::to_string(share.first) + ", which no uplink of group " +
                              std::to_string(g.id) + " has");
                marks.push_back(share.first);
            }
            const auto other = first.find(share.first);
            differ |= other == first.end() || std::fabs(share.second - other->second) > 0.0005;
        }
        differ |= shares.size() != first.size();
    }
    if (differ) out.push_back(chain + ": its services split new connections differently");
    checkSticky(g, kernel, out);
}

}  // namespace

std::string groupChain(const StateGroup& group) {
    return group.chain.empty() ? "LOADBALANCING" + std::to_string(group.id) : group.chain;
}

int Report::exitStatus() const {
    if (!disagreements.empty()) return 1;
    for (const GroupReport& g : groups)
        for (const UplinkReport& u : g.uplinks)
            if (!u.quorin.in) return 1;
    return 0;
}

std::string totalKey(const StateGroup& group, const StateUplink& uplink) {
    return std::to_string(group.id) + " " + uplink.device;
}

std::vector<uint32_t> memberTables(const QuorinState& quorin) {
    std::vector<uint32_t> tables;
    for (const StateGroup& g : quorin.groups)
        for (const StateUplink& u : g.uplinks)
            if (u.in && u.table > 0 && u.table <= int64_t(UINT32_MAX)) tables.push_back(uint32_t(u.table));
    return tables;
}

void addToTotals(const QuorinState& quorin, const RuleCounters& counts, RuleCounters& totals) {
    for (const StateGroup& g : quorin.groups) {
        const auto byMark = connectionsByMark(groupChain(g), counts);
        for (const StateUplink& u : g.uplinks) {
            const auto found = byMark.find(uint32_t(u.table));
            if (u.table != 0 && found != byMark.end()) totals[totalKey(g, u)] += found->second;
        }
    }
}

Report buildReport(const QuorinState& quorin, const StatusTables& status, const KernelView& kernel,
                   const Measurement& measurement, int64_t now) {
    Report report;
    report.quorin = quorin;
    report.now = now;
    report.mainRoutes = kernel.mainRoutes;
    report.measuredFrom = measurement.from;
    report.measuredTo = measurement.to;
    report.interval = measurement.interval;
    checkChains(quorin, kernel.mangle, report.disagreements);
    for (const StateGroup& g : quorin.groups) {
        const auto chain = kernel.mangle.find(groupChain(g));
        const auto splits = chain == kernel.mangle.end() ? std::vector<ServiceSplit>() : serviceSplits(chain->second);
        const auto shares = splits.empty() ? std::map<uint32_t, double>() : effectiveShares(splits.front());
        const auto counted = connectionsByMark(groupChain(g), measurement.counts);
        const auto pinned = stickyPacketsByMark(groupChain(g), measurement.counts);
        uint64_t all = 0;
        for (const auto& c : counted) all += c.second;
        GroupReport group{g, {}};
        for (const StateUplink& u : g.uplinks) {
            UplinkReport r;
            r.quorin = u;
            const auto health = status.health.find(u.device);
            if (health != status.health.end()) r.probes = health->second;
            const uint32_t mark = uint32_t(u.table);
            if (u.table != 0 && shares.count(mark)) r.effectiveShare = shares.at(mark);
            if (u.table != 0 && counted.count(mark)) r.newConnections = counted.at(mark);
            if (u.table != 0 && pinned.count(mark)) r.stickyPackets = pinned.at(mark);
            r.measured = all > 0;
            r.measuredShare = all > 0 ? double(r.newConnections) / double(all) : 0;
            const auto total = measurement.totals.find(totalKey(g, u));
            if (total != measurement.totals.end()) r.totalConnections = total->second;
            const auto table = kernel.tables.find(mark);
            if (u.in && u.table != 0 && table != kernel.tables.end()) r.table = table->second;
            const auto set = kernel.setEntries.find("lb_" + u.device);
            if (set != kernel.setEntries.end()) r.stickyEntries = set->second;
            group.uplinks.push_back(r);
        }
        checkGroup(g, splits, kernel, report.disagreements);
        report.groups.push_back(group);
    }
    return report;
}

}  // namespace status
}  // namespace kor
