// A batch of in-process ip commands: the requests go to the kernel many to
// one send, as consecutive netlink messages, and only the last of a send
// asks for an acknowledgement. The kernel handles a send's messages in
// order, one after the other as if each came alone, and answers a message
// without that flag only when it fails; the acknowledgement of the last one
// comes after every earlier answer, so it ends the wait. A send carries no
// more requests than the answers to all of them failing fit the socket's
// receive buffer (an answer lost there would hide a failure), nor more bytes
// than its send buffer takes at once.

#include "kor/kernel/IpNetlink.h"

#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <unordered_map>

namespace kor {
namespace kernel {

namespace {

// What one error answer of the kernel may take of the receive buffer: the
// buffer counts the whole allocation of the answer's skb, well above the
// few dozen bytes of the answer itself.
const size_t kAnswerCost = 2048;
const size_t kMostPerSend = 256;

int socketOption(int fd, int option) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, option, &value, &size) != 0) return 0;
    return value;
}

}  // namespace

size_t IpNetlink::requestsPerSend() const {
    const int fd = mnl_socket_get_fd(socket_.get());
    const size_t receive = size_t(std::max(socketOption(fd, SO_RCVBUF), 0)) / kAnswerCost;
    // The kernel refuses a send longer than the send buffer less 32 bytes.
    const int sendBuffer = socketOption(fd, SO_SNDBUF) - 32;
    const size_t send = sendBuffer > 0 ? size_t(sendBuffer) / kRequestSize : 0;
    return std::max<size_t>(1, std::min({kMostPerSend, receive, send}));
}

void IpNetlink::sendBatch(std::vector<char>& batch, std::vector<size_t>& sent, std::vector<IpResult>& results) {
    if (sent.empty()) return;
    const unsigned first = sequence_ + 1;
    nlmsghdr* last = nullptr;
    int left = int(batch.size());
    for (auto* m = reinterpret_cast<nlmsghdr*>(batch.data()); mnl_nlmsg_ok(m, left); m = mnl_nlmsg_next(m, &left)) {
        m->nlmsg_seq = ++sequence_;
        last = m;
    }
    last->nlmsg_flags |= NLM_F_ACK;
    std::vector<bool> answered(sent.size(), false);
    auto handle = [&](const nlmsghdr* m) {
        if (m->nlmsg_type != NLMSG_ERROR) return false;
        const size_t i = m->nlmsg_seq - first;
        if (i >= sent.size()) return false;
        IpResult& result = results[sent[i]];
        answered[i] = true;
        if (answerError(m, result.error) != 0) result.status = 2;
        return m->nlmsg_seq == sequence_;
    };
    std::string error;
    if (exchange(batch.data(), batch.size(), first, handle, error) < 0) {
        // The kernel could not be reached: what became of the requests not
        // answered is unknown, each fails as it would alone.
        for (size_t i = 0; i < sent.size(); ++i)
            if (!answered[i]) results[sent[i]] = IpResult{2, error};
    }
    batch.clear();
    sent.clear();
}

bool IpNetlink::runBatch(const std::vector<IpRequest>& requests, std::vector<IpResult>& results) {
    if (!open()) return false;
    results.assign(requests.size(), IpResult());
    const size_t perSend = requestsPerSend();
    std::vector<char> batch;
    batch.reserve(perSend * kRequestSize);
    std::vector<size_t> sent;
    // The devices named in the batch, looked up once each (0: none such).
    std::unordered_map<std::string, uint32_t> devices;
    for (size_t i = 0; i < requests.size(); ++i) {
        // A socket lost in a send is opened again for the next requests.
        if (!socket_ && !open()) {
            for (size_t k = i; k < requests.size(); ++k) results[k] = IpResult{2, "cannot open an rtnetlink socket"};
            return true;
        }
        const IpRequest& r = requests[i];
        if (r.kind == IpRequest::Kind::RouteFlush) {
            sendBatch(batch, sent, results);
            flush(r.table, results[i]);
            continue;
        }
        uint32_t device = 0;
        if (!r.device.empty()) {
            auto found = devices.find(r.device);
            if (found == devices.end()) found = devices.emplace(r.device, deviceIndex(r.device)).first;
            if ((device = found->second) == 0) {
                results[i] = unknownDevice(r.device);
                continue;
            }
        }
        const size_t offset = batch.size();
        batch.resize(offset + kRequestSize);
        nlmsghdr* m = mnl_nlmsg_put_header(batch.data() + offset);
        putRequest(r, device, m);
        batch.resize(offset + NLMSG_ALIGN(m->nlmsg_len));
        sent.push_back(i);
        if (sent.size() == perSend) sendBatch(batch, sent, results);
    }
    sendBatch(batch, sent, results);
    return true;
}

}  // namespace kernel
}  // namespace kor
