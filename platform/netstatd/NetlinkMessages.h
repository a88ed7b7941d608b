#pragma once
// Translation of rtnetlink messages (links, IPv4 addresses, IPv4 routes) into
// plain records, and the texts that the bus signals carry for their values.

#include <linux/netlink.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace netstatd {

struct Link {
    int index = 0;
    std::string name;
    unsigned flags = 0;  // IFF_* of ifi_flags

    // Administratively up and running: what "StatusChange" reports.
    bool up() const;
    // The lower layer has a carrier: what "LinkStatusChange" reports.
    bool carrier() const;
};

struct Address {
    int index = 0;
    uint32_t local = 0;  // network byte order
    uint8_t prefixLength = 0;
    uint32_t flags = 0;  // IFA_F_*
    std::string label;

    bool secondary() const;
};

struct Nexthop {
    uint32_t gateway = 0;  // network byte order; 0 when the route has none
    int device = 0;        // interface index; 0 when the route has none
};

struct Route {
    uint32_t table = 0;
    uint32_t destination = 0;  // network byte order
    uint8_t prefixLength = 0;
    uint8_t tos = 0;
    uint32_t priority = 0;
    uint8_t protocol = 0;
    uint8_t type = 0;
    unsigned flags = 0;  // rtm_flags
    // One entry for a single-path route (gateway and device may both be
    // absent), one per path of a multipath route, in the kernel's order.
    std::vector<Nexthop> nexthops;

    // The routes this service reports: unicast, and not a cached clone.
    bool reported() const;
    const Nexthop& firstNexthop() const;
};

struct NetlinkEvent {
    enum class Kind { Link, Address, Route };
    Kind kind = Kind::Link;
    bool removed = false;   // RTM_DELLINK, RTM_DELADDR, RTM_DELROUTE
    bool replaced = false;  // RTM_NEWROUTE that replaced an existing route
    Link link;
    Address address;
    Route route;
};

// Translates one message. False for messages of other types or families
// (bridge port messages, IPv6) and for messages that do not parse.
bool translate(const nlmsghdr* message, NetlinkEvent& event);

std::string dottedQuad(uint32_t networkOrder);
// "kernel", "boot", "static", "dhcp", or the protocol's number.
std::string protocolText(uint8_t protocol);

}  // namespace netstatd
}  // namespace kor
