// Copying main-table routes into the member tables: the route signals'
// filter, the full copy of the route query, and the lines every group
// writes for its members.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipv4route-dbus.h"
#include "kor/cfg/RecordingExecutor.h"
#include "kor/sysloglevel.h"
#include "model_fixtures.h"
#include "quorin.h"

using namespace quorin_test;
using kor::quorin::IPv4RouteDBusProxy;
using kor::quorin::IPv4RouteInfo;

namespace {

// Two groups of two members each: wan1 and wan2 (tables 256, 257) balance
// lan0, wan3 and wan4 (258, 259) balance lan1.
class Routes : public ::testing::Test {
protected:
    Routes() : rec(std::make_shared<kor::cfg::RecordingExecutor>()), queue(rec) {}
    void SetUp() override {
        db.tables["BalancingGroups"] = {group(1, "lan0"), group(2, "lan1")};
        db.tables["BalancingInterfaces"] = {uplink(1, "wan1", 60), uplink(1, "wan2", 40), uplink(2, "wan3", 50),
                                            uplink(2, "wan4", 50)};
        for (int n = 1; n <= 5; ++n)
            db.tables["StatusNetifWatch"].push_back(status("wan" + std::to_string(n), "10.0." + std::to_string(n) + ".2"));
        ctl.loadFromConfig(db, "");
        ctl.commitToSystem(db, queue);
        rec->take();
    }
    // Every line of one route for the tables given, in that order.
    static Lines routeLines(const std::string& op, const std::string& route, std::vector<int> tables) {
        Lines out;
        for (int t : tables) out.push_back("ip route " + op + " table " + std::to_string(t) + " " + route);
        return out;
    }
    std::string logOf(const std::function<void()>& action) {
        KOR_Sysloglevel_changeTracelevel("quorin", KOR_TRACE_DEBUG | KOR_TRACE_TRACE);
        ::testing::internal::CaptureStderr();
        action();
        const std::string log = ::testing::internal::GetCapturedStderr();
        KOR_Sysloglevel_changeTracelevel("quorin", 0);
        return log;
    }
    MemoryAccess db;
    std::shared_ptr<kor::cfg::RecordingExecutor> rec;
    kor::cfg::ActionQueue queue;
    kor::quorin::quorin ctl;
    const int module = KOR_Sysloglevel_registerModul("quorin");
};

}  // namespace

TEST_F(Routes, EveryMemberOfEveryGroupGetsOneLineAndEachGroupProcessesOnce) {
    ctl.AddRoute("192.168.1.0", 24, "0.0.0.0", "br0");
    EXPECT_EQ(rec->lines, routeLines("add", "192.168.1.0/24 dev br0", {256, 257, 258, 259}));
    EXPECT_EQ(rec->batches, (std::vector<size_t>{2, 2}));
    rec->take();

    ctl.DelRoute("10.8.0.0", 16, "192.168.1.254", "");
    EXPECT_EQ(rec->take(), routeLines("del", "10.8.0.0/16 via 192.168.1.254", {256, 257, 258, 259}));
    // No gateway (either form) and no device: the line ends with the prefix.
    ctl.AddRoute("172.16.0.0", 12, "", "");
    EXPECT_EQ(rec->take(), routeLines("add", "172.16.0.0/12", {256, 257, 258, 259}));
    // Texts the lines could not carry as they come: nothing is written.
    ctl.AddRoute("10.9.0.0", 24, "0.0.0.0", "a|b");
    ctl.AddRoute("10.9.0.0", 24, "all", "");
    ctl.DelRoute("default", 0, "", "wan1");
    EXPECT_EQ(rec->take(), Lines{});
    // The same route twice is written twice.
    ctl.AddRoute("10.9.0.0", 24, "10.0.1.1", "wan1");
    ctl.AddRoute("10.9.0.0", 24, "10.0.1.1", "wan1");
    EXPECT_EQ(rec->take().size(), 8u);
}

TEST_F(Routes, DownMembersKeepReceivingRoutesMembersWithoutATableDoNot) {
    // wan2 goes down and stays down (the re-read cannot start).
    db.startAnswers = {1};
    ctl.removedAddressEvent("wan2", "10.0.2.2");
    // wan5 is read but its group is not committed yet: no table number.
    db.tables["BalancingInterfaces"].push_back(uplink(1, "wan5", 10));
    ctl.loadFromConfig(db, "BalancingInterfaces");
    rec->take();

    ctl.AddRoute("192.168.7.0", 24, "0.0.0.0", "lan0");
    EXPECT_EQ(rec->lines, routeLines("add", "192.168.7.0/24 dev lan0", {256, 257, 258, 259}));
    EXPECT_EQ(rec->batches, (std::vector<size_t>{2, 2}));
}

TEST(RoutesWithoutGroups, NothingIsWritten) {
    auto rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue(rec);
    MemoryAccess db;
    kor::quorin::quorin ctl;
    ctl.commitToSystem(db, queue);
    rec->take();
    ctl.AddRoute("192.168.1.0", 24, "0.0.0.0", "br0");
    ctl.DelRoute("192.168.1.0", 24, "0.0.0.0", "br0");
    EXPECT_TRUE(rec->lines.empty());
}

TEST_F(Routes, RouteSignalsMirrorOnlyNonDefaultRoutesOfTheMainTable) {
    struct Case {
        bool added;
        std::string destination;
        uint8_t prefix;
        uint32_t table;
        Lines expected;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {true, "10.0.0.0", 8, 254, routeLines("add", "10.0.0.0/8 via 10.0.1.1 dev wan1", {256, 257, 258, 259}),
         "will apply route from main table to sub tables"},
        {false, "10.0.0.0", 8, 254, routeLines("del", "10.0.0.0/8 via 10.0.1.1 dev wan1", {256, 257, 258, 259}),
         "will delete route from sub tables because deleted from main table"},
        // The byte is unsigned.
        {true, "10.0.0.0", 255, 254, routeLines("add", "10.0.0.0/255 via 10.0.1.1 dev wan1", {256, 257, 258, 259}),
         "will apply route from main table to sub tables"},
        {true, "10.0.0.0", 8, 253, {}, "will ignore Dbus message because main table is not affected"},
        // The table is looked at first, whatever the destination.
        {false, "0.0.0.0", 0, 256, {}, "will ignore Dbus message because main table is not affected"},
        {false, "0.0.0.0", 0, 254, {}, "will ignore Dbus message because default route in main table was affected"},
        {true, "0.0.0.0", 8, 254, {}, "will ignore Dbus message because default route in main table was affected"},
    };
    for (const Case& c : cases) {
        const std::string log = logOf([&] {
            IPv4RouteDBusProxy::mirrorRoute(ctl, module, c.added, c.destination, c.prefix, "10.0.1.1", "wan1",
                                            c.table);
        });
        const std::string what = c.destination + "/" + std::to_string(c.prefix) + " table " + std::to_string(c.table);
        EXPECT_EQ(rec->take(), c.expected) << what;
        EXPECT_NE(log.find(c.added ? "NewIPv4Route" : "RemovedIPv4Route"), std::string::npos) << what;
        EXPECT_NE(log.find(" ipv4route-dbus:"), std::string::npos) << what;
        EXPECT_NE(log.find(c.logged + "\n"), std::string::npos) << what << "\n" << log;
    }
}

TEST_F(Routes, TheFullCopySkipsTheDefaultRouteAndReadsThePrefixAsANumber) {
    const std::vector<IPv4RouteInfo> reply = {{"0.0.0.0", "0", "10.0.1.1", "dhcp", "wan1"},
                                              {"192.168.1.0", "24", "0.0.0.0", "kernel", "lan0"},
                                              {"192.168.2.0", "x24", "0.0.0.0", "kernel", "lan0"}};
    const std::string log = logOf([&] { kor::quorin::copyMainTableRoutes(ctl, module, reply); });
    EXPECT_EQ(rec->take(), routeLines("add", "192.168.1.0/24 dev lan0", {256, 257, 258, 259}) +
                               routeLines("add", "192.168.2.0/0 dev lan0", {256, 257, 258, 259}));
    const size_t ignored = log.find(" main:");
    const size_t ignoreLine = log.find("IGNORE route 0.0.0.0/0 via 10.0.1.1 on dev wan1\n");
    const size_t found = log.find("Found route 192.168.1.0/24 via 0.0.0.0 on dev lan0 and will apply them to system\n");
    EXPECT_NE(ignored, std::string::npos) << log;
    ASSERT_NE(ignoreLine, std::string::npos) << log;
    ASSERT_NE(found, std::string::npos) << log;
    EXPECT_LT(ignoreLine, found);
    // The Found line follows the lines that copied the route.
    EXPECT_LT(log.find("will add route for destination 192.168.1.0 to all sub tables"), found);

    kor::quorin::copyMainTableRoutes(ctl, module, {});
    EXPECT_TRUE(rec->lines.empty());
}
