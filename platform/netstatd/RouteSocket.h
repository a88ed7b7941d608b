#pragma once
// An rtnetlink socket (libmnl), either subscribed to the kernel's link,
// IPv4 address and IPv4 route events, or used for complete dumps.

#include <memory>
#include <vector>

#include "NetlinkMessages.h"

struct mnl_socket;

namespace kor {
namespace netstatd {

class RouteSocket {
public:
    RouteSocket();
    ~RouteSocket();
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;

    // A non-blocking socket subscribed to RTMGRP_LINK, RTMGRP_IPV4_IFADDR
    // and RTMGRP_IPV4_ROUTE, with a receive buffer of receiveBuffer bytes.
    bool openEvents(int receiveBuffer);
    // A socket for dumps, with no subscription.
    bool openDumps();
    int fd() const;

    enum class Received { Events, Nothing, Overrun, Failed };
    // Reads what one recv gives on an event socket and appends the events
    // it carries. Overrun: the kernel dropped events (ENOBUFS); the state
    // has to be dumped again.
    Received receive(std::vector<NetlinkEvent>& out);
    // Empties the queue of an event socket, dropping what it holds. After
    // an overrun the kernel reports no further loss until the queue has
    // been empty once, so a dump taken while it still holds events could
    // miss changes that nothing would ever report. False when the socket
    // fails.
    bool discardQueued();

    // A complete dump of the links (RTM_GETLINK), IPv4 addresses
    // (RTM_GETADDR) or IPv4 routes (RTM_GETROUTE) of every table. A dump
    // that the kernel reports as interrupted by a change is made again.
    // A table other than 0 asks for the routes of that table only. On a
    // socket opened with openDumps only.
    bool dump(uint16_t request, std::vector<NetlinkEvent>& out, uint32_t table = 0);
    // The last dump had to be made again (interrupted or failed) before it
    // succeeded.
    bool lastDumpRetried() const { return retried_; }

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    bool open(int flags, unsigned groups);
    bool dumpOnce(uint16_t request, uint32_t table, std::vector<NetlinkEvent>& out, bool& interrupted);

    std::unique_ptr<mnl_socket, Closer> socket_;
    unsigned sequence_ = 0;
    bool retried_ = false;
    std::vector<char> buffer_;
};

}  // namespace netstatd
}  // namespace kor
