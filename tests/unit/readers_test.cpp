// The controller's configuration readers and event handlers against an
// in-memory configuration: dispatch, mark and sweep of groups, interfaces
// and services, interface variables, and the guarded transaction.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kor/cfg/RecordingExecutor.h"
#include "model_fixtures.h"
#include "quorin.h"

using moduna::Value;
using namespace quorin_test;

namespace {

class Readers : public ::testing::Test {
protected:
    Readers() : rec(std::make_shared<kor::cfg::RecordingExecutor>()), queue(rec) {}
    void SetUp() override {
        db.tables["Balancing"] = {{{"Verbose", Value(0)}, {"StickyTimeout", Value(120)}}};
        db.tables["BalancingGroups"] = {group(1, "lan0")};
        db.tables["BalancingInterfaces"] = {uplink(1, "wan1", 60), uplink(1, "wan2", 40)};
        db.tables["StatusNetifWatch"] = {status("wan1", "10.1.0.2"), status("wan2", "10.2.0.2")};
        db.tables["DefaultWANGateway"] = {{{"InterfaceName", Value("wan1")}, {"GatewayAddress", Value("10.1.0.1")}}};
        db.tables["BalancingServices"] = {service(1, 1, "tcp", 80)};
    }
    bool load(const std::string& table) {
        db.counted.clear();
        return ctl.loadFromConfig(db, table);
    }
    const kor::quorin::BalancingGroup& only() {
        EXPECT_EQ(ctl.getGroups().size(), 1u);
        return ctl.getGroups().front();
    }
    std::vector<std::string> memberNames() {
        std::vector<std::string> out;
        for (const auto& g : ctl.getGroups())
            for (const auto& m : g.interfaces) out.push_back(m.interfaceName);
        return out;
    }
    MemoryAccess db;
    std::shared_ptr<kor::cfg::RecordingExecutor> rec;
    kor::cfg::ActionQueue queue;
    kor::quorin::quorin ctl;
};

}  // namespace

TEST_F(Readers, DispatchReadsWhatTheTableNameCallsFor) {
    EXPECT_TRUE(load(""));
    EXPECT_EQ(db.counted, (std::vector<std::string>{"Balancing", "BalancingGroups", "BalancingInterfaces",
                                                     "BalancingServices"}));
    EXPECT_TRUE(ctl.routeSyncPending);
    // Nothing created: the interface and service tables are not read again.
    EXPECT_FALSE(load(""));
    EXPECT_EQ(db.counted, (std::vector<std::string>{"Balancing", "BalancingGroups"}));
    EXPECT_FALSE(load("InterfaceMapping"));
    EXPECT_TRUE(db.counted.empty());
    for (const char* t : {"StatusNetifWatch", "DefaultWANGateway", "BalancingInterfaces"}) {
        load(t);
        EXPECT_EQ(db.counted, std::vector<std::string>{"BalancingInterfaces"}) << t;
    }
    load("BalancingServices");
    EXPECT_EQ(db.counted, std::vector<std::string>{"BalancingServices"});
    EXPECT_FALSE(load("Unknown"));
    EXPECT_TRUE(db.counted.empty());
}

TEST_F(Readers, GroupsAreKeptReplacedAndDeletedByIdentity) {
    load("");
    const auto* first = &only();
    EXPECT_EQ(first->interfaces.size(), 2u);
    EXPECT_EQ(first->services.size(), 1u);

    // Autobalance is not part of the identity: same object, old share mode.
    db.tables["BalancingGroups"] = {group(1, "lan0", 1, 0, 1)};
    EXPECT_FALSE(load("BalancingGroups"));
    EXPECT_EQ(&only(), first);
    EXPECT_EQ(only().autobalance, 0u);

    // A new client interface is a new group; interfaces and services follow.
    db.tables["BalancingGroups"] = {group(1, "lan1")};
    EXPECT_TRUE(load("BalancingGroups"));
    EXPECT_EQ(only().clientInterface, "lan1");
    EXPECT_EQ(only().interfaces.size(), 2u);
    EXPECT_EQ(only().services.size(), 1u);

    // A sticky change also replaces the group.
    db.tables["BalancingGroups"] = {group(1, "lan1", 1, 1)};
    EXPECT_TRUE(load("BalancingGroups"));
    EXPECT_TRUE(only().sticky);

    // Enable other than 1 removes it; deletions alone report no change.
    db.tables["BalancingGroups"] = {group(1, "lan1", 2, 1)};
    EXPECT_FALSE(load("BalancingGroups"));
    EXPECT_TRUE(ctl.getGroups().empty());
}

TEST_F(Readers, DuplicateGroupIdIsRefusedAndTheFirstKept) {
    db.tables["BalancingGroups"] = {group(1, "lan0"), group(1, "lan9"), group(2, "lan9")};
    load("");
    ASSERT_EQ(ctl.getGroups().size(), 2u);
    EXPECT_EQ(ctl.getGroups().front().clientInterface, "lan0");
    EXPECT_EQ(ctl.getGroups().back().id, 2);
    // Moving group 1 to another client interface is no duplicate.
    db.tables["BalancingGroups"] = {group(1, "lan5"), group(2, "lan9")};
    EXPECT_TRUE(load("BalancingGroups"));
    ASSERT_EQ(ctl.getGroups().size(), 2u);
    EXPECT_EQ(ctl.getGroups().back().clientInterface, "lan5");
}

TEST_F(Readers, InterfaceStatusDecidesWhetherAMemberExists) {
    db.tables["StatusNetifWatch"] = {status("wan1", "10.1.0.2"), status("wan2", "0.0.0.0")};
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan3", 10));  // no status entry
    db.tables["BalancingInterfaces"].push_back(uplink(7, "wan1", 10));  // no such group
    load("");
    EXPECT_EQ(memberNames(), std::vector<std::string>{"wan1"});
    EXPECT_EQ(only().interfaces.front().gatewayAddress, "10.1.0.1");
    EXPECT_EQ(only().interfaces.front().addr, "10.1.0.2");

    db.tables["StatusNetifWatch"] = {status("wan1", "10.1.0.2"), status("wan2", "10.2.0.2")};
    EXPECT_TRUE(load("StatusNetifWatch"));
    EXPECT_EQ(memberNames(), (std::vector<std::string>{"wan1", "wan2"}));
    EXPECT_EQ(only().interfaces.back().gatewayAddress, "");

    // A member whose address went away is swept.
    db.tables["StatusNetifWatch"] = {status("wan2", "10.2.0.2")};
    EXPECT_TRUE(load("StatusNetifWatch"));
    EXPECT_EQ(memberNames(), std::vector<std::string>{"wan2"});
}

TEST_F(Readers, InterfaceVariablesResolveThroughTheMapping) {
    db.tables["InterfaceMapping"] = {{{"LogicalName", Value("WAN2")}, {"PhysicalName", Value("wan2")}},
                                     {{"LogicalName", Value("LAN")}, {"PhysicalName", Value("lan0")}}};
    db.tables["BalancingGroups"] = {group(1, "$$(LAN)")};
    db.tables["BalancingInterfaces"] = {uplink(1, "wan1", 60), uplink(1, "$$(WAN2)", 40),
                                        uplink(1, "$$(WAN9)", 10), uplink(1, "$$(WAN2", 10)};
    db.tables["StatusNetifWatch"] = {status("wan1", "10.1.0.2"), status("wan2", "10.2.0.2"),
                                     status("$$(WAN9)", "10.9.0.2"), status("$$(WAN2", "10.8.0.2")};
    load("");
    EXPECT_EQ(only().clientInterface, "lan0");
    // Unmapped and incomplete variables are used as written.
    EXPECT_EQ(memberNames(), (std::vector<std::string>{"wan1", "wan2", "$$(WAN9)", "$$(WAN2"}));
    EXPECT_EQ(ctl.ResolvInterfaceName("x$$(WAN2)y", &db), "wan2");
    EXPECT_EQ(ctl.ResolvInterfaceName("eth0", &db), "eth0");
}

TEST_F(Readers, NamesThatWouldAddWordsToCommandsAreRefused) {
    db.tables["BalancingGroups"] = {group(1, "lan0"), group(2, "lan1 table main")};
    db.tables["BalancingInterfaces"] = {uplink(1, "wan1", 60), uplink(1, "wan2 table main", 40)};
    db.tables["StatusNetifWatch"] = {status("wan1", "10.1.0.2"), status("wan2 table main", "10.2.0.2")};
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan3", 10));
    db.tables["StatusNetifWatch"].push_back(status("wan3", "10.3.0.2;iptables -t mangle -F LOADB_PRE"));
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan5;ip", 10));
    db.tables["StatusNetifWatch"].push_back(status("wan5;ip", "10.5.0.2"));
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan4", 10));
    db.tables["StatusNetifWatch"].push_back(status("wan4", "10.4.0.2"));
    db.tables["DefaultWANGateway"].push_back({{"InterfaceName", Value("wan4")}, {"GatewayAddress", Value("10.4.0.1 x")}});
    load("");
    EXPECT_EQ(only().clientInterface, "lan0");
    EXPECT_EQ(memberNames(), std::vector<std::string>{"wan1"});
}

TEST_F(Readers, StickyTimeoutReachesTheMembersAtTheNextInterfaceRead) {
    load("");
    EXPECT_EQ(only().interfaces.front().stickyTimeout, 120);
    db.tables["Balancing"] = {{{"Verbose", Value(0)}, {"StickyTimeout", Value(300)}}};
    EXPECT_FALSE(load("Balancing"));
    EXPECT_EQ(ctl.getStickyTimeout(), 300);
    EXPECT_EQ(only().interfaces.front().stickyTimeout, 120);
    EXPECT_TRUE(load("BalancingInterfaces"));
    ASSERT_EQ(only().interfaces.size(), 2u);
    EXPECT_EQ(only().interfaces.front().stickyTimeout, 300);
    EXPECT_EQ(only().interfaces.back().stickyTimeout, 300);
}

TEST_F(Readers, VerboseSwitchesDebugModeAndReportsIt) {
    ctl.setDebugMode(true);
    EXPECT_TRUE(load("Balancing"));
    EXPECT_FALSE(ctl.getDebugMode());
    EXPECT_FALSE(load("Balancing"));
    db.tables["Balancing"].clear();
    EXPECT_FALSE(load("Balancing"));
    EXPECT_EQ(ctl.getStickyTimeout(), 120);
}

TEST_F(Readers, ServicesFollowTheirTable) {
    load("");
    db.tables["BalancingServices"] = {service(1, 1, "tcp", 80), service(2, 1, "udp", 53), service(3, 5, "tcp", 1)};
    EXPECT_TRUE(load("BalancingServices"));
    EXPECT_EQ(only().services.size(), 2u);
    EXPECT_FALSE(load("BalancingServices"));
    // A filter text with a blank would add iptables options of its own.
    db.tables["BalancingServices"].push_back(service(4, 1, "tcp -j DROP", 22));
    EXPECT_FALSE(load("BalancingServices"));
    EXPECT_EQ(only().services.size(), 2u);
    db.tables["BalancingServices"].clear();
    EXPECT_TRUE(load("BalancingServices"));
    EXPECT_TRUE(only().services.empty());
}

namespace {

class Events : public Readers {
protected:
    void SetUp() override {
        Readers::SetUp();
        load("");
        ctl.commitToSystem(db, queue);
        rec->take();
        db.counted.clear();
    }
};

}  // namespace

TEST_F(Events, TransactionIsRetriedOnBusyAndUnavailable) {
    db.startAnswers = {2, 2, 0};
    db.tables["StatusNetifWatch"] = {status("wan2", "10.2.0.2")};
    ctl.removedAddressEvent("wan1", "10.1.0.2");
    EXPECT_EQ(db.starts, 3);
    EXPECT_EQ(db.ends, 1);
    EXPECT_EQ(db.counted, std::vector<std::string>{"BalancingInterfaces"});
    EXPECT_EQ(memberNames(), std::vector<std::string>{"wan2"});
    EXPECT_FALSE(rec->lines.empty()) << "the commit writes the remaining member's rules";
}

TEST_F(Events, TransactionGivesUpAfterTenAttemptsOrAHardError) {
    db.startAnswers = std::deque<unsigned>(12, 3);
    ctl.removedAddressEvent("wan1", "10.1.0.2");
    EXPECT_EQ(db.starts, 10);
    EXPECT_EQ(db.ends, 0);
    EXPECT_TRUE(db.counted.empty());
    // The members were taken down all the same.
    EXPECT_FALSE(ctl.getGroups().front().interfaces.front().up);

    db.starts = 0;
    db.startAnswers = {1, 0};
    ctl.removedAddressEvent("wan2", "10.2.0.2");
    EXPECT_EQ(db.starts, 1);
    EXPECT_EQ(db.ends, 0);

    db.starts = 0;
    db.startAnswers = std::deque<unsigned>(9, 2);
    db.startAnswers.push_back(0);
    ctl.removedAddressEvent("wan2", "10.2.0.2");
    EXPECT_EQ(db.starts, 10);
    EXPECT_EQ(db.ends, 1);
}

TEST(EventsBeforeLoad, RemovedAddressTouchesNoMissingObject) {
    kor::quorin::quorin ctl;
    ctl.removedAddressEvent("wan1", "10.1.0.2");
    ctl.linkStatusEvent("wan1", true);
    ctl.newAddressEvent("wan1", "10.1.0.2");
    EXPECT_FALSE(ctl.routeSyncPending);
}

TEST_F(Events, LinkEventsForUnknownInterfacesQueueNothing) {
    ctl.routeSyncPending = false;
    ctl.linkStatusEvent("wan1", false);
    ctl.linkStatusEvent("eth7", true);
    ctl.newAddressEvent("eth7", "1.2.3.4");
    EXPECT_TRUE(rec->lines.empty());
    EXPECT_FALSE(ctl.routeSyncPending);
}

TEST_F(Events, AnAddressThatComesBackUnchangedRebuildsEveryRuleInMemberOrder) {
    // The status table still holds wan1's address when it is read again (a
    // renewal that kept it). wan1 is the base: its rule must come first
    // again, or wan2's re-marking rule, which needs the base mark, would
    // never match.
    ctl.removedAddressEvent("wan1", "10.1.0.2");
    Lines added;
    for (const auto& line : rec->lines)
        if (line.rfind(" iptables  -t mangle -A LOADBALANCING1", 0) == 0) added.push_back(line);
    EXPECT_EQ(added, (Lines{" iptables  -t mangle -A LOADBALANCING1 -p tcp --dport 80 -m state --state new  "
                            "-j MARK --set-mark 256",
                            " iptables  -t mangle -A LOADBALANCING1 -m mark --mark 256 -p tcp --dport 80 -m state "
                            "--state new  -m statistic --mode random --probability 0.40 -j MARK --set-mark 257"}));
}

TEST_F(Readers, AnUplinkThatStaysInAnotherGroupGetsItsSetAndJumpBack) {
    // wan1 balances lan0 and lan1; its two memberships share lb_wan1 and
    // the jump from LOADB_PRE, which each membership's undo lines remove.
    db.tables["BalancingGroups"] = {group(1, "lan0"), group(2, "lan1")};
    db.tables["BalancingInterfaces"] = {uplink(1, "wan1", 60), uplink(1, "wan2", 40), uplink(2, "wan1", 100)};
    load("");
    ctl.commitToSystem(db, queue);
    const Lines putBack = {"ipset -exist create lb_wan1 hash:ip,port,ip timeout 120",
                           "iptables -t mangle -C LOADB_PRE -i wan1 -j WAN2LAN || "
                           "iptables -t mangle -I LOADB_PRE -i wan1 -j WAN2LAN"};
    const auto afterTeardownOf = [&](const std::string& table) {
        Lines lines = rec->take();
        auto flush = std::find(lines.begin(), lines.end(), "ip route flush table " + table + "; ipset destroy lb_wan1");
        EXPECT_NE(flush, lines.end()) << "the membership of table " << table << " went";
        return Lines(flush == lines.end() ? lines.end() : flush + 1, lines.end());
    };

    // Out of group 1: group 2's membership (table 258) stays.
    db.tables["BalancingInterfaces"].erase(db.tables["BalancingInterfaces"].begin());
    rec->take();
    EXPECT_TRUE(load("BalancingInterfaces"));
    EXPECT_EQ(afterTeardownOf("256"), putBack);

    // Group 2 goes: the membership that came back into group 1 stays.
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan1", 60));
    load("BalancingInterfaces");
    ctl.commitToSystem(db, queue);
    rec->take();
    db.tables["BalancingGroups"] = {group(1, "lan0")};
    load("BalancingGroups");
    EXPECT_EQ(afterTeardownOf("258"), putBack);
}
