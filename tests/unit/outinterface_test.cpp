// The outgoing interface: the lines of its ipset, rules, route and mark, its
// table number, its lifecycle and the fingerprint of its table.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/RecordingExecutor.h"
#include "model_fixtures.h"
#include "outinterface.h"

namespace {

using quorin_test::Lines;
using quorin_test::operator+;
using kor::quorin::OutInterface;

const Lines eth1At256 = {
    "ip rule add fwmark 256 table 256;ip rule add from 10.0.0.2 table 256",
    "ip route del table 256 to default 2> /dev/null",
    "ip route add table 256 to default via 10.0.0.1 dev eth1",
    "iptables -t mangle -I WAN2LAN 2 -i  eth1 -m state --state NEW -j MARK --set-mark 256;"
    "iptables -t mangle -C LOADB_PRE -i eth1 -j WAN2LAN || iptables -t mangle -I LOADB_PRE -i eth1 -j WAN2LAN;",
};
const Lines eth1At256Undo = {
    "ip rule del fwmark 256 table 256;ip rule del from 10.0.0.2 table 256",
    "ip route del table 256 to default via 10.0.0.1 dev eth1",
    "iptables -t mangle -D WAN2LAN -i  eth1 -m state --state NEW -j MARK --set-mark 256;"
    "iptables -t mangle -D LOADB_PRE -i eth1 -j WAN2LAN;",
};


class Uplink : public ::testing::Test {
protected:
    std::shared_ptr<kor::cfg::RecordingExecutor> rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue q{rec};
    // Builds a member with its ipset, the way a group commit first meets it.
    std::unique_ptr<OutInterface> member(const std::string& gw = "10.0.0.1", const std::string& addr = "10.0.0.2") {
        auto m = std::make_unique<OutInterface>("eth1", gw, 50, addr, 120);
        m->createIpset(&q);
        rec->take();
        return m;
    }
};

TEST_F(Uplink, IpsetRulesRouteAndMarkLines) {
    OutInterface ppp("ppp0", "", 10, "1.2.3.4", 120);
    ppp.createIpset(&q);
    EXPECT_EQ(rec->take(), Lines{"ipset -exist create lb_ppp0 hash:ip,port,ip timeout 120"});

    auto m = member();
    m->apply(256);
    EXPECT_EQ(rec->take(), eth1At256);
    EXPECT_EQ(m->routeTableHash.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(m->routeTableHash.size(), 64u) << "taken right after the lines ran";

    for (const char* gw : {"", "0.0.0.0"}) {  // no gateway: no "via", two blanks
        auto direct = member(gw);
        direct->apply(257);
        direct->remove();
        const Lines lines = rec->take();
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[2], "ip route add table 257 to default  dev eth1") << gw;
        EXPECT_EQ(lines[5], "ip route del table 257 to default  dev eth1") << gw;
    }
}

TEST_F(Uplink, KeepsTheFirstNumberItIsOffered) {
    auto down = member("10.0.0.1", "0.0.0.0");
    EXPECT_FALSE(down->up);
    down->apply(300);
    down->apply(301);
    EXPECT_EQ(down->tableId, 300);
    EXPECT_EQ(rec->take(), Lines{}) << "a member that is down only takes a number";

    auto unnumbered = member();
    unnumbered->apply(0);
    EXPECT_EQ(rec->take(), Lines{}) << "table 0 never reaches a command line";
    EXPECT_FALSE(unnumbered->applied);
}

TEST_F(Uplink, LifecycleApplyRemoveReapply) {
    auto m = member();
    EXPECT_TRUE(m->needsUpdate());
    m->apply(256);
    EXPECT_FALSE(m->needsUpdate());
    m->routeTableHash = "taken at the first apply";
    m->apply(999);
    EXPECT_EQ(m->routeTableHash, "taken at the first apply") << "an applied member does nothing";
    m->remove();
    m->remove();
    EXPECT_EQ(rec->take(), eth1At256 + eth1At256Undo) << "a second remove does nothing";
    EXPECT_EQ(m->tableId, 256);

    m->setUp(false);
    m->apply(256);
    EXPECT_EQ(rec->take(), Lines{});
    m->setUp(true);
    m->addr = "10.0.0.9";  // the undo lines follow the values of each apply
    m->apply(400);
    m->remove();
    const Lines lines = rec->take();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "ip rule add fwmark 256 table 256;ip rule add from 10.0.0.9 table 256");
    EXPECT_EQ(lines[4], "ip rule del fwmark 256 table 256;ip rule del from 10.0.0.9 table 256");
}

TEST_F(Uplink, DestructorUndoesFlushesAndDestroysTheSet) {
    { OutInterface fresh("eth1", "", 50, "10.0.0.2", 120); }
    EXPECT_EQ(rec->take(), Lines{}) << "no ipset, nothing to tear down";

    member().reset();
    EXPECT_EQ(rec->take(), Lines{"ipset destroy lb_eth1"}) << "no number: no flush of table 0";

    for (bool removedFirst : {false, true}) {  // the stored undo lines go out either way
        auto m = member();
        m->apply(256);
        if (removedFirst) m->remove();
        rec->take();
        m.reset();
        EXPECT_EQ(rec->take(), eth1At256Undo + Lines{"ip route flush table 256; ipset destroy lb_eth1"});
    }

    auto neverApplied = member("10.0.0.1", "0.0.0.0");
    neverApplied->apply(258);
    neverApplied.reset();
    EXPECT_EQ(rec->take(), (Lines{"", "", "", "ip route flush table 258; ipset destroy lb_eth1"}));
}

TEST(UplinkFingerprint, Sha256OfTheListingOrTheTimeWithoutNumber) {
    EXPECT_EQ(OutInterface::fingerprint(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(OutInterface::fingerprint("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(OutInterface::fingerprint("default dev eth1 \n"), OutInterface::fingerprint("default dev eth2 \n"));

    // No number: nothing runs, and "Sun Dec  6 11:46:05 2026\n" matches no fingerprint.
    const std::string text = OutInterface("eth1", "", 50, "10.0.0.2", 120).computeRouteTableHash();
    ASSERT_EQ(text.size(), 25u) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text[13], ':');
}

}  // namespace
