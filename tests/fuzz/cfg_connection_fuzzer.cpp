// The configuration client's handling of what the service sends. The fuzz
// input is the byte stream of a service, cut into deliveries at each 0x1e
// byte. The client connects to a socket of this program; each delivery but
// the last is read with readAvailable() and its notifications are taken.
// After the last one the service shuts its side, and the client makes
// requests through SocketConfigAccess and directly, so that the rest is read
// while a request waits for its answer. Only the public interface is used,
// so the connection's internals may change freely.
//
// No crash, no exception, no sanitizer report, and an answer that carries an
// "id" carries the one of its request. A request never needs to wait for
// its timeout here; ctest's per-input limit is below it, so one that does is
// reported as a hang.

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/SocketConfigAccess.h"

using nlohmann::json;

namespace {

const char kDeliveryEnd = '\x1e';
// Long enough never to pass while the service's side is shut: reading up to
// the end of the stream never waits.
const int kRequestTimeoutMs = 5000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The service's listening socket, in a directory of its own that goes with
// the program.
class Service {
public:
    Service() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorin-fuzz-XXXXXX";
        std::vector<char> dir(pattern.begin(), pattern.end());
        dir.push_back('\0');
        FUZZ_CHECK(mkdtemp(dir.data()) != nullptr, std::string("mkdtemp: ") + strerror(errno));
        dir_ = dir.data();
        path_ = dir_ + "/cfg.socket";
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        FUZZ_CHECK(path_.size() < sizeof addr.sun_path, "socket path too long: " + path_);
        memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        FUZZ_CHECK(listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       listen(listener_, 4) == 0,
                   std::string("cannot listen on ") + path_ + ": " + strerror(errno));
    }
    ~Service() {
        ::close(listener_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }
    int accept() const { return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }

private:
    std::string dir_, path_;
    int listener_ = -1;
};

// Writes what the socket takes; the deliveries are far below its buffer.
void deliver(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += size_t(n);
    }
}

// The last line the client has sent since the previous call: its latest
// request.
std::string lastRequest(int fd) {
    std::string received;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) received.append(buf, size_t(n));
    if (!received.empty() && received.back() == '\n') received.pop_back();
    const size_t newline = received.rfind('\n');
    return newline == std::string::npos ? received : received.substr(newline + 1);
}

std::string text(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void takeNotifications(kor::cfg::CfgConnection& connection) {
    std::string table;
    while (connection.takeNotification(table)) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Service service;
    const std::string stream(reinterpret_cast<const char*>(data), size);

    kor::cfg::CfgConnection connection;
    FUZZ_CHECK(connection.open(service.path()), "cannot connect to " + service.path());
    Fd peer(service.accept());
    FUZZ_CHECK(peer.get() >= 0, std::string("accept: ") + strerror(errno));

    size_t start = 0, end;
    while ((end = stream.find(kDeliveryEnd, start)) != std::string::npos) {
        deliver(peer.get(), stream.substr(start, end - start));
        connection.readAvailable();
        takeNotifications(connection);
        start = end + 1;
    }
    deliver(peer.get(), stream.substr(start));
    shutdown(peer.get(), SHUT_WR);

    // One table is read from a snapshot (a dump), the others one request a
    // call.
    kor::cfg::SocketConfigAccess access(connection, kRequestTimeoutMs);
    access.setSnapshotTables({"BalancingGroups"});
    access.refreshSnapshot();
    unsigned count = 0;
    access.getEntryCount("BalancingInterfaces", count);
    access.getEntryCount("BalancingGroups", count);
    moduna::NameList names;
    moduna::ValueList values;
    access.readEntry("StatusNetifWatch", 0, names, values);
    access.readEntry("BalancingGroups", 0, names, values);
    names.push_back("PhysicalName");
    access.findEntry("InterfaceMapping", "LogicalName", "WAN1", names, values);
    access.startTransaction();
    access.endTransaction();

    lastRequest(peer.get());
    const json answer = connection.request({{"op", "count"}, {"table", "Balancing"}}, kRequestTimeoutMs);
    const json sent = json::parse(lastRequest(peer.get()), nullptr, false);
    if (answer.is_object() && answer.contains("id") && sent.is_object() && sent.contains("id"))
        FUZZ_CHECK(answer["id"] == sent["id"], "the answer " + text(answer) + " to " + text(sent));

    connection.waitNotification(0);
    takeNotifications(connection);
    return 0;
}
