#pragma once
// uplinkd's own routing state, over rtnetlink: for each probed uplink a
// policy rule "fwmark M lookup M" at uplinkd's own priority and a default
// route through the uplink in table M. The probe sockets carry mark M, so
// they leave through their uplink even when the main table's default route
// points elsewhere and quorin has taken the uplink out of its rules.

#include <cstdint>
#include <memory>
#include <string>

struct mnl_socket;

namespace kor {
namespace uplinkd {

// The priority of uplinkd's rules: before quorin's and the main table's.
const uint32_t kRulePriority = 90;
// Marks and tables of uplinkd, far above quorin's (256 to 20000000).
const uint32_t kMarkBase = 0x7e000000;
inline uint32_t markOf(unsigned ifindex) { return kMarkBase + ifindex; }

class RtNetlink {
public:
    RtNetlink();
    ~RtNetlink();
    RtNetlink(const RtNetlink&) = delete;
    RtNetlink& operator=(const RtNetlink&) = delete;

    // Each returns 0 or the kernel's errno (-1: no answer); the text of a
    // failure is in error(). An existing rule counts as added, a missing
    // one as deleted.
    int addRule(uint32_t mark);
    int deleteRule(uint32_t mark);
    // "ip route replace default [via GATEWAY] dev IFINDEX table M"; gateway 0: none.
    int replaceDefault(uint32_t table, uint32_t gateway, unsigned ifindex);
    int deleteDefault(uint32_t table);
    // Removes the rules at uplinkd's priority and their tables' default
    // routes that a crashed run left behind; returns how many rules.
    int removeStale();
    const std::string& error() const { return error_; }

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    int rule(uint16_t type, uint32_t mark, uint32_t table);
    // Sends the message and reads the kernel's acknowledgement.
    int talk(void* message);

    std::unique_ptr<mnl_socket, Closer> socket_;
    unsigned sequence_ = 0;
    std::string error_;
};

// The rule and route of one uplink, removed when the object goes.
class UplinkRoute {
public:
    UplinkRoute(RtNetlink& netlink, unsigned ifindex) : netlink_(netlink), mark_(markOf(ifindex)), ifindex_(ifindex) {}
    ~UplinkRoute();
    UplinkRoute(const UplinkRoute&) = delete;
    UplinkRoute& operator=(const UplinkRoute&) = delete;

    // Writes the rule and the default route (again: the kernel drops the
    // route when the link goes down or loses its address). False with the
    // reason when the kernel refused; false with no reason when the link is
    // down: the status tables may not say so yet, and the route is written
    // again once they say it is back.
    bool install(uint32_t gateway, std::string& error);
    uint32_t mark() const { return mark_; }
    unsigned ifindex() const { return ifindex_; }

private:
    RtNetlink& netlink_;
    const uint32_t mark_;
    const unsigned ifindex_;
    bool installed_ = false;
};

}  // namespace uplinkd
}  // namespace kor
