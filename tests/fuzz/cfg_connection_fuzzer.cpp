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

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>


#include "fuzz_check.h"
#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/SocketConfigAccess.h"

namespace {

// The service's listening socket, named after this process in /tmp and
// removed when the program ends.
struct Service {
    std::string path = "/tmp/quorin-fuzz-" + std::to_string(getpid());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Service() {
        sockaddr_un addr{AF_UNIX, {}};
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);  // a path cut short fails to connect
        FUZZ_CHECK(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listener, 4) == 0,
                   "cannot listen on " + path);
    }
    ~Service() {
        close(listener);
        unlink(path.c_str());
    }
};

// The service's end of one connection.
struct Peer {
    int fd;
    ~Peer() { close(fd); }
    // The last line the client has sent: its latest request.
    std::string lastRequest() const {
        std::string received(1, '\n');
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) received.append(buf, size_t(n));
        if (received.back() == '\n') received.pop_back();
        return received.substr(received.rfind('\n') + 1);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Service service;
    const std::string stream(reinterpret_cast<const char*>(data), size);
    kor::cfg::CfgConnection connection;
    FUZZ_CHECK(connection.open(service.path), "cannot connect to " + service.path);
    const Peer peer{accept4(service.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)};
    FUZZ_CHECK(peer.fd >= 0, "accept failed on " + service.path);
    // Each delivery goes out with one send: the whole input is far below the
    // socket's buffer.
    size_t start = 0;
    for (size_t end; (end = stream.find('\x1e', start)) != std::string::npos; start = end + 1) {
        send(peer.fd, stream.data() + start, end - start, MSG_NOSIGNAL);
        connection.readAvailable();
        for (std::string table; connection.takeNotification(table);) continue;
    }
    send(peer.fd, stream.data() + start, stream.size() - start, MSG_NOSIGNAL);
    shutdown(peer.fd, SHUT_WR);

    // One table is read from a snapshot (a dump), the others one request a call.
    // The timeout is long enough never to pass while the service's side is
    // shut: reading up to the end of the stream never waits.
    kor::cfg::SocketConfigAccess access(connection, 5000);
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

    const auto answer = connection.request({{"op", "count"}, {"table", "Balancing"}}, 5000);
    const auto sent = nlohmann::json::parse(peer.lastRequest(), nullptr, false);
    FUZZ_CHECK(!answer.contains("id") || !sent.contains("id") || answer["id"] == sent["id"],
               "the answer's id is not that of its request " + sent.dump());
    connection.waitNotification(0);
    for (std::string table; connection.takeNotification(table);) continue;
    return 0;
}
