// A batch of iptables commands: worked out on the model of the mangle table,
// the successful ones committed as one block of the iptables-restore
// co-process, the model checked against the kernel's listing afterwards.

#include "kor/kernel/IptablesBatch.h"

#include <cctype>
#include <cstdlib>
#include <set>

#include "kor/sysloglevel.h"

namespace kor {
namespace kernel {

namespace {

KOR_Modul modul() {
    static KOR_Modul m = KOR_Sysloglevel_registerModul("cfgclient");
    return m;
}

// The number of the line iptables-restore names in its error ("line 7
// failed", "line 7: ...", "at line: 7"), 0 when there is none.
size_t failedLine(const std::string& error) {
    for (size_t at = error.find("line"); at != std::string::npos; at = error.find("line", at + 4)) {
        size_t i = at + 4;
        while (i < error.size() && (error[i] == ' ' || error[i] == ':')) ++i;
        if (i < error.size() && isdigit(static_cast<unsigned char>(error[i])))
            return size_t(strtoul(error.c_str() + i, nullptr, 10));
    }
    return 0;
}

size_t lineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

IptablesBatch::IptablesBatch(int timeoutMs) : restore_(timeoutMs), generation_(timeoutMs), timeoutMs_(timeoutMs) {}

const std::string& IptablesBatch::version() {
    if (!versionAsked_) version_ = iptablesVersion(timeoutMs_);
    versionAsked_ = true;
    return version_;
}

void IptablesBatch::distrust(const char* why, const std::string& detail) {
    valid_ = false;
    if (distrustLogged_) return;
    distrustLogged_ = true;
    KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                          VAStr("iptables batch: %s, the mangle table is read again: %s", why, detail.c_str()));
}

bool IptablesBatch::current() {
    uint32_t now = 0;
    if (!generation_.read(now)) return false;
    if (valid_ && now == modelGeneration_) return true;
    valid_ = false;
    std::string listing, error;
    size_t firstLine = 0;
    if (restore_.run("", {"", "PREROUTING"}, listing, error, firstLine) != RestoreProcess::Result::Listed) return false;
    uint32_t after = 0;
    // Changed while it was listed: maybe half of it.
    if (!generation_.read(after) || after != now || !model_.parse(listing)) return false;
    modelGeneration_ = now;
    valid_ = true;
    return true;
}

bool IptablesBatch::plan(const std::vector<const CommandChain*>& chains, Plan& plan) {
    std::vector<std::vector<IptablesCommand>> commands;
    std::set<std::string> sets;
    bool deletes = false;
    for (const CommandChain* chain : chains) {
        commands.emplace_back(chain->size());
        for (size_t k = 0; k < chain->size(); ++k) {
            if (!parseIptablesCommand((*chain)[k].words, commands.back()[k])) return false;
            deletes = deletes || commands.back()[k].op == IptablesCommand::Op::DeleteChain;
            sets.insert(commands.back()[k].sets.begin(), commands.back()[k].sets.end());
        }
    }
    if (!current()) return false;
    plan.predicted = model_;
    std::set<std::string> existing;
    for (const auto& set : sets) {
        bool exists = false;
        if (!generation_.setExists(set, exists)) return false;
        if (exists) existing.insert(set);
    }
    const bool missingSet = existing.size() < sets.size();
    const std::string chainVersion = deletes || missingSet ? version() : "";
    plan.predicted.setExistingSets(std::move(existing));
    plan.outcomes.assign(chains.size(), ChainOutcome());
    std::set<std::string> touched;
    for (size_t i = 0; i < commands.size(); ++i) {
        plan.outcomes[i].resize(commands[i].size());
        for (size_t k = 0; k < commands[i].size(); ++k) {
            const IptablesCommand& c = commands[i][k];
            CommandOutcome& outcome = plan.outcomes[i][k];
            const MangleModel::Verdict v = plan.predicted.apply(c, chainVersion, outcome);
            if (v == MangleModel::Verdict::Unknown) return false;
            if (v == MangleModel::Verdict::Failed) continue;
            if (c.op != IptablesCommand::Op::Check) {
                plan.block += c.restoreLine + "\n";
                touched.insert(c.chain);
            }
            break;  // "||": the rest of the chain does not run
        }
    }
    for (const auto& chain : touched)
        if (plan.predicted.hasChain(chain)) plan.listed.push_back(chain);
    plan.listed.push_back("PREROUTING");
    plan.listed.push_back("PREROUTING");
    return true;
}

bool IptablesBatch::commit(Plan& plan) {
    const std::string block = "*mangle\n" + plan.block + "COMMIT\n";
    std::string listing, error;
    size_t firstLine = 0;
    const RestoreProcess::Result result = restore_.run(block, plan.listed, listing, error, firstLine);
    if (result == RestoreProcess::Result::NotStarted) return false;
    uint32_t now = 0;
    const bool known = generation_.read(now);
    if (result != RestoreProcess::Result::Listed) {
        const size_t line = failedLine(error);
        // Refused as a whole, or nothing reached the kernel: all of it runs
        // again one command at a time.
        if ((line >= firstLine && line < firstLine + lineCount(block)) || (known && now == modelGeneration_)) {
            valid_ = false;
            return false;
        }
        distrust(result == RestoreProcess::Result::TimedOut ? "iptables-restore killed after the timeout"
                                                             : "the listing after the commit failed",
                 error);
        return true;
    }
    std::string expected;
    for (size_t i = 0; i + 1 < plan.listed.size(); ++i) expected += plan.predicted.listChain(plan.listed[i]);
    if (listing != expected) {
        distrust("the table differs from what its commands should have made of it",
                 "expected:\n" + expected + "listed:\n" + listing);
        return true;
    }
    model_ = std::move(plan.predicted);
    // One commit is ours; another one meanwhile is somebody else's.
    valid_ = known && now == modelGeneration_ + 1;
    modelGeneration_ = now;
    return true;
}

bool IptablesBatch::run(const std::vector<const CommandChain*>& chains, std::vector<ChainOutcome>& outcomes) {
    Plan p;
    if (!plan(chains, p)) return false;
    if (!p.block.empty() && !commit(p)) return false;
    outcomes = std::move(p.outcomes);
    return true;
}

}  // namespace kernel
}  // namespace kor
