// The mangle table's model: read from "iptables -S", changed by the commands
// as the kernel would change it, and failing them with the exit status and
// error text iptables gives.

#include "kor/kernel/MangleModel.h"

#include <sstream>

namespace kor {
namespace kernel {

namespace {

const char* const kNoChain = "iptables: No chain/target/match by that name.\n";
const char* const kBadRule = "iptables: Bad rule (does a matching rule exist in that chain?).\n";
const char* const kChainExists = "iptables: Chain already exists.\n";
const char* const kIndexTooBig = "iptables: Index of insertion too big.\n";

MangleModel::Verdict fail(CommandOutcome& outcome, int status, const std::string& error) {
    outcome.ran = true;
    outcome.status = status;
    outcome.error = error;
    return MangleModel::Verdict::Failed;
}

MangleModel::Verdict done(CommandOutcome& outcome) {
    outcome = CommandOutcome();
    outcome.ran = true;
    return MangleModel::Verdict::Done;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The word after each of the options in a rule.
bool namesAfter(const std::string& rule, std::initializer_list<const char*> options, const std::string& name) {
    const auto w = words(rule);
    for (size_t i = 0; i + 1 < w.size(); ++i)
        for (const char* option : options)
            if (w[i] == option && w[i + 1] == name) return true;
    return false;
}

}  // namespace

bool MangleModel::parse(const std::string& listing) {
    chains_.clear();
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        const auto w = words(line);
        if (w.size() == 3 && w[0] == "-P") {
            chains_[w[1]].policy = w[2];
        } else if (w.size() == 2 && w[0] == "-N") {
            chains_[w[1]];
        } else if (w.size() >= 2 && w[0] == "-A" && chains_.count(w[1])) {
            const size_t prefix = 4 + w[1].size();
            chains_[w[1]].rules.push_back(line.size() > prefix ? line.substr(prefix) : "");
        } else {
            chains_.clear();
            return false;
        }
    }
    return true;
}

std::string MangleModel::listChain(const std::string& name) const {
    const auto it = chains_.find(name);
    if (it == chains_.end()) return "";
    const Chain& chain = it->second;
    std::string out = chain.policy.empty() ? "-N " + name + "\n" : "-P " + name + " " + chain.policy + "\n";
    for (const auto& rule : chain.rules) out += "-A " + name + (rule.empty() ? "" : " " + rule) + "\n";
    return out;
}

bool MangleModel::referenced(const std::string& name) const {
    for (const auto& chain : chains_)
        for (const auto& rule : chain.second.rules)
            if (namesAfter(rule, {"-j", "-g"}, name)) return true;
    return false;
}

// A set that a rule of the table names exists: ipset does not destroy a set
// in use.
bool MangleModel::setKnown(const std::string& set) const {
    if (existingSets_.count(set)) return true;
    for (const auto& chain : chains_)
        for (const auto& rule : chain.second.rules)
            if (namesAfter(rule, {"--match-set", "--add-set", "--del-set"}, set)) return true;
    return false;
}

MangleModel::Verdict MangleModel::deleteChain(const IptablesCommand& command, const std::string& chainVersion,
                                              CommandOutcome& outcome) {
    const auto it = chains_.find(command.chain);
    if (it == chains_.end()) return fail(outcome, 1, kNoChain);
    if (!it->second.policy.empty()) return Verdict::Unknown;
    if (!it->second.rules.empty() || referenced(command.chain)) {
        // The kernel refuses it at the commit.
        if (chainVersion.empty()) return Verdict::Unknown;
        return fail(outcome, 4,
                    chainVersion + ":  CHAIN_DEL failed (Device or resource busy): chain " + command.chain + "\n");
    }
    chains_.erase(it);
    return done(outcome);
}

MangleModel::Verdict MangleModel::addRule(const IptablesCommand& command, CommandOutcome& outcome) {
    const auto it = chains_.find(command.chain);
    if (it == chains_.end()) return fail(outcome, 1, kNoChain);
    auto& rules = it->second.rules;
    if (command.op == IptablesCommand::Op::Append) {
        rules.push_back(command.rule);
    } else {
        if (command.index > rules.size() + 1) return fail(outcome, 1, kIndexTooBig);
        rules.insert(rules.begin() + long(command.index - 1), command.rule);
    }
    return done(outcome);
}

MangleModel::Verdict MangleModel::apply(const IptablesCommand& command, const std::string& chainVersion,
                                        CommandOutcome& outcome) {
    using Op = IptablesCommand::Op;
    const auto it = chains_.find(command.chain);
    switch (command.op) {
    case Op::NewChain:
        if (it != chains_.end()) return fail(outcome, 1, kChainExists);
        chains_[command.chain];
        return done(outcome);
    case Op::Flush:
        if (it == chains_.end()) return fail(outcome, 1, kNoChain);
        it->second.rules.clear();
        return done(outcome);
    case Op::DeleteChain:
        return deleteChain(command, chainVersion, outcome);
    default:
        break;
    }
    // iptables reads the rule first: a jump to a missing chain or a missing
    // set fails there, before the chain is looked at. The sets that exist
    // are those a rule names and those the caller knows of.
    if (!command.jump.empty() && !chains_.count(command.jump)) return Verdict::Unknown;
    for (const auto& set : command.sets) {
        if (setKnown(set)) continue;
        if (chainVersion.empty()) return Verdict::Unknown;
        return fail(outcome, 2,
                    chainVersion + ": Set " + set + " doesn't exist.\n\nTry `iptables -h' or 'iptables --help' for more information.\n");
    }
    if (command.op == Op::Append || command.op == Op::Insert) return addRule(command, outcome);
    if (it != chains_.end()) {
        auto& rules = it->second.rules;
        for (size_t i = 0; i < rules.size(); ++i) {
            if (rules[i] != command.rule) continue;
            if (command.op == Op::DeleteRule) {
                rules.erase(rules.begin() + long(i));
            }
            return done(outcome);
        }
    }
    return fail(outcome, 1, kBadRule);
}

}  // namespace kernel
}  // namespace kor
