// Rendering the report: a table for people, JSON for scripts, and the
// Prometheus text exposition format.

#include "render.h"

#include <cmath>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

namespace kor {
namespace status {

namespace {

using json = nlohmann::json;

std::string format(const char* pattern, double value) {
    char text[64];
    snprintf(text, sizeof text, pattern, value);
    return text;
}

// "42 s", "5 m 03 s", "2 h 03 m", "3 d 04 h".
std::string duration(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char text[64];
    if (seconds < 60)
        snprintf(text, sizeof text, "%lld s", (long long)seconds);
    else if (seconds < 3600)
        snprintf(text, sizeof text, "%lld m %02lld s", (long long)seconds / 60, (long long)seconds % 60);
    else if (seconds < 86400)
        snprintf(text, sizeof text, "%lld h %02lld m", (long long)seconds / 3600, (long long)seconds / 60 % 60);
    else
        snprintf(text, sizeof text, "%lld d %02lld h", (long long)seconds / 86400, (long long)seconds / 3600 % 24);
    return text;
}

// A ratio at four decimals, as JSON gives it.
double ratio(double value) { return std::round(value * 10000) / 10000; }

std::string reasonText(const StateUplink& u) {
    if (u.in) return "";
    if (u.reason == "refused") return "refused row";
    return u.detail.empty() ? u.reason : u.detail;
}

std::string probeText(const UplinkReport& u) {
    if (!u.probes) return "-";
    const Health& h = *u.probes;
    return h.state + (h.reason.empty() ? "" : " (" + h.reason + ")") + ", loss " + std::to_string(h.lossPercent) +
           " %, rtt " + std::to_string(h.rttMs) + " ms";
}

// Columns padded to their widest cell, two blanks apart; the last one not.
std::string aligned(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i] + std::string(widths[i] - row[i].size() + 2, ' ') : row[i];
        out += line + "\n";
    }
    return out;
}

std::vector<std::string> uplinkRow(const Report& report, const UplinkReport& u) {
    const StateUplink& q = u.quorin;
    const bool member = q.table != 0;
    return {q.device,
            q.in ? "yes" : "no",
            reasonText(q),
            q.since > 0 ? duration(report.now - q.since) : "-",
            std::to_string(q.share) + " %",
            member ? format("%.1f %%", 100 * u.effectiveShare) : "-",
            u.measured ? format("%.1f %%", 100 * u.measuredShare) : "-",
            member ? std::to_string(u.newConnections) : "-",
            member ? std::to_string(q.table) : "-",
            u.table ? std::to_string(u.table->copies) + (u.table->hasDefault ? "" : ", no default") : "-",
            u.stickyEntries >= 0 ? std::to_string(u.stickyEntries) : "-",
            probeText(u)};
}

std::string measuredText(const Report& report) {
    if (report.interval) return "new connections counted over " + duration(report.measuredTo - report.measuredFrom);
    if (report.measuredFrom > 0)
        return "new connections counted since the last call, " + duration(report.measuredTo - report.measuredFrom) +
               " ago";
    return "new connections counted since the rules were made";
}

void listSection(std::string& out, const std::string& title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    out += "\n" + title + ":\n";
    for (const std::string& line : lines) out += "  " + line + "\n";
}

}  // namespace

std::string renderText(const Report& report) {
    const QuorinState& q = report.quorin;
    std::string out = "quorin: PID " + std::to_string(q.pid) + ", running for " + duration(report.now - q.started) +
                      ", state written " + duration(report.now - q.written) + " ago\n";
    out += "main table: " + std::to_string(report.mainRoutes) + " routes that quorin copies into every member table\n";
    out += measuredText(report) + "\n";
    for (const GroupReport& g : report.groups) {
        const StateGroup& sg = g.quorin;
        out += "\ngroup " + std::to_string(sg.id) + " (" + sg.chain + "): client " + sg.client + ", " +
               (sg.sticky ? "sticky" : "not sticky") + ", " + (sg.mode == "equal" ? "equal shares" : "own shares") +
               "\n";
        std::vector<std::vector<std::string>> rows = {{"uplink", "in", "reason", "for", "share", "effective",
                                                       "measured", "new", "table", "copies", "sticky", "probes"}};
        for (const UplinkReport& u : g.uplinks) rows.push_back(uplinkRow(report, u));
        out += aligned(rows, "  ");
    }
    std::vector<std::string> problems, refused;
    for (const Problem& p : q.problems) problems.push_back(p.text);
    for (const Refusal& r : q.refused) refused.push_back(r.text);
    listSection(out, "problems", problems);
    listSection(out, "refused rows", refused);
    listSection(out, "the kernel disagrees", report.disagreements);
    return out;
}

namespace {

json uplinkJson(const Report& report, const UplinkReport& u) {
    const StateUplink& q = u.quorin;
    json j = {{"device", q.device},
              {"in", q.in},
              {"reason", q.reason},
              {"detail", q.detail},
              {"since", q.since},
              {"seconds", nullptr},
              {"table", q.table},
              {"address", q.address},
              {"share_configured", q.share},
              {"share_effective", ratio(u.effectiveShare)},
              {"share_measured", nullptr},
              {"new_connections", u.newConnections},
              {"new_connections_total", u.totalConnections},
              {"route_copies", nullptr},
              {"default_route", nullptr},
              {"sticky_entries", nullptr},
              {"sticky_packets", u.stickyPackets},
              {"probes", nullptr}};
    if (q.since > 0) j["seconds"] = report.now - q.since;
    if (u.measured) j["share_measured"] = ratio(u.measuredShare);
    if (u.table) {
        j["route_copies"] = u.table->copies;
        j["default_route"] = u.table->hasDefault;
    }
    if (u.stickyEntries >= 0) j["sticky_entries"] = u.stickyEntries;
    if (u.probes)
        j["probes"] = {{"state", u.probes->state},
                       {"reason", u.probes->reason},
                       {"loss_percent", u.probes->lossPercent},
                       {"rtt_ms", u.probes->rttMs},
                       {"since", u.probes->since}};
    return j;
}

}  // namespace

std::string renderJson(const Report& report) {
    const QuorinState& q = report.quorin;
    json groups = json::array(), problems = json::array(), refused = json::array();
    for (const GroupReport& g : report.groups) {
        json uplinks = json::array();
        for (const UplinkReport& u : g.uplinks) uplinks.push_back(uplinkJson(report, u));
        groups.push_back({{"id", g.quorin.id},
                          {"chain", g.quorin.chain},
                          {"client", g.quorin.client},
                          {"sticky", g.quorin.sticky},
                          {"mode", g.quorin.mode},
                          {"uplinks", uplinks}});
    }
    for (const Problem& p : q.problems) problems.push_back({{"check", p.check}, {"text", p.text}});
    for (const Refusal& r : q.refused) refused.push_back({{"table", r.table}, {"row", r.row}, {"text", r.text}});
    const json measured = {{"from", report.measuredFrom > 0 ? json(report.measuredFrom) : json(nullptr)},
                           {"to", report.measuredTo},
                           {"interval", report.interval}};
    const json doc = {{"version", 1},
                      {"status", report.exitStatus()},
                      {"now", report.now},
                      {"quorin", {{"pid", q.pid}, {"started", q.started}, {"written", q.written}}},
                      {"main_routes", report.mainRoutes},
                      {"measured", measured},
                      {"groups", groups},
                      {"problems", problems},
                      {"refused", refused},
                      {"disagreements", report.disagreements}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string renderJsonUnknown(const std::string& error) {
    const json doc = {{"version", 1}, {"status", 2}, {"error", error}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

// One metric family of the exposition: HELP, TYPE and its samples.
class Family {
public:
    Family(const char* name, const char* type, const char* help) : name_(name), type_(type), help_(help) {}
    Family& add(const std::vector<std::pair<const char*, std::string>>& labels, double value) {
        std::string sample = name_;
        for (size_t i = 0; i < labels.size(); ++i)
            sample += (i ? "," : "{") + std::string(labels[i].first) + "=\"" + escaped(labels[i].second) + "\"";
        if (!labels.empty()) sample += "}";
        samples_.push_back(sample + " " + number(value));
        return *this;
    }
    std::string text() const {
        if (samples_.empty()) return "";
        std::string out = "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " " + type_ + "\n";
        for (const std::string& s : samples_) out += s + "\n";
        return out;
    }

private:
    static std::string escaped(const std::string& value) {
        std::string out;
        for (char c : value) out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
        return out;
    }
    static std::string number(double value) {
        return value == std::floor(value) && std::fabs(value) < 1e15 ? format("%.0f", value) : format("%.6g", value);
    }
    std::string name_, type_, help_;
    std::vector<std::string> samples_;
};

}  // namespace

namespace {

// The families of the uplinks, labelled by group and uplink; the probes' by
// uplink alone, since uplinkd probes an uplink once for all its groups.
struct UplinkFamilies {
    Family in{"quorin_uplink_in", "gauge",
              "1 while the uplink is in its group's split, 0 while it is out; reason says why (address, link, probes, "
              "refused)"};
    Family state{"quorin_uplink_state_seconds", "gauge", "Seconds since the uplink last went in or out of the split"};
    Family configured{"quorin_uplink_share_configured_percent", "gauge",
                      "The uplink's configured share of new connections"};
    Family effective{"quorin_uplink_share_effective_ratio", "gauge",
                     "The share of the group's new connections that the kernel's rules give the uplink now"};
    Family measured{
        "quorin_uplink_share_measured_ratio", "gauge",
        "The share of the group's new connections the uplink took since the previous call, or over --interval"};
    Family connections{
        "quorin_uplink_new_connections_total", "counter",
        "New connections the split gave the uplink, by its rules' packet counters, summed over the calls"};
    Family table{"quorin_uplink_table", "gauge", "The uplink's routing table, which is also its firewall mark"};
    Family copies{"quorin_uplink_route_copies", "gauge", "Routes of the uplink's table other than its default route"};
    Family sticky{"quorin_uplink_sticky_entries", "gauge", "Entries of the uplink's sticky set lb_<uplink>"};
    Family probeUp{"quorin_uplink_probe_up", "gauge", "1 while uplinkd's probes judge the uplink up, 0 while down"};
    Family loss{"quorin_uplink_probe_loss_percent", "gauge",
                "The loss uplinkd's probes last measured through the uplink"};
    Family rtt{"quorin_uplink_probe_rtt_seconds", "gauge",
               "The round-trip time uplinkd's probes last measured through the uplink"};
    std::set<std::string> probed;

    void add(const Report& report, const GroupReport& g, const UplinkReport& u) {
        const StateUplink& q = u.quorin;
        const std::vector<std::pair<const char*, std::string>> labels = {{"group", std::to_string(g.quorin.id)},
                                                                         {"uplink", q.device}};
        in.add({labels[0], labels[1], {"reason", q.reason}}, q.in ? 1 : 0);
        if (q.since > 0) state.add(labels, double(report.now - q.since));
        configured.add(labels, double(q.share));
        if (q.table != 0) {
            effective.add(labels, ratio(u.effectiveShare));
            connections.add(labels, double(u.totalConnections));
            table.add(labels, double(q.table));
        }
        if (u.measured) measured.add(labels, ratio(u.measuredShare));
        if (u.table) copies.add(labels, double(u.table->copies));
        if (u.stickyEntries >= 0) sticky.add(labels, double(u.stickyEntries));
        if (!u.probes || !probed.insert(q.device).second) return;
        probeUp.add({labels[1]}, u.probes->state == "up" ? 1 : 0);
        loss.add({labels[1]}, double(u.probes->lossPercent));
        rtt.add({labels[1]}, double(u.probes->rttMs) / 1000);
    }
    std::string text() const {
        std::string out;
        for (const Family* f : {&in, &state, &configured, &effective, &measured, &connections, &table, &copies, &sticky,
                                &probeUp, &loss, &rtt})
            out += f->text();
        return out;
    }
};

Family upFamily(bool quorinUp) {
    return Family("quorin_up", "gauge", "1 while quorin runs and its state file can be read, else 0").add({}, quorinUp);
}

Family knownFamily(bool known) {
    return Family("quorin_status_known", "gauge",
                  "1 when quorin's state, cfgserver and the kernel could be read; 0 when the status cannot be told")
        .add({}, known);
}

}  // namespace

std::string renderPrometheus(const Report& report) {
    const QuorinState& q = report.quorin;
    std::string out = upFamily(true).text() + knownFamily(true).text();
    out += Family("quorin_problems", "gauge", "Prerequisite problems quorin reports (LOADB_PRE, forwarding, rp_filter)")
               .add({}, double(q.problems.size()))
               .text();
    out += Family("quorin_disagreements", "gauge", "Points where the kernel does not hold what quorin's view calls for")
               .add({}, double(report.disagreements.size()))
               .text();
    out += Family("quorin_refused_rows", "gauge", "Configuration rows quorin refused at its last read of their table")
               .add({}, double(q.refused.size()))
               .text();
    out += Family("quorin_main_routes", "gauge", "Routes of the main table that quorin copies into every member table")
               .add({}, double(report.mainRoutes))
               .text();
    Family groups("quorin_group_info", "gauge", "A balancing group: its client interface, share mode and stickiness");
    UplinkFamilies uplinks;
    for (const GroupReport& g : report.groups) {
        groups.add({{"group", std::to_string(g.quorin.id)},
                    {"client", g.quorin.client},
                    {"mode", g.quorin.mode},
                    {"sticky", g.quorin.sticky ? "1" : "0"}},
                   1);
        for (const UplinkReport& u : g.uplinks) uplinks.add(report, g, u);
    }
    return out + groups.text() + uplinks.text();
}

std::string renderPrometheusUnknown(bool quorinUp) { return upFamily(quorinUp).text() + knownFamily(false).text(); }

}  // namespace status
}  // namespace kor
