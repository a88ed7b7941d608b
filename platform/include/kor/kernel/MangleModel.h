#pragma once
// A model of the mangle table as "iptables -S" renders it, and the iptables
// commands the daemon writes, read into the form iptables itself renders, so
// that what each command does to the table, and how it fails, can be worked
// out before the table is changed.
//
// Only the forms the daemon writes are understood (see parseIptablesCommand);
// anything else is refused, and the caller then runs the command itself.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "kor/kernel/Batch.h"

namespace kor {
namespace kernel {

struct IptablesCommand {
    enum class Op { NewChain, Flush, DeleteChain, Append, Insert, DeleteRule, Check };
    Op op = Op::Append;
    std::string chain;
    size_t index = 1;                // -I: the position, from 1
    std::string rule;                // the rule as "iptables -S" renders it, without "-A CHAIN"
    std::string jump;                // the chain the rule jumps to, or ""
    std::vector<std::string> sets;   // the ipsets the rule names
    std::string restoreLine;         // the command as an iptables-restore line
};

// Reads "iptables -t mangle ..." (words as the command runner splits them).
// False when the command is not one of the forms understood here.
bool parseIptablesCommand(const std::vector<std::string>& words, IptablesCommand& out);

// The "iptables -S" rendering of a rule given as its words (those after
// "-A CHAIN"), or false when it is not understood.
bool renderRule(const std::vector<std::string>& spec, std::string& rendered);

class MangleModel {
public:
    enum class Verdict { Done, Failed, Unknown };

    // Reads an "iptables -t mangle -S" listing; false when a line is not one
    // of "-P", "-N" or "-A".
    bool parse(const std::string& listing);
    // The listing of one chain as "iptables -S CHAIN" prints it.
    std::string listChain(const std::string& chain) const;
    // The sets that exist besides those a rule names (a set in use cannot be
    // destroyed); any other set is taken as missing.
    void setExistingSets(std::set<std::string> sets) { existingSets_ = std::move(sets); }
    bool hasChain(const std::string& chain) const { return chains_.count(chain) != 0; }
    bool operator==(const MangleModel& other) const { return chains_ == other.chains_; }
    bool operator!=(const MangleModel& other) const { return !(*this == other); }

    // Carries out the command on the model. Done: it succeeds (and changes
    // the model); Failed: it fails as iptables would, with its status and
    // error text in outcome; Unknown: what iptables would do cannot be told.
    // chainVersion is "iptables v1.8.9 (nf_tables)", the prefix of the
    // kernel's refusals that iptables prints.
    Verdict apply(const IptablesCommand& command, const std::string& chainVersion, CommandOutcome& outcome);

private:
    struct Chain {
        std::string policy;  // builtin chains only
        std::vector<std::string> rules;
        bool operator==(const Chain& o) const { return policy == o.policy && rules == o.rules; }
    };
    bool referenced(const std::string& chain) const;
    bool setKnown(const std::string& set) const;
    Verdict deleteChain(const IptablesCommand& command, const std::string& chainVersion, CommandOutcome& outcome);
    Verdict addRule(const IptablesCommand& command, CommandOutcome& outcome);

    std::map<std::string, Chain> chains_;
    std::set<std::string> existingSets_;
};

}  // namespace kernel
}  // namespace kor
