// What an earlier quorin left in the kernel.

#include "leftovers.h"

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "kor/kernel/MangleListing.h"
#include "numbers.h"

namespace kor {
namespace quorin {
namespace {

const int listTimeoutMs = 5000;

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool oursChain(const std::string& name) {
    static const std::regex chain("WAN2LAN|LOADBALANCING[0-9]+");
    return std::regex_match(name, chain);
}

// A mark or table (decimal or 0x hex) in the range of the members' numbers;
// 0 when it is not one.
long memberNumber(const std::string& text) {
    static const std::regex number("0x[0-9a-fA-F]{1,8}|[1-9][0-9]{0,8}");
    if (!std::regex_match(text, number)) return 0;
    const long n = std::stol(text, nullptr, 0);
    return n >= MemberNumbers::lowest && n <= MemberNumbers::highestUsable ? n : 0;
}

struct Found {
    std::vector<std::string> jumps, chains;
    std::set<long> members;
};

void readMangle(const std::string& listing, Found& found) {
    for (const std::string& line : lines(listing)) {
        const std::vector<std::string> w = words(line);
        if (w.size() < 2) continue;
        if (w[0] == "-N" && oursChain(w[1])) {
            found.chains.push_back(w[1]);
        } else if (w[0] == "-A" && oursChain(w[1])) {
            for (size_t i = 1; i < w.size(); ++i)
                if (w[i - 1] == "--set-xmark" || w[i - 1] == "--set-mark" || w[i - 1] == "--mark")
                    if (const long n = memberNumber(w[i].substr(0, w[i].find('/')))) found.members.insert(n);
        } else if (w[0] == "-A" && w[1] == "LOADB_PRE") {
            for (size_t i = 1; i < w.size(); ++i)
                if ((w[i - 1] == "-j" || w[i - 1] == "-g") && oursChain(w[i])) {
                    found.jumps.push_back(line.substr(3));
                    break;
                }
        }
    }
}

// A policy rule of quorin's two shapes: its priority, how "ip rule show"
// shows it, its selector and value, and its table.
struct PolicyRule {
    std::string priority, shown, selector, value;
    long table = 0;
};

bool policyRule(const std::string& line, PolicyRule& rule) {
    static const std::regex fwmark(R"(^([0-9]+):\s+(from all fwmark (0x[0-9a-f]+) lookup ([0-9]+))\s*$)");
    static const std::regex source(R"(^([0-9]+):\s+(from ([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+) lookup ([0-9]+))\s*$)");
    std::smatch m;
    if (std::regex_match(line, m, fwmark)) {
        rule.selector = "fwmark";
        if (memberNumber(m[3]) != memberNumber(m[4])) return false;
    } else if (std::regex_match(line, m, source)) {
        rule.selector = "from";
    } else {
        return false;
    }
    rule.priority = m[1];
    rule.shown = m[2];
    rule.value = m[3];
    rule.table = memberNumber(m[4]);
    return rule.table != 0;
}

void removeSets(KernelLister& lister, std::vector<Removal>& out) {
    std::string names;
    if (!lister.list({"ipset", "list", "-n"}, names)) return;
    for (const std::string& name : lines(names)) {
        std::string header;
        if (name.compare(0, 3, "lb_") != 0 || !lister.list({"ipset", "list", "-t", name}, header)) continue;
        if (("\n" + header + "\n").find("\nType: hash:ip,port,ip\n") == std::string::npos) continue;
        out.push_back({"ipset destroy " + name, "removed set " + name});
    }
}

}  // namespace

bool CommandLister::list(const std::vector<std::string>& argv, std::string& output) {
    std::string error;
    return kor::kernel::runListing(argv, output, error, listTimeoutMs);
}

std::vector<Removal> findLeftovers(KernelLister& lister) {
    Found found;
    std::string listing;
    if (lister.list({"iptables", "-t", "mangle", "-S"}, listing)) readMangle(listing, found);
    std::vector<PolicyRule> rules;
    listing.clear();
    if (lister.list({"ip", "-N", "-4", "rule", "show"}, listing))
        for (const std::string& line : lines(listing)) {
            PolicyRule rule;
            if (!policyRule(line, rule)) continue;
            // "fwmark N lookup N" names a member even when its chains are
            // gone (a firewall reload flushes them).
            if (rule.selector == "fwmark") found.members.insert(rule.table);
            rules.push_back(rule);
        }

    std::vector<Removal> out;
    for (const std::string& rule : found.jumps)
        out.push_back({"iptables -t mangle -D " + rule, "removed rule -A " + rule});
    for (const std::string& chain : found.chains) out.push_back({"iptables -t mangle -F " + chain, ""});
    for (const std::string& chain : found.chains)
        out.push_back({"iptables -t mangle -X " + chain, "removed chain " + chain});
    for (const PolicyRule& rule : rules)
        if (found.members.count(rule.table))
            out.push_back({"ip rule del priority " + rule.priority + " " + rule.selector + " " + rule.value +
                               " table " + std::to_string(rule.table),
                           "removed policy rule " + rule.shown});
    for (const long n : found.members) {
        std::string routes;
        const std::string table = std::to_string(n);
        if (lister.list({"ip", "-4", "route", "show", "table", table}, routes) && !routes.empty())
            out.push_back({"ip -4 route flush table " + table, "removed the routes of table " + table});
    }
    removeSets(lister, out);
    return out;
}

}  // namespace quorin
}  // namespace kor
