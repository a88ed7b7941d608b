// quorin-status's reading of a group chain, from the cases of
// tests/data/status-shares.txt: the shares its probabilities give, and the
// new connections and sticky packets of each mark its counters give since
// the previous call.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "data_file.h"
#include "shares.h"

namespace {

using namespace kor::status;

struct Case {
    std::string name;
    std::string now, before;  // as iptables-save lists them
    std::map<uint32_t, double> effective;
    std::map<uint32_t, uint64_t> measured, sticky;
};

std::vector<Case> cases() {
    std::vector<Case> out;
    for (const std::string& line : dataLines("status-shares.txt")) {
        std::istringstream in(line);
        std::string word, counters, spec;
        in >> word;
        if (word == "##") {
            in >> word >> word;
            out.push_back({word, "", "", {}, {}, {}});
            continue;
        }
        Case& c = out.back();
        if (word == "now" || word == "before") {
            in >> counters >> std::ws;
            std::getline(in, spec);
            (word == "now" ? c.now : c.before) += counters + " -A LOADBALANCING1 " + spec + "\n";
        }
        uint32_t mark;
        for (double share; word == "effective" && in >> mark >> share;) c.effective[mark] = share;
        for (uint64_t count; word == "measured" && in >> mark >> count;) c.measured[mark] = count;
        for (uint64_t count; word == "sticky" && in >> mark >> count;) c.sticky[mark] = count;
    }
    return out;
}

std::map<uint32_t, double> rounded(const std::map<uint32_t, double>& shares) {
    std::map<uint32_t, double> out;
    for (const auto& s : shares) out[s.first] = std::round(s.second * 10000) / 10000;
    return out;
}

TEST(StatusShares, EffectiveAndMeasuredSharesOfEachCase) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        MangleTable now, before;
        ASSERT_TRUE(parseMangleSave(c.now, now));
        ASSERT_TRUE(parseMangleSave(c.before, before));
        const std::vector<ServiceSplit> splits = serviceSplits(now["LOADBALANCING1"]);
        ASSERT_FALSE(splits.empty());
        for (const ServiceSplit& split : splits) EXPECT_EQ(rounded(effectiveShares(split)), c.effective);
        const RuleCounters delta = counterDelta(ruleCounters("LOADBALANCING1", before["LOADBALANCING1"]),
                                                ruleCounters("LOADBALANCING1", now["LOADBALANCING1"]));
        EXPECT_EQ(connectionsByMark("LOADBALANCING1", delta), c.measured);
        EXPECT_EQ(stickyPacketsByMark("LOADBALANCING1", delta), c.sticky);
    }
}

}  // namespace
