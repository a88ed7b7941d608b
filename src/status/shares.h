#pragma once
// The group chains as "iptables-save -t mangle -c" lists them: which mark
// each service rule gives a new connection, with what probability, and how
// many connections each member took by the rules' packet counters.
//
// A group chain holds, per service, a base rule that gives every matching
// new connection the base member's mark, then one re-mark per later member:
// of the connections that still carry the base mark, the fraction p_j gets
// member j's mark. Member j's share is p_j times the product of (1 - p_i) of
// the re-marks before it; the base keeps what is left. A sticky match rule
// gives its member's mark to a tuple its set remembers.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kor {
namespace status {

struct ChainRule {
    uint64_t packets = 0;
    std::string spec;  // the words after "-A CHAIN"
};

// Chain name to its rules in order; a chain without rules is there empty.
using MangleTable = std::map<std::string, std::vector<ChainRule>>;

// Reads the listing; false when a line is neither a comment, a table or
// chain header, a rule with its counters nor "COMMIT".
bool parseMangleSave(const std::string& text, MangleTable& out);

// What one rule of a group chain does.
struct RuleRole {
    enum class Kind { Other, Base, ReMark, Sticky };
    Kind kind = Kind::Other;
    uint32_t mark = 0;       // the mark it gives
    uint32_t baseMark = 0;   // a re-mark: the mark it takes connections from
    double probability = 1;  // a re-mark: the fraction it takes
    std::string filter;      // a service rule: its match without mark and statistic
};
RuleRole classifyRule(const std::string& spec);

struct ReMark {
    uint32_t mark;
    double probability;
};

// One service's split: its base mark and re-marks in chain order.
struct ServiceSplit {
    std::string filter;
    uint32_t baseMark = 0;
    std::vector<ReMark> reMarks;
};

std::vector<ServiceSplit> serviceSplits(const std::vector<ChainRule>& rules);
// Each mark's share of the service's new connections, 0 to 1.
std::map<uint32_t, double> effectiveShares(const ServiceSplit& split);

// Packet counters of the rules that give a mark, by rule: "CHAIN #N SPEC",
// N counting the rules of the same text before it in the chain (a rebuild
// has two of them for a moment).
using RuleCounters = std::map<std::string, uint64_t>;
RuleCounters ruleCounters(const std::string& chain, const std::vector<ChainRule>& rules);
// What each rule counted from before to after: the difference, or all that
// after holds when the rule is new or its counter went down (it was made
// again and counts from 0).
RuleCounters counterDelta(const RuleCounters& before, const RuleCounters& after);
// New connections by mark, from the counts of one chain's rules (keyed as
// above): a re-mark's for its mark, a base rule's less its service's
// re-marks for the base mark.
std::map<uint32_t, uint64_t> connectionsByMark(const std::string& chain, const RuleCounters& counts);
// The packets the sticky match rules marked, by mark. Not new connections:
// a sticky match rule stands before the chain's early return and marks
// every packet of a tuple its set remembers, that of a connection opened
// long ago too.
std::map<uint32_t, uint64_t> stickyPacketsByMark(const std::string& chain, const RuleCounters& counts);

// What the previous call saw: the rules' counters, and each member's
// connections counted so far ("GROUP DEVICE" to a total).
struct CounterFile {
    int64_t time = 0;
    RuleCounters rules;
    std::map<std::string, uint64_t> totals;
};
// False when the file is missing or not one of ours (then out is empty).
bool readCounterFile(const std::string& path, CounterFile& out);
// Replaces the file whole; false with the reason in error.
bool writeCounterFile(const std::string& path, const CounterFile& file, std::string& error);

}  // namespace status
}  // namespace kor
