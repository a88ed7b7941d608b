// The configuration client against a fake service in a thread that
// misbehaves as each test scripts it: answers of the wrong shape
// (tests/data/unit-cfg-answers.txt), a connection lost in the middle of a
// read, tables that are no tables, a flood of notifications, a service run
// by another user. The lab tests run it against the real cfgserver.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "data_file.h"
#include "kor/cfg/NotificationHandler.h"

namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

std::string changed(const std::string& table) { return R"({"event":"changed","table":")" + table + "\"}"; }

// The fixture is both the service, in a thread, one connection at a time,
// and a handler of tables A, B and C that records each call with the row
// counts that it read at that moment.
class CfgClient : public ::testing::Test, public kor::cfg::IConfigHandler {
protected:
    // A service run as uid; the peer's credentials are those of the thread
    // that listens.
    explicit CfgClient(uid_t uid = 0) {
        sockaddr_un addr{AF_UNIX, {}};
        memcpy(addr.sun_path, path.data(), path.size());
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (!uid) listen(listener, 8);
        service = std::thread([this, uid] { serve(uid); });
    }
    ~CfgClient() override {
        shutdown(listener, SHUT_RDWR);  // ends accept()
        push({});                       // ends read()
        service.join();
        close(listener);
    }
    void serve(uid_t uid) {
        // Only this thread changes its user: not setresuid(), which changes every thread's.
        if (uid && (syscall(SYS_setresuid, uid, uid, uid) != 0 || listen(listener, 8) != 0)) return;
        for (std::string in; (client = accept(listener, nullptr, nullptr)) >= 0; close(client.exchange(-1)))
            for (char c; read(client, &c, 1) == 1;)
                if (c != '\n') in += c;
                else push(answer(json::parse(std::exchange(in, {}))));
    }
    // As a sound service of `tables` that lets one transaction begin at a
    // time, except for the next `spoil.n` requests of `spoil.op`: those get
    // `spoil.lines` ("%ID%": the request's id).
    Lines answer(const json& req) {
        std::lock_guard<std::mutex> g(lock);
        const std::string op = req.value("op", "?");
        json sound = {{"id", req["id"]}, {"code", op == "begin" && transactions++ ? 2 /* busy */ : 0}};
        if (op == "end") transactions = 0;
        if (op == "dump") sound["tables"] = tables;
        Lines lines = op == spoil.op && spoil.n > 0 && spoil.n-- ? spoil.lines : Lines{sound.dump()};
        for (auto& line : lines)
            for (size_t at; (at = line.find("%ID%")) != std::string::npos;) line.replace(at, 4, req["id"].dump());
        return lines;
    }
    void script(const json& t, const std::string& op = "", int n = 0, const Lines& lines = {}) {
        std::lock_guard<std::mutex> g(lock);
        tables = t;
        spoil = {op, n, lines};
    }
    // Sends lines in one write on the open connection; none: ends it.
    void push(const Lines& lines) {
        std::lock_guard<std::mutex> g(lock);
        std::string out;
        for (const auto& line : lines) out += line + "\n";
        send(client, out.data(), out.size(), MSG_NOSIGNAL);
        if (lines.empty()) shutdown(client, SHUT_RDWR);
    }
    // Sends lines; what the handler was called for until it was called n
    // times (at most 3 s), and 100 ms more.
    Lines notify(const Lines& lines, size_t n) {
        push(lines);
        using Clock = std::chrono::steady_clock;
        for (auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
            if (calls.size() >= n) end = std::min(end, Clock::now() + std::chrono::milliseconds(100));
            if (d.handleEvents(20)) h.process();
        }
        return std::exchange(calls, {});
    }

    void getTableNames(moduna::NameList& names) override { for (auto t : {"A", "B", "C"}) names.add(t); }
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& table) override {
        unsigned a = 99, b = 99;
        access.getEntryCount("A", a);
        access.getEntryCount("B", b);
        calls.push_back("load " + table + " " + std::to_string(a) + "/" + std::to_string(b));
        return changes;
    }
    void commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue&) override { calls.push_back("commit"); }

    // An abstract socket: nothing to remove afterwards.
    std::string path = std::string(1, '\0') + "kor-cc-" + std::to_string(getpid());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<int> client{-1};
    std::mutex lock;
    json tables = {{"A", {{{"x", 1}}}}, {"B", {{{"y", 1}}, {{"y", 2}}}}};
    int transactions = 0;  // begun and not ended
    // At first the first read of the tables loses its connection.
    struct Spoil { std::string op; int n; Lines lines; } spoil{"dump", 1, {}};
    moduna::net::EventDispatcher d;
    kor::cfg::NotificationHandler h{path, d, "test", false, 2, 50, true, false};
    Lines calls;
    bool changes = true;
    std::thread service;
};

struct CfgClientOfAnotherUser : CfgClient { CfgClientOfAnotherUser() : CfgClient(65534) {} };

}  // namespace

TEST_F(CfgClient, MalformedAnswersAreRefusedAndNeverThrow) {
    std::vector<std::pair<std::string, Lines>> cases;  // "OP CODE", answer lines
    for (const auto& line : dataLines("unit-cfg-answers.txt"))
        if (line.rfind("count ", 0) == 0 || line.rfind("read ", 0) == 0) cases.emplace_back(line, Lines{});
        else if (!cases.empty()) cases.back().second.push_back(line);
    ASSERT_GT(cases.size(), 15u);
    kor::cfg::CfgConnection conn;
    kor::cfg::SocketConfigAccess access(conn, 1000);
    unsigned n = 0;
    EXPECT_EQ(access.getEntryCount("T", n).value(), 3u) << "not connected: retryable";
    ASSERT_TRUE(conn.open(path));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + ": " + c.second.back());
        const bool count = c.first.rfind("count", 0) == 0;
        script(tables, count ? "count" : "read", 1, c.second);
        n = 77;
        moduna::NameList names;
        moduna::ValueList values;
        const unsigned rc = std::stoul(c.first.substr(c.first.find(' ')));
        EXPECT_EQ((count ? access.getEntryCount("T", n) : access.readEntry("T", 0, names, values)).value(), rc);
        EXPECT_TRUE(conn.isOpen());
        EXPECT_EQ(count ? n : unsigned(values.size()), rc ? (count ? 77u : 0u) : (count ? 3u : 2u));
    }
    EXPECT_FALSE(conn.hasNotifications());
}

TEST_F(CfgClient, HandlersAndTransactionsReadWholeSnapshotsOrNothing) {
    h.registerConfigHandler(*this);
    h.initialize();
    // The first read of the tables lost its connection: read again at once.
    EXPECT_EQ(std::exchange(calls, {}), (Lines{"load A 1/2", "load B 1/2", "load C 1/2", "commit"}));

    // Tables answered with a row that is no row: nobody is called, the client
    // starts over on a new connection until it gets them.
    script({{"A", json::array()}}, "dump", 3, {R"({"id":%ID%,"code":0,"tables":{"A":[{"x":1.5}]}})"});
    EXPECT_EQ(notify({changed("A")}, 4), (Lines{"load A 0/0", "load B 0/0", "load C 0/0", "commit"}));

    // A burst is loaded once, each table in it; a load that reports no change
    // is not committed; more distinct tables than the queue holds count as a
    // change of every table.
    Lines burst(50, changed("A"));
    burst.push_back(changed("B"));
    EXPECT_EQ(notify(burst, 3), (Lines{"load A 0/0", "load B 0/0", "commit"}));
    changes = false;
    EXPECT_EQ(notify({changed("B")}, 1), Lines{"load B 0/0"});
    Lines flood;
    for (int i = 0; i < 300; ++i) flood.push_back(changed("T" + std::to_string(i)));
    EXPECT_EQ(notify(flood, 4), (Lines{"load A 0/0", "load B 0/0", "load C 0/0", "commit"}));

    // A transaction reads a fresh snapshot. Without one it is ended and the
    // caller told to retry; reads keep the last snapshot.
    script({{"A", {{{"x", 1}}, {{"x", 2}}, {{"x", 3}}}}});
    unsigned a = 0;
    ASSERT_EQ(h.access().startTransaction().value(), 0u);
    EXPECT_EQ(h.access().getEntryCount("A", a).value(), 0u);
    EXPECT_EQ(a, 3u) << "read inside the transaction";
    EXPECT_EQ(h.access().endTransaction().value(), 0u);
    script({{"A", json::array()}}, "dump", 1, {R"({"id":%ID%,"code":0,"tables":{"B":"rows"}})"});
    EXPECT_EQ(h.access().startTransaction().value(), 3u);
    EXPECT_EQ(h.access().getEntryCount("A", a).value(), 0u);
    EXPECT_EQ(a, 3u);
    EXPECT_EQ(h.access().startTransaction().value(), 0u) << "the transaction without a snapshot was ended";
}

TEST_F(CfgClientOfAnotherUser, IsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user";
    kor::cfg::CfgConnection conn;
    for (int i = 0; i < 200 && (conn.open(path) || errno != EPERM); ++i) usleep(10000);
    EXPECT_NE(conn.error().find("uid 65534"), std::string::npos) << conn.error();
    h.registerConfigHandler(*this);
    h.initialize();
    EXPECT_EQ(notify({}, 0), Lines{});
    EXPECT_FALSE(h.isConnected());
}
