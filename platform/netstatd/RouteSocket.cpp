#include "RouteSocket.h"

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "kor/sysloglevel.h"

namespace kor {
namespace netstatd {

namespace {

// The kernel fills a dump datagram up to the reader's buffer size, 32 KiB
// at the most; single events are far smaller.
const size_t kBufferSize = 32768;
// A dump that a concurrent change interrupted is made again, a few times.
const int kDumpAttempts = 4;

KOR_Modul logModule() {
    static const KOR_Modul modul = KOR_Sysloglevel_registerModul("netstatd");
    return modul;
}

void logFailure(const char* what) {
    KOR_Sysloglevel_error(logModule(), "netstatd", __LINE__, VAStr("netlink: %s: %s", what, strerror(errno)));
}

struct Collected {
    std::vector<NetlinkEvent>* events;
    bool interrupted;
};

void noteInterruption(const nlmsghdr* message, Collected& collected) {
    if (message->nlmsg_flags & NLM_F_DUMP_INTR) collected.interrupted = true;
}

int collectMessage(const nlmsghdr* message, void* data) {
    auto& collected = *static_cast<Collected*>(data);
    noteInterruption(message, collected);
    NetlinkEvent event;
    if (translate(message, event)) collected.events->push_back(std::move(event));
    return MNL_CB_OK;
}

// The end of a dump may carry the interruption mark too.
int dumpDone(const nlmsghdr* message, void* data) {
    noteInterruption(message, *static_cast<Collected*>(data));
    return MNL_CB_STOP;
}

}  // namespace

void RouteSocket::Closer::operator()(mnl_socket* socket) const { mnl_socket_close(socket); }

RouteSocket::RouteSocket() = default;
RouteSocket::~RouteSocket() = default;

int RouteSocket::fd() const { return socket_ ? mnl_socket_get_fd(socket_.get()) : -1; }

bool RouteSocket::open(int flags, unsigned groups) {
    socket_.reset(mnl_socket_open2(NETLINK_ROUTE, flags | SOCK_CLOEXEC));
    if (!socket_ || mnl_socket_bind(socket_.get(), groups, MNL_SOCKET_AUTOPID) < 0) {
        logFailure("cannot open an rtnetlink socket");
        socket_.reset();
        return false;
    }
    buffer_.resize(kBufferSize);
    return true;
}

bool RouteSocket::openEvents(int receiveBuffer) {
    if (!open(SOCK_NONBLOCK, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE)) return false;
    // Bursts (an interface with many routes going away) must not overflow
    // the queue; SO_RCVBUFFORCE passes the system's limit, being root.
    // Without that right SO_RCVBUF gives what net.core.rmem_max allows.
    if (setsockopt(fd(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0 &&
        setsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
        logFailure("cannot enlarge the event socket's receive buffer");
    // The kernel doubles what it was asked for (its own bookkeeping counts
    // against the buffer too); less than asked means the limit applied.
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 && granted < receiveBuffer)
        KOR_Sysloglevel_error(logModule(), "netstatd", __LINE__,
                              VAStr("netlink: event buffer of %d bytes only (%d asked): bursts may be lost", granted,
                                    receiveBuffer));
    return true;
}

bool RouteSocket::openDumps() {
    if (!open(0, 0)) return false;
    // Dumps may ask for one routing table.
    int on = 1;
    setsockopt(fd(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    // The kernel always ends a dump; should it not, fail rather than hang.
    timeval timeout{2, 0};
    setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return true;
}

RouteSocket::Received RouteSocket::receive(std::vector<NetlinkEvent>& out) {
    ssize_t got = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Received::Nothing;
        // ENOBUFS: the queue overflowed. ENOSPC: a message did not fit the
        // buffer. Either way events are lost.
        if (errno == ENOBUFS || errno == ENOSPC) return Received::Overrun;
        logFailure("cannot read events");
        return Received::Failed;
    }
    Collected collected{&out, false};
    if (mnl_cb_run(buffer_.data(), size_t(got), 0, 0, collectMessage, &collected) < MNL_CB_STOP)
        logFailure("malformed event");
    return Received::Events;
}

bool RouteSocket::discardQueued() {
    for (;;) {
        ssize_t got = recv(fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (got >= 0 || errno == EINTR || errno == ENOBUFS || errno == ENOSPC) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        logFailure("cannot empty the event queue");
        return false;
    }
}

bool RouteSocket::dump(uint16_t request, std::vector<NetlinkEvent>& out, uint32_t table) {
    retried_ = false;
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        retried_ = attempt > 0;
        std::vector<NetlinkEvent> events;
        bool interrupted = false;
        if (!dumpOnce(request, table, events, interrupted)) {
            // What is left of a failed dump would be read as the answer to
            // the next request: go on with a fresh socket, set up alike.
            if (!openDumps()) return false;
            continue;
        }
        if (!interrupted) {
            if (out.empty())
                out.swap(events);
            else
                out.insert(out.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
            return true;
        }
    }
    KOR_Sysloglevel_error(logModule(), "netstatd", __LINE__,
                          VAStr("netlink: dump %u failed %d times", unsigned(request), kDumpAttempts));
    return false;
}

bool RouteSocket::dumpOnce(uint16_t request, uint32_t table, std::vector<NetlinkEvent>& out, bool& interrupted) {
    alignas(nlmsghdr) char message[128];
    nlmsghdr* header = mnl_nlmsg_put_header(message);
    header->nlmsg_type = request;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = ++sequence_;
    if (request == RTM_GETLINK)
        static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(header, sizeof(ifinfomsg)))->ifi_family = AF_UNSPEC;
    else if (request == RTM_GETADDR)
        static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(ifaddrmsg)))->ifa_family = AF_INET;
    else {
        auto* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(rtmsg)));
        route->rtm_family = AF_INET;
        // With strict checking the kernel walks this one table only; a
        // kernel without it sends every table, and the caller picks.
        if (table) {
            route->rtm_table = table < 256 ? uint8_t(table) : uint8_t(RT_TABLE_UNSPEC);
            mnl_attr_put_u32(header, RTA_TABLE, table);
        }
    }
    if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) {
        logFailure("cannot request a dump");
        return false;
    }
    const unsigned portid = mnl_socket_get_portid(socket_.get());
    mnl_cb_t controls[NLMSG_MIN_TYPE] = {};
    controls[NLMSG_DONE] = dumpDone;
    Collected collected{&out, false};
    for (;;) {
        ssize_t got = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            logFailure("cannot read a dump");
            return false;
        }
        int result = mnl_cb_run2(buffer_.data(), size_t(got), sequence_, portid, collectMessage, &collected, controls,
                                 MNL_ARRAY_SIZE(controls));
        if (result < MNL_CB_STOP) {
            logFailure("dump answered with an error");
            return false;
        }
        if (result == MNL_CB_STOP) break;
    }
    interrupted = collected.interrupted;
    return true;
}

}  // namespace netstatd
}  // namespace kor
