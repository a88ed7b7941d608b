// NFT_MSG_GETGEN over NETLINK_NETFILTER: one request, one NFT_MSG_NEWGEN
// answer holding NFTA_GEN_ID.

#include "kor/kernel/NftGeneration.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/nfnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

namespace kor {
namespace kernel {

void NftGeneration::Closer::operator()(mnl_socket* socket) const { mnl_socket_close(socket); }

NftGeneration::~NftGeneration() = default;

namespace {

int genAttribute(const nlattr* attr, void* data) {
    if (mnl_attr_get_type(attr) == NFTA_GEN_ID && mnl_attr_validate(attr, MNL_TYPE_U32) >= 0)
        *static_cast<const nlattr**>(data) = attr;
    return MNL_CB_OK;
}

int genAnswer(const nlmsghdr* header, void* data) {
    if ((header->nlmsg_type & 0xff) != NFT_MSG_NEWGEN) return MNL_CB_OK;
    const nlattr* id = nullptr;
    if (mnl_attr_parse(header, sizeof(nfgenmsg), genAttribute, &id) < 0 || !id) return MNL_CB_ERROR;
    *static_cast<uint32_t*>(data) = ntohl(mnl_attr_get_u32(id));
    return MNL_CB_STOP;
}

}  // namespace

bool NftGeneration::open() {
    if (socket_) return true;
    socket_.reset(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
    if (socket_ && mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0) socket_.reset();
    return bool(socket_);
}

int NftGeneration::talk(nlmsghdr* header, int (*callback)(const nlmsghdr*, void*), void* data) {
    header->nlmsg_seq = ++sequence_;
    if (!open()) return -2;
    if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) {
        socket_.reset();
        return -2;
    }
    const unsigned portId = mnl_socket_get_portid(socket_.get());
    std::vector<char> answer(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
        pollfd pfd{mnl_socket_get_fd(socket_.get()), POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs_) <= 0) break;
        const ssize_t got = mnl_socket_recvfrom(socket_.get(), answer.data(), answer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const int r = mnl_cb_run(answer.data(), size_t(got), sequence_, portId, callback, data);
        if (r != MNL_CB_OK) return r;
    }
    socket_.reset();
    return -2;
}

bool NftGeneration::read(uint32_t& generation) {
    char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* header = mnl_nlmsg_put_header(request);
    header->nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_GETGEN;
    header->nlmsg_flags = NLM_F_REQUEST;
    auto* gen = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(nfgenmsg)));
    gen->nfgen_family = AF_UNSPEC;
    gen->version = NFNETLINK_V0;
    gen->res_id = 0;
    uint32_t value = 0;
    if (talk(header, genAnswer, &value) != MNL_CB_STOP) return false;
    generation = value;
    return true;
}

bool NftGeneration::setExists(const std::string& name, bool& exists) {
    char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* header = mnl_nlmsg_put_header(request);
    header->nlmsg_type = (NFNL_SUBSYS_IPSET << 8) | IPSET_CMD_HEADER;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto* gen = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(nfgenmsg)));
    gen->nfgen_family = AF_INET;
    gen->version = NFNETLINK_V0;
    gen->res_id = 0;
    mnl_attr_put_u8(header, IPSET_ATTR_PROTOCOL, IPSET_PROTOCOL);
    mnl_attr_put_strz(header, IPSET_ATTR_SETNAME, name.c_str());
    const int r = talk(header, [](const nlmsghdr*, void*) { return int(MNL_CB_OK); }, nullptr);
    if (r == -1 && errno == ENOENT) return (exists = false), true;
    if (r != MNL_CB_STOP) return false;
    exists = true;
    return true;
}

}  // namespace kernel
}  // namespace kor
