// The configuration client against a real cfgserver: first load, change
// notifications, and reconnection after the service restarts with tables
// edited while it was away.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/NotificationHandler.h"
#include "kor/cfg/RecordingExecutor.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string binDir() {
    const char* env = getenv("QUORIN_BIN");
    return env ? env : "build/bin";
}

class Server {
public:
    Server(const std::string& socket, const std::string& store) : socket_(socket), store_(store) {}
    ~Server() { stop(); }
    void start() {
        pid_ = fork();
        if (pid_ == 0) {
            std::string bin = binDir() + "/cfgserver";
            execl(bin.c_str(), bin.c_str(), "-s", socket_.c_str(), "-f", store_.c_str(), (char*)nullptr);
            _exit(127);
        }
        // Wait until it answers.
        for (int i = 0; i < 200; ++i) {
            kor::cfg::CfgConnection c;
            if (c.open(socket_)) return;
            usleep(10000);
        }
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string socket_, store_;
    pid_t pid_ = -1;
};

class FakeHandler : public kor::cfg::IConfigHandler {
public:
    void getTableNames(moduna::NameList& names) override {
        names.add("Balancing");
        names.add("BalancingGroups");
    }
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& table) override {
        calls.push_back("load " + table);
        unsigned count = 0;
        access.getEntryCount("BalancingGroups", count);
        lastCount = count;
        return changes;
    }
    void commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue& queue) override {
        calls.push_back("commit");
        queue.addCommand("ip rule list", 0);
        queue.process();
    }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }
    std::vector<std::string> calls;
    unsigned lastCount = 0;
    bool changes = true;
};

class NotificationHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kor-nh.XXXXXX";
        dir = mkdtemp(tmpl);
        socket = dir + "/cfg.sock";
        store = dir + "/store.json";
    }
    void TearDown() override {
        unlink(store.c_str());
        rmdir(dir.c_str());
    }
    // Runs the loop as the daemon does until pred holds or the time is up.
    bool runUntil(moduna::net::EventDispatcher& d, kor::cfg::NotificationHandler& h, std::function<bool()> pred,
                  int ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (Clock::now() > end) return false;
            if (d.handleEvents(50)) h.process();
        }
        return true;
    }
    void change(const nlohmann::json& req) {
        kor::cfg::CfgConnection c;
        ASSERT_TRUE(c.open(socket));
        auto answer = c.request(req, 3000);
        ASSERT_EQ(answer.value("code", 99u), 0u) << answer.dump();
    }
    std::string dir, socket, store;
};

}  // namespace

TEST_F(NotificationHandlerTest, LoadsOnConnectFollowsChangesAndReloadsAfterRestart) {
    if (geteuid() != 0) GTEST_SKIP() << "changing tables needs root";
    Server server(socket, store);
    moduna::net::EventDispatcher d;
    auto rec = std::make_shared<kor::cfg::RecordingExecutor>();
    FakeHandler fake;
    kor::cfg::NotificationHandler h(socket, d, "test", false, 5, 100, true, false, rec);
    h.registerConfigHandler(fake);
    const std::vector<std::string> fullLoad{"load Balancing", "load BalancingGroups", "commit"};

    // No service yet: initialize returns at once and nothing is called.
    h.initialize();
    EXPECT_FALSE(h.isConnected());
    EXPECT_TRUE(fake.calls.empty());

    // Every followed table is loaded, then one commit.
    server.start();
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 3; }));
    EXPECT_EQ(fake.take(), fullLoad);
    EXPECT_EQ(rec->take(), std::vector<std::string>{"ip rule list"});

    // A followed table changes: one load of that table, then a commit; a
    // burst of changes that waits is loaded once.
    auto before = Clock::now();
    change({{"op", "add"}, {"table", "BalancingGroups"}, {"row", {{"Id", 1}}}});
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 2; }));
    auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
    EXPECT_LT(latency, 500);
    EXPECT_EQ(fake.take(), (std::vector<std::string>{"load BalancingGroups", "commit"}));
    EXPECT_EQ(fake.lastCount, 1u);
    {
        // The answer to the count comes after every notification is written.
        kor::cfg::CfgConnection c;
        ASSERT_TRUE(c.open(socket));
        for (int i = 0; i < 10; ++i) c.request({{"op", "add"}, {"table", "BalancingGroups"}, {"row", {{"Id", 2 + i}}}}, 3000);
        ASSERT_EQ(c.request({{"op", "count"}, {"table", "BalancingGroups"}}, 3000).value("count", 0u), 11u);
    }
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 2; }));
    runUntil(d, h, [] { return false; }, 200);
    EXPECT_EQ(fake.take(), (std::vector<std::string>{"load BalancingGroups", "commit"}));
    EXPECT_EQ(fake.lastCount, 11u);

    // A load that reports no change is not committed; an unfollowed table
    // calls nothing.
    fake.changes = false;
    change({{"op", "add"}, {"table", "Unrelated"}, {"row", {{"x", 1}}}});
    change({{"op", "add"}, {"table", "Balancing"}, {"row", {{"Enable", 1}}}});
    ASSERT_TRUE(runUntil(d, h, [&] { return !fake.calls.empty(); }));
    runUntil(d, h, [] { return false; }, 200);
    EXPECT_EQ(fake.take(), std::vector<std::string>{"load Balancing"});

    // The service restarts after a row was deleted while it was away: the
    // client reconnects, loads every table again and commits once, even
    // though no load reports a change.
    server.stop();
    ASSERT_TRUE(runUntil(d, h, [&] { return !h.isConnected(); }));
    {
        Server aside(dir + "/aside.sock", store);
        aside.start();
        kor::cfg::CfgConnection c;
        ASSERT_TRUE(c.open(dir + "/aside.sock"));
        ASSERT_EQ(c.request({{"op", "del"}, {"table", "BalancingGroups"}, {"index", 0}}, 3000).value("code", 99u), 0u);
    }
    server.start();
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 3; }));
    EXPECT_EQ(fake.take(), fullLoad);
    EXPECT_EQ(fake.lastCount, 10u) << "the edit made while the service was away";
}

TEST_F(NotificationHandlerTest, AccessWithoutServiceAnswersRetryableCode) {
    kor::cfg::CfgConnection conn;
    kor::cfg::SocketConfigAccess access(conn, 1000);
    unsigned count = 0;
    EXPECT_EQ(access.getEntryCount("Balancing", count).value(), 3u);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(access.startTransaction().retryable());
}
