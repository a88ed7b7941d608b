// Dumping one routing table over rtnetlink, with strict checking, so that
// the kernel sends that table only.

#include "routetables.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace kor {
namespace quorin {

namespace {

// Large reads: a dump of a million routes passes through here.
const size_t kAnswerSize = 1024 * 1024;
const int kReceiveBuffer = 4 * 1024 * 1024;
// A dump that a change interrupts is read again, this often at most.
const int kDumpTries = 20;

struct DumpState {
    uint32_t table;
    std::vector<TableRoute>* out;
    bool interrupted = false;
};

uint32_t hostAddress(const nlattr* attribute) {
    uint32_t address;
    memcpy(&address, mnl_attr_get_payload(attribute), sizeof address);
    return ntohl(address);
}

// The first path of a multipath route, as the route service reports it.
void firstPath(const nlattr* multipath, TableRoute& route) {
    if (mnl_attr_get_payload_len(multipath) < sizeof(rtnexthop)) return;
    const auto* hop = static_cast<const rtnexthop*>(mnl_attr_get_payload(multipath));
    route.device = uint32_t(hop->rtnh_ifindex);
    const char* attributes = reinterpret_cast<const char*>(hop) + RTNH_LENGTH(0);
    int left = int(hop->rtnh_len) - int(RTNH_LENGTH(0));
    for (auto* a = reinterpret_cast<const nlattr*>(attributes); mnl_attr_ok(a, left); a = mnl_attr_next(a)) {
        left -= int(MNL_ALIGN(a->nla_len));
        if (mnl_attr_get_type(a) == RTA_GATEWAY && mnl_attr_get_payload_len(a) == 4) route.gateway = hostAddress(a);
    }
}

int collectAttribute(const nlattr* attribute, void* data) {
    const uint16_t type = mnl_attr_get_type(attribute);
    if (type <= RTA_MAX) static_cast<const nlattr**>(data)[type] = attribute;
    return MNL_CB_OK;
}

int onRoute(const nlmsghdr* message, void* data) {
    auto& state = *static_cast<DumpState*>(data);
    if (message->nlmsg_flags & NLM_F_DUMP_INTR) state.interrupted = true;
    if (message->nlmsg_type != RTM_NEWROUTE) return MNL_CB_OK;
    const auto* header = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
    if (header->rtm_family != AF_INET || header->rtm_type != RTN_UNICAST || (header->rtm_flags & RTM_F_CLONED))
        return MNL_CB_OK;
    uint32_t table = header->rtm_table;
    TableRoute route;
    route.length = header->rtm_dst_len;
    const nlattr* attributes[RTA_MAX + 1] = {};
    mnl_attr_parse(message, sizeof(rtmsg), collectAttribute, attributes);
    auto u32 = [&](int type) { return mnl_attr_get_payload_len(attributes[type]) == 4; };
    if (attributes[RTA_TABLE] && u32(RTA_TABLE)) table = mnl_attr_get_u32(attributes[RTA_TABLE]);
    if (attributes[RTA_DST] && u32(RTA_DST)) route.destination = hostAddress(attributes[RTA_DST]);
    if (attributes[RTA_GATEWAY] && u32(RTA_GATEWAY)) route.gateway = hostAddress(attributes[RTA_GATEWAY]);
    if (attributes[RTA_OIF] && u32(RTA_OIF)) route.device = mnl_attr_get_u32(attributes[RTA_OIF]);
    if (attributes[RTA_PRIORITY] && u32(RTA_PRIORITY)) route.metric = mnl_attr_get_u32(attributes[RTA_PRIORITY]);
    if (attributes[RTA_MULTIPATH]) firstPath(attributes[RTA_MULTIPATH], route);
    if (table == state.table) state.out->push_back(route);
    return MNL_CB_OK;
}

}  // namespace

void KernelRouteReader::Closer::operator()(mnl_socket* socket) const { mnl_socket_close(socket); }

KernelRouteReader::KernelRouteReader() : buffer_(kAnswerSize) {}
KernelRouteReader::~KernelRouteReader() = default;

bool KernelRouteReader::open(std::string& error) {
    if (socket_) return true;
    socket_.reset(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
    if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        error = std::string("no rtnetlink socket: ") + strerror(errno);
        socket_.reset();
        return false;
    }
    const int fd = mnl_socket_get_fd(socket_.get());
    const int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    // A kernel that stops answering must not hold up the daemon's loop.
    timeval wait = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return true;
}

bool KernelRouteReader::dumpOnce(uint32_t table, std::vector<TableRoute>& out, bool& interrupted,
                                 std::string& error) {
    char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = mnl_nlmsg_put_header(request);
    message->nlmsg_type = RTM_GETROUTE;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message->nlmsg_seq = ++sequence_;
    auto* header = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    header->rtm_family = AF_INET;
    header->rtm_table = table < 256 ? uint8_t(table) : uint8_t(RT_TABLE_UNSPEC);
    mnl_attr_put_u32(message, RTA_TABLE, table);
    if (mnl_socket_sendto(socket_.get(), message, message->nlmsg_len) < 0) {
        error = std::string("cannot ask for the routes: ") + strerror(errno);
        socket_.reset();
        return false;
    }
    DumpState state{table, &out};
    const unsigned portid = mnl_socket_get_portid(socket_.get());
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t got = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (got <= 0) {
            error = std::string("no complete answer: ") + strerror(errno);
            socket_.reset();
            return false;
        }
        result = mnl_cb_run(buffer_.data(), size_t(got), sequence_, portid, onRoute, &state);
    }
    if (result < 0) {
        error = std::string("the kernel refused the dump: ") + strerror(errno);
        return false;
    }
    interrupted = state.interrupted;
    return !interrupted;
}

bool KernelRouteReader::read(uint32_t table, std::vector<TableRoute>& out, std::string& error) {
    for (int attempt = 0; attempt < kDumpTries; ++attempt) {
        out.clear();
        bool interrupted = false;
        if (!open(error)) return false;
        if (dumpOnce(table, out, interrupted, error)) return true;
        if (!interrupted) return false;
    }
    error = "every dump was interrupted by a change of the routes";
    return false;
}

std::string KernelRouteReader::deviceName(uint32_t index) {
    if (index == 0) return "";
    auto found = names_.find(index);
    if (found != names_.end()) return found->second;
    char name[IF_NAMESIZE] = "";
    if (!if_indextoname(index, name)) return "";
    return names_[index] = name;
}

}  // namespace quorin
}  // namespace kor
