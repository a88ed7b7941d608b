// The configuration client against a real cfgserver: first load, change
// notifications, and reconnection after the service restarts.

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

struct Call {
    std::string what;   // "load" or "commit"
    std::string table;  // load only
};

class FakeHandler : public kor::cfg::IConfigHandler {
public:
    void getTableNames(moduna::NameList& names) override {
        names.add("Balancing");
        names.add("BalancingGroups");
    }
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& table) override {
        EXPECT_FALSE(inside) << "callbacks overlap";
        calls.push_back({"load", table});
        unsigned count = 0;
        access.getEntryCount("BalancingGroups", count);
        lastCount = count;
        return changes;
    }
    void commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue& queue) override {
        calls.push_back({"commit", ""});
        queue.addCommand("ip rule list", 0);
        queue.process();
    }
    std::vector<Call> calls;
    unsigned lastCount = 0;
    bool changes = true;
    bool inside = false;
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

    // No service yet: initialize returns at once and nothing is called.
    h.initialize();
    EXPECT_FALSE(h.isConnected());
    EXPECT_TRUE(fake.calls.empty());

    server.start();
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 2; }));
    EXPECT_EQ(fake.calls[0].what, "load");
    EXPECT_EQ(fake.calls[0].table, "");
    EXPECT_EQ(fake.calls[1].what, "commit");
    EXPECT_EQ(rec->take(), std::vector<std::string>{"ip rule list"});

    // A followed table changes: one load of that table, then a commit.
    fake.calls.clear();
    auto before = Clock::now();
    change({{"op", "add"}, {"table", "BalancingGroups"}, {"row", {{"Id", 1}}}});
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 2; }));
    auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
    EXPECT_LT(latency, 500);
    EXPECT_EQ(fake.calls[0].table, "BalancingGroups");
    EXPECT_EQ(fake.calls[1].what, "commit");
    EXPECT_EQ(fake.lastCount, 1u);

    // A load that reports no change is not committed; an unfollowed table
    // calls nothing.
    fake.calls.clear();
    fake.changes = false;
    change({{"op", "add"}, {"table", "Unrelated"}, {"row", {{"x", 1}}}});
    change({{"op", "add"}, {"table", "Balancing"}, {"row", {{"Enable", 1}}}});
    ASSERT_TRUE(runUntil(d, h, [&] { return !fake.calls.empty(); }));
    runUntil(d, h, [] { return false; }, 200);
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].table, "Balancing");

    // The service restarts: the client reconnects and loads everything again.
    fake.calls.clear();
    fake.changes = true;
    server.stop();
    ASSERT_TRUE(runUntil(d, h, [&] { return !h.isConnected(); }));
    server.start();
    ASSERT_TRUE(runUntil(d, h, [&] { return fake.calls.size() >= 2; }));
    EXPECT_EQ(fake.calls[0].table, "");
    EXPECT_EQ(fake.calls[1].what, "commit");
    EXPECT_EQ(fake.lastCount, 1u) << "the store kept the row across the restart";
}

TEST_F(NotificationHandlerTest, AccessWithoutServiceAnswersRetryableCode) {
    kor::cfg::CfgConnection conn;
    kor::cfg::SocketConfigAccess access(conn, 1000);
    unsigned count = 0;
    EXPECT_EQ(access.getEntryCount("Balancing", count).value(), 3u);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(access.startTransaction().retryable());
}
