// The configuration client against a fake service in a thread that
// misbehaves as each test scripts it: answers of the wrong shape
// (tests/data/unit-cfg-answers.txt), a connection lost in the middle of a
// read, a flood of notifications, a service run by another user. The lab
// tests run it against the real cfgserver.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kor/cfg/NotificationHandler.h"

namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

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
    FakeService(const std::string& path, Script script) : script_(std::move(script)), listen_(listenAt(path)) {}
    ~FakeService() {
        stop_ = true;
        thread_.join();
        for (int fd : {listen_, client_}) close(fd);
    }
    // Sends lines unasked, in one write, on the open connection.
    void push(const Lines& lines) {
        std::lock_guard<std::mutex> g(lock_);
        send(lines);
    }
    size_t count(const std::string& op) {
        std::lock_guard<std::mutex> g(lock_);
        return size_t(std::count(ops_.begin(), ops_.end(), op));
    }

private:
    void send(const Lines& lines) {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        (void)!write(client_, out.data(), out.size());
    }
    void run() {
        for (int n = -1; !stop_;) {
            pollfd fds[2] = {{listen_, POLLIN, 0}, {client_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            std::lock_guard<std::mutex> g(lock_);
            char buf[4096];
            ssize_t got = 0;
            if (fds[0].revents) {
                close(client_);
                client_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                ++n;
                in_.clear();
            } else if ((got = read(client_, buf, sizeof buf)) <= 0) {
                close(client_);
                client_ = -1;
            }
            in_.append(buf, size_t(std::max(got, ssize_t(0))));
            for (size_t nl; client_ >= 0 && (nl = in_.find('\n')) != std::string::npos;) {
                json req = json::parse(in_.substr(0, nl), nullptr, false);
                in_.erase(0, nl + 1);
                ops_.push_back(req.value("op", "?"));
                Lines out;
                for (std::string line : script_(req, n)) {
                    for (size_t at; (at = line.find("%ID%")) != std::string::npos;) line.replace(at, 4, req["id"].dump());
                    if (line != "close") out.push_back(line);
                    else client_ = (send(out), close(client_), -1);
                    if (client_ < 0) break;
                }
                if (client_ >= 0) send(out);
            }
        }
    }
    Script script_;
    int listen_, client_ = -1;
    std::string in_;
    std::mutex lock_;
    Lines ops_;
    std::atomic<bool> stop_{false};
    std::thread thread_{[this] { run(); }};
};

std::string answer(const json& fields) {
    std::string text = json(fields).dump();
    return "{\"id\":%ID%," + text.substr(1);
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
    void commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue&) override { calls.push_back("commit"); }
    Lines take() { return std::exchange(calls, {}); }
    Lines calls;
    bool changes = true;
};

class CfgClient : public ::testing::Test {
protected:
    void TearDown() override {
        service.reset();
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    // The answers of a sound service whose tables are `tables`, unless
    // badDump stands in for its dump answers.
    Lines sound(const json& req) {
        std::lock_guard<std::mutex> g(tablesLock);
        if (req.value("op", "") == "dump") return badDump.empty() ? Lines{answer({{"code", 0}, {"tables", tables}})} : badDump;
        return {answer({{"code", 0}})};
    }
    void setTables(const json& t, const Lines& bad = {}) {
        std::lock_guard<std::mutex> g(tablesLock);
        tables = t;
        badDump = bad;
    }
    bool runUntil(std::function<bool()> pred, int ms = 3000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred())
            if (std::chrono::steady_clock::now() > end) return false;
            else if (d.handleEvents(20)) h.process();
        return true;
    }
    std::string dir = [] { char t[] = "/tmp/kor-cc.XXXXXX"; return std::string(mkdtemp(t)); }();
    std::string path = dir + "/cfg.sock";
    std::mutex tablesLock;
    json tables = {{"A", {{{"x", 1}}}}, {"B", {{{"y", 1}}, {{"y", 2}}}}};
    Lines badDump;
    std::unique_ptr<FakeService> service;
    moduna::net::EventDispatcher d;
    kor::cfg::NotificationHandler h{path, d, "test", false, 2, 50, true, false};
    Recorder rec;
};

}  // namespace

TEST_F(CfgClient, MalformedAnswersAreRefusedAndNeverThrow) {
    std::vector<std::pair<std::string, Lines>> cases;  // "OP CODE", answer lines
    std::ifstream table(QUORIN_TEST_DATA "/unit-cfg-answers.txt");
    bool fresh = true;  // a blank line ends a case
    for (std::string line; std::getline(table, line);)
        if (line.empty()) fresh = true;
        else if (line[0] != '#' && fresh) fresh = (cases.emplace_back(line, Lines{}), false);
        else if (line[0] != '#') cases.back().second.push_back(line);
    ASSERT_GT(cases.size(), 15u);
    std::atomic<size_t> current{0};
    service = std::make_unique<FakeService>(path, [&](const json&, int) { return cases[current].second; });
    kor::cfg::CfgConnection conn;
    kor::cfg::SocketConfigAccess access(conn, 1000);
    unsigned n = 0;
    EXPECT_EQ(access.getEntryCount("T", n).value(), 3u) << "no service yet: retryable";
    ASSERT_TRUE(conn.open(path));
    for (; current < cases.size(); ++current) {
        const std::string& c = cases[current].first;
        SCOPED_TRACE(c + ": " + cases[current].second.back());
        n = 77;
        moduna::NameList names;
        moduna::ValueList values;
        const unsigned rc = std::stoul(c.substr(c.find(' ')));
        const bool count = c.rfind("count", 0) == 0;
        EXPECT_EQ((count ? access.getEntryCount("T", n) : access.readEntry("T", 0, names, values)).value(), rc);
        EXPECT_TRUE(conn.isOpen());
        EXPECT_EQ(count ? n : unsigned(values.size()), rc ? (count ? 77u : 0u) : (count ? 3u : 2u));
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
    EXPECT_EQ(service->count("subscribe"), 2u);

    // A read of the tables answered with a row that is no row: nobody is
    // called, the client starts over on a new connection until it gets them.
    setTables(tables, {answer({{"code", 0}, {"tables", {{"A", {{{"x", 1.5}}}}}}})});
    service->push({R"({"event":"changed","table":"A"})"});
    ASSERT_TRUE(runUntil([&] { return service->count("dump") >= 5; }));
    EXPECT_EQ(rec.take(), Lines{});
    setTables({{"A", json::array()}});
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "load B 0/0", "commit"}));

    // A burst on one table is loaded once; a load that reports no change is
    // not committed; more distinct tables than the queue holds count as a
    // change of every table.
    const size_t dumps = service->count("dump");
    service->push(Lines(50, R"({"event":"changed","table":"A"})"));
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 2; }));
    runUntil([] { return false; }, 100);
    EXPECT_EQ(rec.take(), (Lines{"load A 0/0", "commit"}));
    EXPECT_EQ(service->count("dump"), dumps + 1);
    rec.changes = false;
    service->push({R"({"event":"changed","table":"B"})"});
    ASSERT_TRUE(runUntil([&] { return !rec.calls.empty(); }));
    runUntil([] { return false; }, 100);
    EXPECT_EQ(rec.take(), Lines{"load B 0/0"});
    Lines flood;
    for (int i = 0; i < 300; ++i) flood.push_back(R"({"event":"changed","table":"T)" + std::to_string(i) + "\"}");
    rec.changes = true;
    service->push(flood);
    ASSERT_TRUE(runUntil([&] { return rec.calls.size() >= 3; }));
    runUntil([] { return false; }, 100);
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
    const size_t ends = service->count("end");
    EXPECT_EQ(access.startTransaction().value(), 3u);
    EXPECT_EQ(service->count("end"), ends + 1);
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
    runUntil([] { return false; }, 300);
    EXPECT_FALSE(h.isConnected());
    EXPECT_EQ(rec.take(), Lines{});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}
