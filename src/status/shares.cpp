// The group chains' splits and counters, and the counters kept between two
// calls.

#include "shares.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

namespace kor {
namespace status {

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// "0x101" or "0x101/0xffffffff": the value before the mask.
uint32_t markValue(const std::string& text) { return uint32_t(strtoul(text.c_str(), nullptr, 0)); }

bool at(const std::vector<std::string>& w, size_t i, std::initializer_list<const char*> expected) {
    for (const char* word : expected)
        if (i >= w.size() || w[i++] != word) return false;
    return true;
}

}  // namespace

bool parseMangleSave(const std::string& text, MangleTable& out) {
    out.clear();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#' || line[0] == '*' || line == "COMMIT") continue;
        if (line[0] == ':') {
            out[line.substr(1, line.find(' ') - 1)];
            continue;
        }
        ChainRule rule;
        unsigned long long packets = 0, bytes = 0;
        int used = 0;
        if (line[0] == '[' && sscanf(line.c_str(), "[%llu:%llu] %n", &packets, &bytes, &used) == 2) {
            rule.packets = packets;
            line.erase(0, size_t(used));
        }
        const auto w = words(line);
        if (w.size() < 2 || w[0] != "-A") return out.clear(), false;
        const size_t start = line.find(w[1]) + w[1].size();
        rule.spec = start < line.size() ? line.substr(start + 1) : "";
        out[w[1]].push_back(rule);
    }
    return true;
}

RuleRole classifyRule(const std::string& spec) {
    const auto w = words(spec);
    RuleRole role;
    bool marked = false, sticky = false, setsMark = false;
    for (size_t i = 0; i < w.size();) {
        if (at(w, i, {"-m", "mark", "--mark"}) && i + 3 < w.size()) {
            marked = true;
            role.baseMark = markValue(w[i + 3]);
            i += 4;
        } else if (at(w, i, {"-m", "statistic", "--mode", "random", "--probability"}) && i + 5 < w.size()) {
            role.probability = strtod(w[i + 5].c_str(), nullptr);
            i += 6;
        } else if (at(w, i, {"-m", "set", "--match-set"}) && i + 4 < w.size()) {
            sticky = true;
            i += 5;
        } else if (at(w, i, {"-j", "MARK"}) && i + 3 < w.size() &&
                   (w[i + 2] == "--set-xmark" || w[i + 2] == "--set-mark")) {
            setsMark = true;
            role.mark = markValue(w[i + 3]);
            i += 4;
        } else {
            role.filter += (role.filter.empty() ? "" : " ") + w[i++];
        }
    }
    if (!setsMark) return RuleRole();
    role.kind = sticky ? RuleRole::Kind::Sticky : marked ? RuleRole::Kind::ReMark : RuleRole::Kind::Base;
    return role;
}

std::vector<ServiceSplit> serviceSplits(const std::vector<ChainRule>& rules) {
    std::vector<ServiceSplit> splits;
    auto find = [&](const std::string& filter) -> ServiceSplit* {
        for (ServiceSplit& split : splits)
            if (split.filter == filter) return &split;
        return nullptr;
    };
    for (const ChainRule& rule : rules) {
        const RuleRole role = classifyRule(rule.spec);
        ServiceSplit* split = find(role.filter);
        if (role.kind == RuleRole::Kind::Base && !split) splits.push_back({role.filter, role.mark, {}});
        if (role.kind != RuleRole::Kind::ReMark) continue;
        if (!split) {
            splits.push_back({role.filter, role.baseMark, {}});
            split = &splits.back();
        }
        bool known = false;
        for (const ReMark& r : split->reMarks) known |= r.mark == role.mark;
        // A rebuild lists the new rules behind the old ones for a moment:
        // the first of each mark is the one that takes connections.
        if (!known) split->reMarks.push_back({role.mark, role.probability});
    }
    return splits;
}

std::map<uint32_t, double> effectiveShares(const ServiceSplit& split) {
    std::map<uint32_t, double> shares;
    double left = 1.0;
    for (const ReMark& r : split.reMarks) {
        const double taken = left * r.probability;
        shares[r.mark] += taken;
        left -= taken;
    }
    shares[split.baseMark] += left;
    return shares;
}

RuleCounters ruleCounters(const std::string& chain, const std::vector<ChainRule>& rules) {
    RuleCounters counters;
    std::map<std::string, unsigned> seen;
    for (const ChainRule& rule : rules) {
        const std::string key = chain + " #" + std::to_string(seen[rule.spec]++) + " " + rule.spec;
        if (classifyRule(rule.spec).kind != RuleRole::Kind::Other) counters[key] = rule.packets;
    }
    return counters;
}

RuleCounters counterDelta(const RuleCounters& before, const RuleCounters& after) {
    RuleCounters delta;
    for (const auto& rule : after) {
        const auto was = before.find(rule.first);
        const bool counting = was != before.end() && was->second <= rule.second;
        delta[rule.first] = counting ? rule.second - was->second : rule.second;
    }
    return delta;
}

namespace {

// Calls visit with the role and count of each rule of the chain in counts.
void forEachCounted(const std::string& chain, const RuleCounters& counts,
                    const std::function<void(const RuleRole&, uint64_t)>& visit) {
    const std::string prefix = chain + " #";
    for (auto it = counts.lower_bound(prefix); it != counts.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        const size_t spec = it->first.find(' ', prefix.size());
        if (spec != std::string::npos) visit(classifyRule(it->first.substr(spec + 1)), it->second);
    }
}

}  // namespace

std::map<uint32_t, uint64_t> connectionsByMark(const std::string& chain, const RuleCounters& counts) {
    std::map<uint32_t, uint64_t> byMark;
    // Per service filter: its base mark, what its base rules and its
    // re-marks counted.
    struct Service {
        uint32_t baseMark = 0;
        uint64_t base = 0, reMarked = 0;
    };
    std::map<std::string, Service> services;
    forEachCounted(chain, counts, [&](const RuleRole& role, uint64_t n) {
        if (role.kind == RuleRole::Kind::Base) {
            Service& s = services[role.filter];
            if (s.baseMark == 0) s.baseMark = role.mark;
            s.base += n;
        } else if (role.kind == RuleRole::Kind::ReMark) {
            byMark[role.mark] += n;
            services[role.filter].reMarked += n;
        }
    });
    for (const auto& s : services)
        if (s.second.baseMark != 0)
            byMark[s.second.baseMark] += s.second.base > s.second.reMarked ? s.second.base - s.second.reMarked : 0;
    return byMark;
}

std::map<uint32_t, uint64_t> stickyPacketsByMark(const std::string& chain, const RuleCounters& counts) {
    std::map<uint32_t, uint64_t> byMark;
    forEachCounted(chain, counts, [&](const RuleRole& role, uint64_t n) {
        if (role.kind == RuleRole::Kind::Sticky) byMark[role.mark] += n;
    });
    return byMark;
}

bool readCounterFile(const std::string& path, CounterFile& out) {
    out = CounterFile();
    std::ifstream in(path);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
    if (!doc.is_object()) return false;
    auto numbers = [](const nlohmann::json& object, std::map<std::string, uint64_t>& into) {
        if (!object.is_object()) return;
        for (const auto& item : object.items())
            if (item.value().is_number_unsigned()) into[item.key()] = item.value().get<uint64_t>();
    };
    const auto time = doc.find("time");
    if (time != doc.end() && time->is_number_integer()) out.time = time->get<int64_t>();
    if (doc.contains("rules")) numbers(doc["rules"], out.rules);
    if (doc.contains("totals")) numbers(doc["totals"], out.totals);
    return true;
}

bool writeCounterFile(const std::string& path, const CounterFile& file, std::string& error) {
    const nlohmann::json doc = {{"time", file.time}, {"rules", file.rules}, {"totals", file.totals}};
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        out << doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        if (!out.flush()) {
            error = "cannot write " + fresh + ": " + strerror(errno);
            return false;
        }
    }
    if (rename(fresh.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + fresh + ": " + strerror(errno);
        remove(fresh.c_str());
        return false;
    }
    return true;
}

}  // namespace status
}  // namespace kor
