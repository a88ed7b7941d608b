// The balancing group: its chain over a group's life, the shares of the
// service rules, table numbers, the sweep of a member and the order of
// teardown.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "groups.h"
#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/RecordingExecutor.h"
#include "model_fixtures.h"

namespace {

using quorin_test::Lines;
using quorin_test::operator+;
using kor::quorin::BalancingGroup;


// Member n is device eth<n> with address 10.0.<n>.2 and gateway 10.0.<n>.1.
std::string dev(int n) { return "eth" + std::to_string(n); }
std::string addrOf(int n) { return "10.0." + std::to_string(n) + ".2"; }
std::string gwOf(int n) { return "10.0." + std::to_string(n) + ".1"; }

Lines applyOf(int n, const std::string& t) {
    return {"ip rule add fwmark " + t + " table " + t + ";ip rule add from " + addrOf(n) + " table " + t,
            "ip route del table " + t + " to default 2> /dev/null",
            "ip route add table " + t + " to default via " + gwOf(n) + " dev " + dev(n),
            "iptables -t mangle -I WAN2LAN 2 -i  " + dev(n) + " -m state --state NEW -j MARK --set-mark " + t +
                ";iptables -t mangle -C LOADB_PRE -i " + dev(n) + " -j WAN2LAN || iptables -t mangle -I LOADB_PRE -i " +
                dev(n) + " -j WAN2LAN;"};
}
Lines teardownOf(int n, const std::string& t) {
    return {"ip rule del fwmark " + t + " table " + t + ";ip rule del from " + addrOf(n) + " table " + t,
            "ip route del table " + t + " to default via " + gwOf(n) + " dev " + dev(n),
            "iptables -t mangle -D WAN2LAN -i  " + dev(n) + " -m state --state NEW -j MARK --set-mark " + t +
                ";iptables -t mangle -D LOADB_PRE -i " + dev(n) + " -j WAN2LAN;",
            "ip route flush table " + t + "; ipset destroy lb_" + dev(n)};
}

// The rule of the service "tcp port 80" in group 1 for mark, re-marking a
// share of base (none: the base rule itself) with probability 0.<prob>.
std::string http(int mark, int base = 0, const std::string& prob = "", const char* op = "-A") {
    std::string line = std::string(" iptables  -t mangle ") + op + " LOADBALANCING1";
    if (base) line += " -m mark --mark " + std::to_string(base);
    line += " -p tcp --dport 80 -m state --state new ";
    if (base) line += " -m statistic --mode random --probability 0." + prob;
    return line + " -j MARK --set-mark " + std::to_string(mark);
}

const std::string chain = "iptables -t mangle -D LOADBALANCING1";
std::string stickyMatchDel(int n, const std::string& t) {
    return chain + " -m set --match-set lb_" + dev(n) + " src,dstport,dst -j MARK --set-mark " + t;
}
std::string reRecordDel(int n, const std::string& t) {
    return chain + " -m mark --mark " + t + " -j SET --add-set lb_" + dev(n) + " src,dstport,dst 2> /dev/null";
}
const Lines earlyReturn = {chain + " -m mark ! --mark 0x0 -j RETURN 2> /dev/null",
                           "iptables -t mangle -I LOADBALANCING1 2 -m mark ! --mark 0x0 -j RETURN"};
const Lines stickyMatches = {
    stickyMatchDel(1, "256") + ";iptables -t mangle -I LOADBALANCING1 2 -m set --match-set lb_eth1 src,dstport,dst "
                               "-j MARK --set-mark 256",
    stickyMatchDel(2, "257") + ";iptables -t mangle -I LOADBALANCING1 2 -m set --match-set lb_eth2 src,dstport,dst "
                               "-j MARK --set-mark 257"};
const Lines moveTail = {chain + " -j CONNMARK --save-mark;" + chain + " -j RETURN",
                        "iptables -t mangle -A LOADBALANCING1 -j CONNMARK --save-mark;"
                        "iptables -t mangle -A LOADBALANCING1 -j RETURN"};

class Group : public ::testing::Test {
protected:
    std::shared_ptr<kor::cfg::RecordingExecutor> rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue q{rec};

    std::unique_ptr<BalancingGroup> group(int members, bool sticky = true, uint32_t autobalance = 0,
                                          std::vector<int> usage = {60, 40, 20}) {
        auto g = std::make_unique<BalancingGroup>(1, "br0", autobalance, sticky);
        for (int n = 1; n <= members; ++n) g->addInterface(dev(n), gwOf(n), usage[n - 1], addrOf(n), 120);
        g->addService(7, "", "", "tcp", 0, 0, 80, 0);
        return g;
    }
    std::unique_ptr<BalancingGroup> committed(int members) {
        auto g = group(members);
        g->createChain(&q);
        g->commit(256);
        g->routeSyncPending = false;
        rec->take();
        return g;
    }
    // The service rules of the first commit of a group of three.
    Lines rulesOfFirstCommit(uint32_t autobalance, const std::string& down = "", std::vector<int> usage = {50, 30, 20}) {
        auto g = group(3, false, autobalance, usage);
        if (!down.empty()) g->markInterfaceDown(down);
        g->createChain(&q);
        rec->take();
        g->commit(256);
        Lines rules;
        for (const std::string& line : rec->take())
            if (line.rfind(" iptables  -t mangle -A", 0) == 0) rules.push_back(line);
        g.reset();
        rec->take();
        return rules;
    }
};

TEST_F(Group, NewStickyGroupOfTwoCreatesItsChainAndFirstCommitWritesEverything) {
    auto g = group(2);
    g->createChain(&q);
    EXPECT_EQ(rec->take(), (Lines{"iptables -t mangle -N LOADBALANCING1",
                                  "iptables -t mangle -A LOADBALANCING1 -j CONNMARK --restore-mark",
                                  "iptables -t mangle -A LOADBALANCING1 -j CONNMARK --save-mark",
                                  "iptables -t mangle -A LOADBALANCING1 -j RETURN",
                                  "iptables -t mangle -C LOADB_PRE -i br0 -j LOADBALANCING1 || "
                                  "iptables -t mangle -A LOADB_PRE -i br0 -j LOADBALANCING1"}));

    EXPECT_EQ(g->commit(256), 258);
    const Lines ipsets = {"ipset -exist create lb_eth1 hash:ip,port,ip timeout 120",
                          "ipset -exist create lb_eth2 hash:ip,port,ip timeout 120"};
    const Lines reRecords = {
        reRecordDel(1, "256") + ";iptables -t mangle -A LOADBALANCING1 -m mark --mark 256 -j SET --add-set lb_eth1 "
                                "src,dstport,dst 2> /dev/null;",
        reRecordDel(2, "257") + ";iptables -t mangle -A LOADBALANCING1 -m mark --mark 257 -j SET --add-set lb_eth2 "
                                "src,dstport,dst 2> /dev/null;"};
    EXPECT_EQ(rec->take(), ipsets + applyOf(1, "256") + Lines{http(256)} + applyOf(2, "257") +
                               Lines{http(257, 256, "40")} + reRecords + moveTail + earlyReturn + stickyMatches);
    EXPECT_TRUE(g->routeSyncPending);
    EXPECT_EQ(q.pending(), 0u);

    EXPECT_EQ(g->commit(258), 258);
    EXPECT_EQ(rec->take(), earlyReturn + stickyMatches) << "a second commit only refreshes the head";
}

TEST_F(Group, DestructionDeletesServiceRulesThenTheChainThenTheMembers) {
    committed(2).reset();
    const Lines servicesThenChain = {http(256, 0, "", "-D"), http(257, 256, "40", "-D"),
                                     "iptables -t mangle -D LOADB_PRE -i br0 -j LOADBALANCING1",
                                     "iptables -t mangle -F LOADBALANCING1", "iptables -t mangle -X LOADBALANCING1"};
    EXPECT_EQ(rec->take(), servicesThenChain + teardownOf(1, "256") + teardownOf(2, "257"));

    group(2).reset();
    EXPECT_EQ(rec->take(), Lines{}) << "a group without chain issues nothing";
}

TEST_F(Group, WorkedShares) {
    EXPECT_EQ(rulesOfFirstCommit(0), (Lines{http(256), http(257, 256, "30"), http(258, 256, "29")}));
    EXPECT_EQ(rulesOfFirstCommit(0, "eth2"), (Lines{http(256), http(258, 256, "29")}))
        << "the share of a member that is down still counts";
    EXPECT_EQ(rulesOfFirstCommit(0, "eth1"), (Lines{http(257), http(258, 257, "20")}))
        << "shares before the base never count";
    EXPECT_EQ(rulesOfFirstCommit(1), (Lines{http(256), http(257, 256, "33"), http(258, 256, "49")}));
    EXPECT_EQ(rulesOfFirstCommit(2), (Lines{http(256), http(257, 256, "00"), http(258, 256, "00")}));
    // Runaway shares count as 100: the second member takes every connection
    // of the base, the third has nothing left; the sum does not overflow.
    const std::string takesAll = " -m mark --mark 256 -p tcp --dport 80 -m state --state new  -j MARK --set-mark ";
    EXPECT_EQ(rulesOfFirstCommit(0, "", {50, INT32_MAX, INT32_MAX}),
              (Lines{http(256), " iptables  -t mangle -A LOADBALANCING1" + takesAll + "257",
                     " iptables  -t mangle -A LOADBALANCING1" + takesAll + "258"}));
}

TEST_F(Group, TableNumbersRunAcrossGroupsAndStayWithTheMember) {
    auto first = group(2), second = group(1);
    second->interfaces.front().setUp(false);  // a member that is down takes its number too
    first->createChain(&q);
    second->createChain(&q);
    EXPECT_EQ(second->commit(first->commit(256)), 259);
    EXPECT_EQ(first->interfaces.front().tableId, 256);
    EXPECT_EQ(first->interfaces.back().tableId, 257);
    EXPECT_EQ(second->interfaces.front().tableId, 258);

    EXPECT_EQ(first->commit(256), 258) << "members holding the offered numbers advance the counter";
    EXPECT_EQ(first->commit(500), 500);
}

TEST_F(Group, ShapesWithoutStickyRules) {
    BalancingGroup empty(5, "br1", 0, true);
    empty.createChain(&q);
    rec->take();
    testing::internal::CaptureStderr();
    EXPECT_EQ(empty.commit(300), 300);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "WARNING! Group ID 5 with client Interface br1 has no active upstream interfaces assigned"),
              std::string::npos)
        << "written also without debug mode";
    EXPECT_EQ(rec->take(), (Lines{"iptables -t mangle -D LOADBALANCING5 -m mark ! --mark 0x0 -j RETURN 2> /dev/null",
                                  "iptables -t mangle -I LOADBALANCING5 2 -m mark ! --mark 0x0 -j RETURN"}));
    EXPECT_FALSE(empty.routeSyncPending);

    for (bool sticky : {true, false}) {  // one sticky member, or two not sticky
        auto g = group(sticky ? 1 : 2, sticky);
        g->createChain(&q);
        g->commit(256);
        g->commit(258);
        for (const std::string& line : rec->take()) EXPECT_EQ(line.find("-set lb_"), std::string::npos) << line;
        g.reset();
        rec->take();
    }
}

TEST_F(Group, MembersDownKeepNumbersAndStickyMatches) {
    auto g = committed(2);
    EXPECT_EQ(g->markInterfaceDown("eth1") + g->markInterfaceDown("eth2") + g->markInterfaceDown("wan9"), 2u);
    const Lines deleted = rec->take();
    ASSERT_EQ(deleted.size(), 8u);
    EXPECT_EQ(deleted[0], http(256, 0, "", "-D"));
    EXPECT_EQ(deleted[4], http(257, 256, "40", "-D"));
    g->commit(258);
    EXPECT_EQ(rec->take(), earlyReturn + stickyMatches);
}

TEST_F(Group, SweptMemberTakesItsRulesAndTheStickyRulesOfAGroupLeftAlone) {
    auto g = committed(2);
    g->markInterfacesObsolete();
    g->markServicesObsolete();
    g->addInterface("eth1", gwOf(1), 60, addrOf(1), 120);
    g->addService(7, "", "", "tcp", 0, 0, 80, 0);
    EXPECT_FALSE(g->deleteObsoleteServices());
    EXPECT_TRUE(g->deleteObsoleteInterfaces());
    const Lines swept = {http(257, 256, "40", "-D"), stickyMatchDel(2, "257"), reRecordDel(2, "257")};
    const Lines remainingSticky = {stickyMatchDel(1, "256"), reRecordDel(1, "256")};
    EXPECT_EQ(rec->take(), swept + teardownOf(2, "257") + remainingSticky);

    EXPECT_EQ(g->commit(258), 258);
    const Lines rebuilt = {http(256, 0, "", "-D"),
                           " iptables  -t mangle -A LOADBALANCING1 -p tcp --dport 80 -j MARK --set-mark 256"};
    EXPECT_EQ(rec->take(), rebuilt + moveTail + earlyReturn);
}

}  // namespace
