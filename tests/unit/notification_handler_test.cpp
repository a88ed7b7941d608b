// The configuration client against a real cfgserver (first load, change
// notifications, reconnection after a restart with tables edited while the
// service was away) and against a fake service in a thread that misbehaves
// as each test scripts it: answers of the wrong shape, a connection lost in
// the middle of a read, a flood of notifications, a service run by another
// user.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kor/cfg/NotificationHandler.h"
#include "kor/cfg/RecordingExecutor.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

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

int listenAt(const std::string& path, bool listenNow = true) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || (listenNow && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Serves one connection at a time. The script gives the lines that answer a
// request on the n-th connection (from 0): "%ID%" stands for the request's
// id, and a line "close" ends the connection there.
class FakeService {
public:
    using Script = std::function<Lines(const json& req, int connection)>;

    FakeService(const std::string& path, Script script) : script_(std::move(script)) {
        listen_ = listenAt(path);
        if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~FakeService() {
        wake('s');
        thread_.join();
        for (int fd : {listen_, wake_[0], wake_[1]}) close(fd);
    }
    // Sends lines unasked, in one write, on the open connection.
    void push(const Lines& lines) {
        {
            std::lock_guard<std::mutex> g(lock_);
            pushed_ = lines;
        }
        wake('p');
    }
    // The ops received so far, "op@connection".
    Lines ops() {
        std::lock_guard<std::mutex> g(lock_);
        return ops_;
    }

private:
    void wake(char c) { (void)!write(wake_[1], &c, 1); }
    static void send(int fd, const Lines& lines) {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        (void)!write(fd, out.data(), out.size());
    }
    void run() {
        int client = -1, n = -1;
        std::string in;
        for (;;) {
            pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}, {client, POLLIN, 0}};
            poll(fds, client >= 0 ? 3 : 2, -1);
            if (fds[0].revents) {
                char c = 's';
                (void)!read(wake_[0], &c, 1);
                if (c == 's') break;
                std::lock_guard<std::mutex> g(lock_);
                if (client >= 0) send(client, pushed_);
            }
            if (fds[1].revents) {
                if (client >= 0) close(client);
                client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                ++n;
                in.clear();
            }
            if (client < 0 || !(fds[2].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t got = read(client, buf, sizeof buf);
            if (got <= 0) {
                close(client);
                client = -1;
                continue;
            }
            in.append(buf, size_t(got));
            for (size_t nl; client >= 0 && (nl = in.find('\n')) != std::string::npos;) {
                json req = json::parse(in.substr(0, nl), nullptr, false);
                in.erase(0, nl + 1);
                {
                    std::lock_guard<std::mutex> g(lock_);
                    ops_.push_back(req.value("op", "?") + "@" + std::to_string(n));
                }
                Lines out;
                for (std::string line : script_(req, n)) {
                    if (line == "close") {
                        send(client, out);
                        close(client);
                        client = -1;
                        break;
                    }
                    for (size_t at; (at = line.find("%ID%")) != std::string::npos;) line.replace(at, 4, req["id"].dump());
                    out.push_back(line);
                }
                if (client >= 0) send(client, out);
            }
        }
        if (client >= 0) close(client);
    }

    Script script_;
    int listen_ = -1;
    int wake_[2];
    std::mutex lock_;
    Lines pushed_, ops_;
    std::thread thread_;
};

std::string answer(const json& fields) {
    json a = fields;
    a["id"] = "%ID%";
    std::string text = a.dump();
    size_t at = text.find("\"%ID%\"");
    return text.replace(at, 6, "%ID%");
}

// A handler of tables A and B that records each call with the row counts
// that it read at that moment.
class Recorder : public kor::cfg::IConfigHandler {
public:
    void getTableNames(moduna::NameList& names) override {
        names.add("A");
        names.add("B");
    }
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& table) override {
        unsigned a = 99, b = 99;
        access.getEntryCount("A", a);
        access.getEntryCount("B", b);
        calls.push_back("load " + table + " " + std::to_string(a) + "/" + std::to_string(b));
        return changes;
    }
    void commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue& queue) override {
        calls.push_back("commit");
        queue.addCommand("ip rule list", 0);
        queue.process();
    }
    Lines take() {
        Lines out;
        out.swap(calls);
        return out;
    }
    Lines calls;
    bool changes = true;
};

std::string makeDir() {
    char tmpl[] = "/tmp/kor-cc.XXXXXX";
    return mkdtemp(tmpl);
}

class CfgClient : public ::testing::Test {
protected:
    void TearDown() override {
        unlink(path.c_str());
        unlink(store.c_str());
        rmdir(dir.c_str());
    }
    // The answers of a sound service whose tables are `tables`, unless
    // badDump stands in for its dump answers.
    Lines sound(const json& req) {
        std::string op = req.value("op", "");
        std::lock_guard<std::mutex> g(tablesLock);
        if (op == "dump" && !badDump.empty()) return badDump;
        if (op == "dump") return {answer({{"code", 0}, {"tables", tables}})};
        return {answer({{"code", 0}})};
    }
    void setTables(const json& t, const Lines& bad = {}) {
        std::lock_guard<std::mutex> g(tablesLock);
        tables = t;
        badDump = bad;
    }
    bool runUntil(std::function<bool()> pred, int ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (Clock::now() > end) return false;
            if (d.handleEvents(20)) h.process();
        }
        return true;
    }
    void runFor(int ms) { runUntil([] { return false; }, ms); }
    size_t count(const std::string& op) {
        size_t n = 0;
        for (const auto& o : service->ops()) n += o.compare(0, op.size() + 1, op + "@") == 0;
        return n;
    }

    // A change through a connection of its own; the answer to the count
    // that follows comes after every notification of it is written.
    void change(const json& req) {
        kor::cfg::CfgConnection c;
        ASSERT_TRUE(c.open(path));
        ASSERT_EQ(c.request(req, 3000).value("code", 99u), 0u);
        ASSERT_EQ(c.request({{"op", "count"}, {"table", "A"}}, 3000).value("code", 99u), 0u);
    }

    std::string dir = makeDir(), path = dir + "/cfg.sock", store = dir + "/store.json";
    std::mutex tablesLock;
    json tables = {{"A", {{{"x", 1}}}}, {"B", {{{"y", 1}}, {{"y", 2}}}}};
    Lines badDump;
    std::unique_ptr<FakeService> service;
    moduna::net::EventDispatcher d;
    std::shared_ptr<kor::cfg::RecordingExecutor> commands = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::NotificationHandler h{path, d, "test", false, 2, 50, true, false, commands};
    Recorder rec;
};

}  // namespace

TEST_F(CfgClient, LoadsOnConnectFollowsChangesAndReloadsAfterRestart) {
    if (geteuid() != 0) GTEST_SKIP() << "changing tables needs root";
    Server server(path, store);
    h.registerConfigHandler(rec);
    auto add = [](const char* table, int x) { return json{{"op", "add"}, {"table", table}, {"row", {{"x", x}}}}; };

    // No service yet: initialize returns at once and nothing is called.
    h.initialize();
    EXPECT_FALSE(h.isConnected());
    EXPECT_EQ(rec.take(), Lines{});

    // Every followed table is loaded, then one commit.
    server.start();
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "load B 0/0", "commit"}));
    EXPECT_EQ(commands->take(), Lines{"ip rule list"});

    // A followed table changes: one load of that table, then a commit,
    // within milliseconds; a burst that waits is loaded once.
    auto before = Clock::now();
    change(add("B", 1));
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 2; }));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count(), 500);
    EXPECT_EQ(rec.take(), (Lines{"load B 0/1", "commit"}));
    for (int i = 2; i <= 11; ++i) change(add("B", i));
    runFor(200);
    EXPECT_EQ(rec.take(), (Lines{"load B 0/11", "commit"}));

    // A load that reports no change is not committed; an unfollowed table
    // calls nothing.
    rec.changes = false;
    change(add("Unrelated", 1));
    change(add("A", 1));
    runFor(200);
    EXPECT_EQ(rec.take(), Lines{"load A 1/11"});

    // The service restarts after a row was deleted while it was away: the
    // client reconnects, loads every table again and commits once, though
    // no load reports a change.
    server.stop();
    ASSERT_TRUE(runUntil([&] { return !h.isConnected(); }));
    {
        Server aside(dir + "/aside.sock", store);
        aside.start();
        kor::cfg::CfgConnection c;
        ASSERT_TRUE(c.open(dir + "/aside.sock"));
        ASSERT_EQ(c.request({{"op", "del"}, {"table", "B"}, {"index", 0}}, 3000).value("code", 99u), 0u);
    }
    server.start();
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    EXPECT_EQ(rec.take(), (Lines{"load A 1/10", "load B 1/10", "commit"}));
}

TEST_F(CfgClient, MalformedAnswersAreRefusedAndNeverThrow) {
    struct Case {
        const char* op;
        Lines lines;
        unsigned rc;
    };
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    const Case cases[] = {
        {"count", {answer({{"code", 0}, {"count", "7"}})}, 1},
        {"count", {answer({{"code", 0}, {"count", -1}})}, 1},
        {"count", {answer({{"code", 0}, {"count", 4294967296LL}})}, 1},
        {"count", {answer({{"code", 0}})}, 1},
        {"count", {answer({{"code", "0"}, {"count", 1}})}, 1},
        {"count", {answer({{"code", 256}, {"count", 1}})}, 1},
        {"count", {answer({{"code", 0}, {"count", 1}, {"error", {1}}})}, 1},
        // Lines that are no answer to it are dropped; the answer still counts.
        {"count",
         {"not json", deep, "{\"event\":5}", "{\"event\":\"changed\",\"table\":7}", "{\"id\":\"x\",\"code\":0}",
          "{\"id\":999999,\"code\":0,\"count\":9}", answer({{"code", 0}, {"count", 3}})},
         0},
        {"read", {answer({{"code", 0}, {"row", {{"a", 1.5}}}})}, 1},
        {"read", {answer({{"code", 0}, {"row", {1, 2}}})}, 1},
        {"read", {answer({{"code", 0}, {"row", {{"a", {{"b", 1}}}}}})}, 1},
        {"read", {answer({{"code", 0}, {"row", {{"", 1}}}})}, 1},
        {"read", {answer({{"code", 0}, {"row", {{"a", 18446744073709551615ULL}}}})}, 1},
        {"read", {answer({{"code", 0}, {"row", {{"a", nullptr}}}})}, 1},
        {"read", {answer({{"code", 4}})}, 4},
        {"read", {answer({{"code", 0}, {"row", {{"a", -5}, {"b", "x"}}}})}, 0},
    };
    std::atomic<const Case*> current{nullptr};
    service = std::make_unique<FakeService>(path, [&](const json&, int) { return current.load()->lines; });
    kor::cfg::CfgConnection conn;
    ASSERT_TRUE(conn.open(path));
    kor::cfg::SocketConfigAccess access(conn, 1000);
    for (const Case& c : cases) {
        current = &c;
        SCOPED_TRACE(c.lines.back());
        unsigned n = 77;
        moduna::NameList names;
        moduna::ValueList values;
        auto rc = std::string(c.op) == "count" ? access.getEntryCount("T", n) : access.readEntry("T", 0, names, values);
        EXPECT_EQ(rc.value(), c.rc);
        EXPECT_TRUE(conn.isOpen());
        if (std::string(c.op) == "count") EXPECT_EQ(n, c.rc == 0 ? 3u : 77u);
        else EXPECT_EQ(values.size(), c.rc == 0 ? 2u : 0u);
    }
    EXPECT_FALSE(conn.hasNotifications());
}

TEST_F(CfgClient, HandlersSeeWholeSnapshotsOrNothing) {
    service = std::make_unique<FakeService>(path, [&](const json& req, int n) -> Lines {
        // The first read of the tables loses its connection.
        if (req.value("op", "") == "dump" && n == 0) return {"close"};
        return sound(req);
    });
    h.registerConfigHandler(rec);
    h.initialize();
    EXPECT_EQ(rec.take(), (Lines{"load A 1/2", "load B 1/2", "commit"})) << "read again on a new connection";
    EXPECT_EQ(count("dump"), 2u);
    EXPECT_EQ(count("subscribe"), 2u);

    // A read of the tables answered with a row that is no row: nobody is
    // called, the client starts over on a new connection until it gets them.
    setTables(tables, {answer({{"code", 0}, {"tables", {{"A", {{{"x", 1.5}}}}}}})});
    service->push({R"({"event":"changed","table":"A"})"});
    ASSERT_TRUE(runUntil([&] { return count("dump") >= 5; }));
    EXPECT_EQ(rec.take(), Lines{});
    setTables({{"A", json::array()}});
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "load B 0/0", "commit"}));

    // A burst on one table is loaded once; more distinct tables than the
    // queue holds count as a change of every table.
    size_t dumps = count("dump");
    service->push(Lines(50, R"({"event":"changed","table":"A"})"));
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 2; }));
    runFor(100);
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "commit"}));
    EXPECT_EQ(count("dump"), dumps + 1);
    Lines flood;
    for (int i = 0; i < 300; ++i) flood.push_back(R"({"event":"changed","table":"T)" + std::to_string(i) + "\"}");
    service->push(flood);
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    runFor(100);
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "load B 0/0", "commit"}));
}

TEST_F(CfgClient, TransactionReadsAFreshSnapshotOrFails) {
    service = std::make_unique<FakeService>(path, [&](const json& req, int) { return sound(req); });
    h.registerConfigHandler(rec);
    h.initialize();
    ASSERT_EQ(rec.take().size(), 3u);
    kor::cfg::IConfigAccess& access = h.access();

    setTables({{"A", {{{"x", 1}}, {{"x", 2}}, {{"x", 3}}}}});
    unsigned a = 0;
    ASSERT_EQ(access.startTransaction().value(), 0u);
    EXPECT_EQ(access.getEntryCount("A", a).value(), 0u);
    EXPECT_EQ(a, 3u) << "read inside the transaction";
    EXPECT_EQ(access.endTransaction().value(), 0u);

    // No snapshot inside the transaction: it is ended and the caller told to
    // retry; reads keep the last snapshot.
    setTables({{"A", json::array()}}, {answer({{"code", 0}, {"tables", {{"B", "rows"}}}})});
    size_t ends = count("end");
    EXPECT_EQ(access.startTransaction().value(), 3u);
    EXPECT_EQ(count("end"), ends + 1);
    EXPECT_EQ(access.getEntryCount("A", a).value(), 0u);
    EXPECT_EQ(a, 3u);
}

TEST_F(CfgClient, ServiceOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user";
    int fd = listenAt(path, false);
    ASSERT_GE(fd, 0);
    pid_t child = fork();
    if (child == 0) {
        // The peer's credentials are those of the process that listens.
        if (setresuid(65534, 65534, 65534) != 0 || listen(fd, 8) != 0) _exit(1);
        pause();
        _exit(0);
    }
    close(fd);
    kor::cfg::CfgConnection conn;
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i, usleep(10000)) refused = !conn.open(path) && errno == EPERM;
    EXPECT_TRUE(refused);
    EXPECT_NE(conn.error().find("uid 65534"), std::string::npos) << conn.error();

    h.registerConfigHandler(rec);
    h.initialize();
    runFor(300);
    EXPECT_FALSE(h.isConnected());
    EXPECT_EQ(rec.take(), Lines{});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST(CfgClientAlone, AccessWithoutServiceAnswersRetryableCode) {
    kor::cfg::CfgConnection conn;
    kor::cfg::SocketConfigAccess access(conn, 1000);
    unsigned count = 0;
    EXPECT_EQ(access.getEntryCount("Balancing", count).value(), 3u);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(access.startTransaction().retryable());
}
