#include "PolicyRoutes.h"

#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kor {
namespace uplinkd {

namespace {

const int kTimeoutMs = 1000;

nlmsghdr* header(char* buffer, uint16_t type, uint16_t flags, unsigned sequence) {
    nlmsghdr* message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST | flags;
    message->nlmsg_seq = sequence;
    return message;
}

}  // namespace

void RtNetlink::Closer::operator()(mnl_socket* socket) const { mnl_socket_close(socket); }

RtNetlink::RtNetlink() = default;
RtNetlink::~RtNetlink() = default;

int RtNetlink::talk(void* bytes) {
    nlmsghdr* message = static_cast<nlmsghdr*>(bytes);
    message->nlmsg_flags |= NLM_F_ACK;
    if (!socket_) {
        socket_.reset(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
        timeval timeout{kTimeoutMs / 1000, 0};
        if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0 ||
            setsockopt(mnl_socket_get_fd(socket_.get()), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            error_ = std::string("rtnetlink: ") + strerror(errno);
            socket_.reset();
            return -1;
        }
    }
    if (mnl_socket_sendto(socket_.get(), message, message->nlmsg_len) < 0) {
        error_ = std::string("rtnetlink: ") + strerror(errno);
        socket_.reset();
        return -1;
    }
    alignas(nlmsghdr) char answer[MNL_SOCKET_BUFFER_SIZE];
    for (;;) {
        const ssize_t size = mnl_socket_recvfrom(socket_.get(), answer, sizeof answer);
        if (size <= 0) {
            error_ = "rtnetlink: no answer";
            socket_.reset();
            return -1;
        }
        for (const nlmsghdr* reply = reinterpret_cast<const nlmsghdr*>(answer); mnl_nlmsg_ok(reply, int(size));
             reply = reinterpret_cast<const nlmsghdr*>(reinterpret_cast<const char*>(reply) +
                                                        NLMSG_ALIGN(reply->nlmsg_len))) {
            if (reply->nlmsg_seq != message->nlmsg_seq || reply->nlmsg_type != NLMSG_ERROR) continue;
            const int code = -static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(reply))->error;
            error_ = code ? strerror(code) : "";
            return code;
        }
    }
}

int RtNetlink::rule(uint16_t type, uint32_t mark, uint32_t table) {
    alignas(nlmsghdr) char buffer[256] = {};
    nlmsghdr* message = header(buffer, type, type == RTM_NEWRULE ? NLM_F_CREATE | NLM_F_EXCL : 0, ++sequence_);
    fib_rule_hdr* rule = static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(message, sizeof(fib_rule_hdr)));
    rule->family = AF_INET;
    rule->action = FR_ACT_TO_TBL;
    rule->table = RT_TABLE_UNSPEC;
    mnl_attr_put_u32(message, FRA_PRIORITY, kRulePriority);
    if (mark) mnl_attr_put_u32(message, FRA_FWMARK, mark);
    if (table) mnl_attr_put_u32(message, FRA_TABLE, table);
    return talk(message);
}

int RtNetlink::addRule(uint32_t mark) {
    const int code = rule(RTM_NEWRULE, mark, mark);
    return code == EEXIST ? 0 : code;
}

int RtNetlink::deleteRule(uint32_t mark) {
    const int code = rule(RTM_DELRULE, mark, mark);
    return code == ENOENT ? 0 : code;
}

int RtNetlink::replaceDefault(uint32_t table, uint32_t gateway, unsigned ifindex) {
    alignas(nlmsghdr) char buffer[256] = {};
    nlmsghdr* message = header(buffer, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, ++sequence_);
    rtmsg* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    route->rtm_family = AF_INET;
    route->rtm_table = RT_TABLE_UNSPEC;
    route->rtm_protocol = RTPROT_STATIC;
    route->rtm_scope = gateway ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
    route->rtm_type = RTN_UNICAST;
    mnl_attr_put_u32(message, RTA_TABLE, table);
    if (gateway) mnl_attr_put_u32(message, RTA_GATEWAY, gateway);
    mnl_attr_put_u32(message, RTA_OIF, ifindex);
    return talk(message);
}

int RtNetlink::deleteDefault(uint32_t table) {
    alignas(nlmsghdr) char buffer[256] = {};
    nlmsghdr* message = header(buffer, RTM_DELROUTE, 0, ++sequence_);
    rtmsg* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    route->rtm_family = AF_INET;
    route->rtm_table = RT_TABLE_UNSPEC;
    route->rtm_scope = RT_SCOPE_NOWHERE;
    mnl_attr_put_u32(message, RTA_TABLE, table);
    const int code = talk(message);
    return code == ESRCH || code == ENOENT ? 0 : code;
}

int RtNetlink::removeStale() {
    // Without a mark or table, a delete takes the first rule at the priority.
    int removed = 0;
    while (removed < 4096 && rule(RTM_DELRULE, 0, 0) == 0) ++removed;
    return removed;
}

UplinkRoute::~UplinkRoute() {
    if (!installed_) return;
    netlink_.deleteRule(mark_);
    netlink_.deleteDefault(mark_);
}

bool UplinkRoute::install(uint32_t gateway, std::string& error) {
    installed_ = true;
    if (netlink_.addRule(mark_) != 0) {
        error = "rule fwmark " + std::to_string(mark_) + ": " + netlink_.error();
        return false;
    }
    const int code = netlink_.replaceDefault(mark_, gateway, ifindex_);
    if (code == ENETDOWN) error.clear();
    else if (code != 0) error = "default route in table " + std::to_string(mark_) + ": " + netlink_.error();
    return code == 0;
}

}  // namespace uplinkd
}  // namespace kor
