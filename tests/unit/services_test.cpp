// Service rules: the filter pieces of a rule, the probability rounding, and
// the bookkeeping of the rules in the kernel. The shares of whole groups are
// in groups_test.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/RecordingExecutor.h"
#include "services.h"

namespace {

using Lines = std::vector<std::string>;
using kor::quorin::BalancingService;

class Service : public ::testing::Test {
protected:
    std::shared_ptr<kor::cfg::RecordingExecutor> rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue q{rec};
    std::unique_ptr<BalancingService> service(const std::string& src, const std::string& dst, const std::string& proto,
                                              int sps, int spe, int dps, int dpe) {
        auto s = std::make_unique<BalancingService>(1, src, dst, proto, sps, spe, dps, dpe);
        s->activate(&q);
        return s;
    }
    // The one line a rule creation queued.
    std::string created(BalancingService& s, int share, int base, float remaining, unsigned members) {
        s.deleteAllRules();
        rec->take();
        s.createRule(257, share, 4, base, remaining, members);
        const Lines lines = rec->take();
        return lines.size() == 1 ? lines[0] : "<" + std::to_string(lines.size()) + " lines>";
    }
};

TEST_F(Service, FilterPieces) {
    const std::string head = " iptables  -t mangle -A LOADBALANCING4";
    const std::string tail = " -m state --state new  -j MARK --set-mark 257";
    EXPECT_EQ(created(*service("", "", "", 0, 0, 0, 0), 100, 0, 100.0f, 1), head + " -j MARK --set-mark 257")
        << "one member: no state match";
    EXPECT_EQ(created(*service("192.168.1.0/24", "8.8.8.8", "udp", 0, 0, 53, 53), 50, 0, 100.0f, 2),
              head + " -s 192.168.1.0/24 -d 8.8.8.8 -p udp --dport 53" + tail);
    EXPECT_EQ(created(*service("0.0.0.0", "0.0.0.0", "ALL", 1000, 2000, 80, 90), 50, 0, 100.0f, 2), head + tail)
        << "any address and ALL protocols: no match, and no ports either";
    EXPECT_EQ(created(*service("", "", "tcp", 1000, 2000, 443, 0), 50, 0, 100.0f, 2),
              head + " -p tcp --sport 1000:2000 --dport 443" + tail);
    EXPECT_EQ(created(*service("", "", "tcp", 0, 2000, 0, 90), 50, 0, 100.0f, 2),
              head + " -p tcp --sport 0:2000 --dport 0:90" + tail)
        << "a range without start runs from port 0";
}

TEST_F(Service, ProbabilityOfTheShareOfWhatRemains) {
    EXPECT_EQ(BalancingService::selectionPercent(20, 70.0f), 29);
    EXPECT_EQ(BalancingService::selectionPercent(50, 80.0f), 63) << "62.5 rounds away from zero";
    EXPECT_EQ(BalancingService::selectionPercent(15, 24.0f), 62) << "single precision: 62.4999962";

    auto s = service("", "", "", 0, 0, 0, 0);
    const std::string head = " iptables  -t mangle -A LOADBALANCING4 -m mark --mark 256 -m state --state new ";
    const std::string stat = " -m statistic --mode random --probability 0.";
    EXPECT_EQ(created(*s, 5, 256, 100.0f, 2), head + stat + "05 -j MARK --set-mark 257");
    EXPECT_EQ(created(*s, 0, 256, 100.0f, 2), head + stat + "00 -j MARK --set-mark 257");
    EXPECT_EQ(created(*s, 497, 256, 500.0f, 2), head + stat + "99 -j MARK --set-mark 257");
    EXPECT_EQ(created(*s, 199, 256, 200.0f, 2), head + " -j MARK --set-mark 257") << "99.5: all that remains";
    EXPECT_EQ(created(*s, 40, 256, 0.0f, 2), head + " -j MARK --set-mark 257");
    EXPECT_EQ(created(*s, 10, 256, -20.0f, 2), head + stat + "00 -j MARK --set-mark 257") << "below 0: none";
}

TEST_F(Service, WritesEachRuleOnceAndDeletesByMark) {
    auto s = service("", "", "tcp", 0, 0, 80, 0);
    EXPECT_TRUE(s->createRule(256, 50, 1, 0, 100.0f, 2));
    EXPECT_TRUE(s->createRule(257, 50, 1, 256, 100.0f, 2));
    EXPECT_FALSE(s->createRule(257, 50, 1, 256, 100.0f, 2)) << "the same rule again";
    EXPECT_TRUE(s->createRule(257, 40, 1, 256, 100.0f, 2)) << "another share is another rule";
    EXPECT_EQ(rec->take().size(), 3u);

    s->deleteRules(999);
    EXPECT_EQ(rec->take(), Lines{});
    s->deleteRules(257);
    const Lines deleted = rec->take();
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted[0].find(" iptables  -t mangle -D LOADBALANCING1 -m mark --mark 256"), 0u);
    EXPECT_NE(deleted[1].find("0.40 -j MARK --set-mark 257"), std::string::npos);

    s->deleteAllRules();
    EXPECT_EQ(rec->take(),
              Lines{" iptables  -t mangle -D LOADBALANCING1 -p tcp --dport 80 -m state --state new  -j MARK --set-mark 256"});
    EXPECT_TRUE(s->createRule(256, 50, 1, 0, 100.0f, 2)) << "gone rules can be written again";
    rec->take();
    s.reset();
    EXPECT_EQ(rec->take().size(), 1u) << "the destructor deletes what is left";

    {
        BalancingService inactive(3, "", "", "tcp", 0, 0, 80, 0);
        EXPECT_FALSE(inactive.createRule(256, 50, 1, 0, 100.0f, 2));
        inactive.deleteRules(256);
    }
    EXPECT_EQ(rec->take(), Lines{}) << "without its queue a service writes and deletes nothing";
}

}  // namespace
