// The checks of what the router must give quorin, and the controller's part
// in them: when they run, and the jumps from LOADB_PRE written again where
// the chain is there but they are not.

#include "prerequisites.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "kor/kernel/MangleListing.h"
#include "kor/sysloglevel.h"
#include "quorin.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "prerequisites";
const char* const platformChain = "LOADB_PRE";
// iptables is killed after this; the listing is read from the main loop.
const int listTimeoutMs = 5000;

Problem chainMissing() {
    return {"chain", "",
            "LOADB_PRE is missing: new connections are not balanced; run \"iptables -t mangle -N LOADB_PRE; "
            "iptables -t mangle -A PREROUTING -j LOADB_PRE\" (\"quorin-firewall prepare\" only while quorin is "
            "stopped: it removes quorin's chains)"};
}

Problem notHooked() {
    return {"hook", "",
            "LOADB_PRE is not hooked from PREROUTING: new connections are not balanced; run \"iptables -t mangle -A "
            "PREROUTING -j LOADB_PRE\""};
}

Problem forwardingOff() {
    return {"forwarding", "",
            "forwarding is off (net.ipv4.ip_forward 0): no connection of the LAN reaches an uplink; set "
            "net.ipv4.ip_forward=1"};
}

Problem strictFilter(const std::string& device) {
    // sysctl reads the dot of "eth0.100" as a separator, a slash not.
    std::string key = device;
    std::replace(key.begin(), key.end(), '.', '/');
    return {"rp_filter", device,
            "rp_filter is strict on " + device + ": replies balanced there are dropped; set net.ipv4.conf." + key +
                ".rp_filter=2"};
}

// What the info line says when the problem is gone.
std::string fixedText(const Problem& problem) {
    if (problem.check == "chain") return "LOADB_PRE exists now";
    if (problem.check == "hook") return "LOADB_PRE is hooked from PREROUTING now";
    if (problem.check == "forwarding") return "forwarding is on now";
    return "rp_filter is not strict on " + problem.device + " now";
}

bool sameProblem(const Problem& a, const Problem& b) { return a.check == b.check && a.device == b.device; }

bool holds(const std::vector<Problem>& problems, const Problem& problem) {
    return std::any_of(problems.begin(), problems.end(), [&](const Problem& p) { return sameProblem(p, problem); });
}

}  // namespace

KernelRouterState::KernelRouterState() : generation_(1000) {}

bool KernelRouterState::sysctl(const std::string& name, int& value) {
    std::ifstream in("/proc/sys/" + name);
    return bool(in >> value);
}

bool KernelRouterState::mangle(std::string& listing, std::string& error) {
    return kor::kernel::listMangleTable(listing, error, listTimeoutMs);
}

bool KernelRouterState::rulesetChanged() {
    uint32_t now = 0;
    if (!generation_.read(now)) return true;
    const bool changed = !known_ || now != last_;
    known_ = true;
    last_ = now;
    return changed;
}

bool Prerequisites::check(RouterState& state, const std::vector<std::string>& uplinks, bool listMangle) {
    listedNow_ = false;
    if (listMangle) {
        std::string listing, error;
        const bool read = state.mangle(listing, error);
        listedNow_ = read;
        if (read) readMangle(listing);
        else if (!listingFails_)
            KOR_Sysloglevel_error(logModule_, logFile, __LINE__,
                                  VAStr("the mangle table cannot be listed, LOADB_PRE is not checked: %s",
                                        error.c_str()));
        listingFails_ = !read;
    }
    std::vector<Problem> found;
    mangleProblems(found);
    systemProblems(state, uplinks, found);
    const bool changed = found.size() != problems_.size() ||
                         !std::all_of(found.begin(), found.end(), [&](const Problem& p) { return holds(problems_, p); });
    if (changed) logChanges(found, uplinks);
    problems_ = std::move(found);
    return changed;
}

void Prerequisites::readMangle(const std::string& listing) {
    // The chains each chain jumps or goes to.
    std::map<std::string, std::set<std::string>> jumps;
    chainExists_ = false;
    loadbPre_.clear();
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string op, chain;
        in >> op >> chain;
        if (op == "-N" && chain == platformChain) chainExists_ = true;
        if (op != "-A") continue;
        const std::string prefix = "-A " + chain + " ";
        if (chain == platformChain && line.size() > prefix.size()) loadbPre_.insert(line.substr(prefix.size()));
        for (std::string word, previous; in >> word; previous = word)
            if (previous == "-j" || previous == "-g") jumps[chain].insert(word);
    }
    // LOADB_PRE may hang below a chain of the firewall's own.
    std::set<std::string> reached{"PREROUTING"};
    std::vector<std::string> todo{"PREROUTING"};
    while (!todo.empty()) {
        const std::string chain = todo.back();
        todo.pop_back();
        for (const std::string& next : jumps[chain])
            if (reached.insert(next).second) todo.push_back(next);
    }
    hooked_ = reached.count(platformChain) != 0;
    listed_ = true;
}

void Prerequisites::mangleProblems(std::vector<Problem>& found) const {
    if (!listed_) return;
    if (!chainExists_) found.push_back(chainMissing());
    else if (!hooked_) found.push_back(notHooked());
}

void Prerequisites::systemProblems(RouterState& state, const std::vector<std::string>& uplinks,
                                   std::vector<Problem>& found) const {
    int forwarding = 1;
    if (state.sysctl("net/ipv4/ip_forward", forwarding) && forwarding == 0) found.push_back(forwardingOff());
    // The kernel filters by the higher of the two values.
    int all = 0;
    state.sysctl("net/ipv4/conf/all/rp_filter", all);
    for (const std::string& device : uplinks) {
        int own = 0;
        if (state.sysctl("net/ipv4/conf/" + device + "/rp_filter", own) && std::max(all, own) == 1)
            found.push_back(strictFilter(device));
    }
}

void Prerequisites::logChanges(const std::vector<Problem>& found, const std::vector<std::string>& uplinks) const {
    for (const Problem& problem : found)
        if (!holds(problems_, problem)) KOR_Sysloglevel_warning(logModule_, logFile, __LINE__, problem.text.c_str());
    for (const Problem& problem : problems_) {
        if (holds(found, problem)) continue;
        // An uplink that is no member any more was not fixed.
        if (!problem.device.empty() && std::find(uplinks.begin(), uplinks.end(), problem.device) == uplinks.end())
            continue;
        KOR_Sysloglevel_info(logModule_, logFile, __LINE__, fixedText(problem).c_str());
    }
}

// --- The controller's part ---------------------------------------------------

void quorin::checkPrerequisites(std::chrono::steady_clock::time_point now) {
    if (!routerState || !initialized) return;
    // The sysctls are read every second, the mangle table listed when the
    // ruleset changed; after a commit both, but not more often than this.
    const bool periodic = !checkedOnce || now - lastCheck >= std::chrono::seconds(1);
    const bool afterCommit = prerequisitesDue && now - lastCheck >= std::chrono::milliseconds(250);
    if (!periodic && !afterCommit) return;
    const bool changed = routerState->rulesetChanged();
    runPrerequisiteChecks(changed || prerequisitesDue || !checkedOnce);
    prerequisitesDue = false;
    checkedOnce = true;
    lastCheck = now;
}

void quorin::runPrerequisiteChecks(bool listMangle) {
    if (!routerState) return;
    std::vector<std::string> uplinks;
    for (const auto& group : groups)
        for (const OutInterface& member : group.interfaces)
            if (std::find(uplinks.begin(), uplinks.end(), member.getName()) == uplinks.end())
                uplinks.push_back(member.getName());
    if (prerequisites.check(*routerState, uplinks, listMangle)) stateDue = true;
    // Only from a listing of now: quorin's own jumps of the meantime are
    // not in an older one.
    if (prerequisites.chainListed()) restoreJumps();
}

void quorin::restoreJumps() {
    if (!actionQueue) return;
    std::vector<std::string> restored;
    std::vector<std::string> devices;
    for (const auto& group : groups) {
        if (group.chainCreated && !prerequisites.ruleListed(group.hookRule())) {
            actionQueue->addCommand(group.hookLine(), 0);
            restored.push_back(group.clientInterface);
        }
        for (const OutInterface& member : group.interfaces) {
            if (!member.applied || prerequisites.ruleListed(member.jumpRule())) continue;
            // An uplink of several groups has one jump.
            if (std::find(devices.begin(), devices.end(), member.getName()) != devices.end()) continue;
            devices.push_back(member.getName());
            actionQueue->addCommand(member.jumpAddLine(), 0);
            restored.push_back(member.getName());
        }
    }
    if (restored.empty()) return;
    actionQueue->process();
    std::string names;
    for (const std::string& name : restored) names += (names.empty() ? "" : ", ") + name;
    KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                         VAStr("LOADB_PRE lacked %zu of quorin's jumps; written again for %s", restored.size(),
                               names.c_str()));
}

}  // namespace quorin
}  // namespace kor
