// The command runner's batches: the lines of one batch split into runs of
// commands of one kind, each run carried out together, in order.

#include <string>
#include <vector>

#include "kor/kernel/Batch.h"
#include "kor/kernel/ConntrackFlush.h"
#include "kor/kernel/CommandRunner.h"
#include "kor/kernel/IpsetBatch.h"
#include "kor/kernel/IptablesBatch.h"
#include "kor/sysloglevel.h"

namespace kor {
namespace kernel {

namespace {

KOR_Modul modul() {
    static KOR_Modul m = KOR_Sysloglevel_registerModul("cfgclient");
    return m;
}

bool allOf(const CommandChain& chain, const char* program) {
    for (const auto& cmd : chain)
        if (cmd.words[0] != program) return false;
    return true;
}

}  // namespace

CommandRunner::Kind CommandRunner::kindOf(const CommandChain& chain) const {
    if (allOf(chain, "iptables")) return iptables_ ? Kind::Iptables : Kind::Single;
    if (chain.size() != 1) return Kind::Single;
    if (allOf(chain, "ipset")) return ipset_ ? Kind::Ipset : Kind::Single;
    IpRequest request;
    if (netlink_ && parseIpRequest(chain[0].words, request) && request.kind != IpRequest::Kind::RouteFlush)
        return Kind::Ip;
    return Kind::Single;
}

void CommandRunner::executeBatch(const std::vector<std::string>& lines) {
    // The parsed lines stay alive while their chains run.
    std::vector<ParsedLine> parsed;
    parsed.reserve(lines.size());
    for (const auto& line : lines) {
        ParsedLine p = parseCommandLine(line);
        if (!p.ok) {
            KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                                  VAStr("refused command line: \"%s\": %s", line.c_str(), p.error.c_str()));
            continue;
        }
        parsed.push_back(std::move(p));
    }
    std::vector<const CommandChain*> chains;
    for (const auto& line : parsed)
        for (const auto& chain : line.chains) chains.push_back(&chain);
    if (iptables_) chains = withRemovalsBehindRules(chains);
    std::vector<const CommandChain*> run;
    Kind kind = Kind::Single;
    auto flush = [&] {
        if (!run.empty()) runSegment(kind, run);
        run.clear();
    };
    for (const CommandChain* chain : chains) {
        const Kind k = kindOf(*chain);
        if (k != kind || k == Kind::Single) flush();
        kind = k;
        run.push_back(chain);
    }
    flush();
}

bool CommandRunner::removal(const CommandChain& chain) const {
    if (chain.size() != 1) return false;
    uint32_t mark = 0;
    if (parseConntrackFlush(chain[0].words, mark)) return true;
    IpRequest request;
    return netlink_ && parseIpRequest(chain[0].words, request) &&
           (request.kind == IpRequest::Kind::RuleDel || request.kind == IpRequest::Kind::RouteDel ||
            request.kind == IpRequest::Kind::RouteFlush);
}

std::vector<const CommandChain*> CommandRunner::withRemovalsBehindRules(
    const std::vector<const CommandChain*>& chains) const {
    // A member that goes writes iptables lines (its service rules), then
    // removals (its policy rules, routes, conntrack entries), then iptables
    // lines again (its mark rule, the split rebuilt for the others). In that
    // order the kernel sees two transactions, and between them a chain whose
    // base member's rule is gone while the others still re-mark only its
    // mark: new connections went unmarked through the main table. Removals
    // that stand between two iptables runs therefore wait behind the second,
    // so that the iptables lines stay one transaction. Each command still
    // means what it means alone: an iptables command's result never depends
    // on a route, a policy rule or a conntrack entry, nor theirs on it.
    std::vector<const CommandChain*> out, held;
    bool afterRules = false;  // the last chain placed is an iptables chain
    for (const CommandChain* chain : chains) {
        const bool rules = kindOf(*chain) == Kind::Iptables;
        if (!rules && afterRules && removal(*chain)) {
            held.push_back(chain);
            continue;
        }
        if (!rules) {
            out.insert(out.end(), held.begin(), held.end());
            held.clear();
        }
        out.push_back(chain);
        afterRules = rules;
    }
    out.insert(out.end(), held.begin(), held.end());
    return out;
}

void CommandRunner::runSegment(Kind kind, const std::vector<const CommandChain*>& chains) {
    if (kind == Kind::Ip) return runIpSegment(chains);
    std::vector<ChainOutcome> outcomes;
    bool done = false;
    if (logTimes_) started_ = std::chrono::steady_clock::now();
    if (kind == Kind::Iptables && chains.size() > 1) done = iptables_->run(chains, outcomes);
    if (kind == Kind::Ipset && chains.size() > 1) done = ipset_->run(chains, outcomes);
    if (!done) {
        // A single command, or a batch the kernel would not take as one:
        // one at a time, each as it runs alone.
        for (const CommandChain* chain : chains) runChain(*chain);
        return;
    }
    for (size_t i = 0; i < chains.size(); ++i)
        for (size_t k = 0; k < chains[i]->size() && k < outcomes[i].size(); ++k)
            if (outcomes[i][k].ran) report((*chains[i])[k], outcomes[i][k], "batch");
}

void CommandRunner::runIpSegment(const std::vector<const CommandChain*>& chains) {
    // Every chain of the run is one in-process ip command (kindOf).
    std::vector<IpRequest> requests(chains.size());
    for (size_t i = 0; i < chains.size(); ++i) parseIpRequest((*chains[i])[0].words, requests[i]);
    std::vector<IpResult> results;
    if (logTimes_) started_ = std::chrono::steady_clock::now();
    if (chains.size() < 2 || !netlink_->runBatch(requests, results)) {
        for (const CommandChain* chain : chains) runChain(*chain);
        return;
    }
    for (size_t i = 0; i < chains.size(); ++i) {
        const ParsedCommand& command = (*chains[i])[0];
        report(command, results[i].status, command.discardStderr ? "" : results[i].error, "in-process");
    }
}

int CommandRunner::report(const ParsedCommand& command, const CommandOutcome& outcome, const char* how) {
    return report(command, outcome.status, command.discardStderr ? "" : outcome.error, how);
}

}  // namespace kernel
}  // namespace kor
