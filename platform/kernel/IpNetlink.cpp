// The daemon's "ip rule" and "ip route" commands over rtnetlink. The
// messages are those the ip tool sends for the same words: the same type,
// flags (NLM_F_CREATE | NLM_F_EXCL on add, NLM_F_CREATE | NLM_F_REPLACE on a
// route replace, none on delete), protocol
// (RTPROT_BOOT on add), scope (link for an added route without gateway,
// RT_SCOPE_NOWHERE on delete, which matches any scope) and table (in the
// header below 256, as RTA_TABLE / FRA_TABLE above); a flush dumps the
// table's IPv4 routes and deletes each until none is left. Failures give
// ip's exit status (1 for an unknown device, 2 for a refusal of the kernel)
// and its error text.

#include "kor/kernel/IpNetlink.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "kor/sysloglevel.h"

namespace kor {
namespace kernel {

namespace {

// The kernel fills a dump datagram up to the reader's buffer, 32 KiB at most.
const size_t kAnswerSize = 32768;
// Rounds of dump-and-delete before a flush gives up, as ip does.
const int kFlushRounds = 10;
// Deletes of a flush sent at once: few enough that the answers to all of
// them fail fit the socket's receive buffer.
const size_t kDeleteBatch = 128;

KOR_Modul modul() {
    static KOR_Modul m = KOR_Sysloglevel_registerModul("cfgclient");
    return m;
}

// Plain decimal without leading zeros: ip would read "010" as octal.
bool readDecimal(const std::string& word, uint32_t& out) {
    if (word.empty() || word.size() > 10 || (word[0] == '0' && word.size() > 1)) return false;
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > UINT32_MAX) return false;
    out = uint32_t(value);
    return true;
}

bool readAddress(const std::string& word, uint32_t& out) {
    in_addr address;
    if (inet_pton(AF_INET, word.c_str(), &address) != 1) return false;
    out = address.s_addr;
    return true;
}

// ADDR or ADDR/LEN with LEN 1 to 32 ("/0" is left to ip, which writes it
// differently from "default").
bool readPrefix(const std::string& word, IpPrefix& out) {
    const size_t slash = word.find('/');
    uint32_t length = 32;
    if (slash != std::string::npos && (!readDecimal(word.substr(slash + 1), length) || length == 0 || length > 32))
        return false;
    out.length = uint8_t(length);
    return readAddress(word.substr(0, slash), out.address);
}

// A name ip would look up as it is: "ifN" may stand for index N there.
bool readDevice(const std::string& word, std::string& out) {
    if (word.empty() || word.size() >= IFNAMSIZ || word.find('/') != std::string::npos) return false;
    if (word.size() > 2 && word.compare(0, 2, "if") == 0 && word.find_first_not_of("0123456789", 2) == std::string::npos)
        return false;
    out = word;
    return true;
}

// The first attribute of the given type among those in [start, start + size).
const nlattr* findAttribute(const void* start, size_t size, uint16_t type) {
    const char* end = static_cast<const char*>(start) + size;
    for (auto* a = static_cast<const nlattr*>(start); mnl_attr_ok(a, int(end - reinterpret_cast<const char*>(a)));
         a = mnl_attr_next(a))
        if (mnl_attr_get_type(a) == type) return a;
    return nullptr;
}

// The explanation the kernel attached to an answer (extended ack), if any.
std::string extackText(const nlmsghdr* message, size_t offset) {
    const size_t size = mnl_nlmsg_get_payload_len(message);
    if (!(message->nlmsg_flags & NLM_F_ACK_TLVS) || offset >= size) return "";
    const char* start = static_cast<const char*>(mnl_nlmsg_get_payload(message)) + offset;
    const nlattr* a = findAttribute(start, size - offset, NLMSGERR_ATTR_MSG);
    if (!a) return "";
    const char* text = static_cast<const char*>(mnl_attr_get_payload(a));
    return std::string(text, strnlen(text, mnl_attr_get_payload_len(a)));
}

uint32_t routeTable(const nlmsghdr* route) {
    const nlattr* a = findAttribute(mnl_nlmsg_get_payload_offset(route, sizeof(rtmsg)),
                                    mnl_nlmsg_get_payload_len(route) - sizeof(rtmsg), RTA_TABLE);
    if (a && mnl_attr_get_payload_len(a) >= sizeof(uint32_t)) return mnl_attr_get_u32(a);
    return static_cast<const rtmsg*>(mnl_nlmsg_get_payload(route))->rtm_table;
}

}  // namespace

bool parseIpRequest(const std::vector<std::string>& words, IpRequest& out) {
    using Kind = IpRequest::Kind;
    if (words.size() < 5 || (words[0] != "ip" && words[0] != "/sbin/ip")) return false;
    const bool rule = words[1] == "rule";
    if (!rule && words[1] != "route") return false;
    IpRequest r;
    if (words[2] == "add")
        r.kind = rule ? Kind::RuleAdd : Kind::RouteAdd;
    else if (words[2] == "del")
        r.kind = rule ? Kind::RuleDel : Kind::RouteDel;
    else if (words[2] == "flush" && !rule)
        r.kind = Kind::RouteFlush;
    else if (words[2] == "replace" && !rule)
        r.kind = Kind::RouteReplace;
    else
        return false;
    const bool route = !rule && r.kind != Kind::RouteFlush;
    bool hasTable = false, hasDestination = false;
    for (size_t i = 3; i < words.size(); i += 2) {
        const std::string& key = words[i];
        // A destination may stand without "to", as the only bare word.
        if (route && !hasDestination && key != "table" && key != "to" && key != "via" && key != "dev") {
            if (key != "default" && !readPrefix(key, r.destination)) return false;
            hasDestination = true;
            --i;
            continue;
        }
        if (i + 1 >= words.size()) return false;
        const std::string& value = words[i + 1];
        bool ok = false;
        if (key == "table" && !hasTable)
            ok = hasTable = readDecimal(value, r.table) && r.table != 0;
        else if (rule && key == "fwmark" && !r.hasMark)
            ok = r.hasMark = readDecimal(value, r.mark);
        else if (rule && key == "from" && !r.hasSource)
            ok = r.hasSource = readPrefix(value, r.source);
        else if (route && key == "to" && !hasDestination)
            ok = hasDestination = value == "default" || readPrefix(value, r.destination);
        else if (route && key == "via" && !r.hasGateway)
            ok = r.hasGateway = readAddress(value, r.gateway);
        else if (route && key == "dev" && r.device.empty())
            ok = readDevice(value, r.device);
        if (!ok) return false;
    }
    if (!hasTable || (route && !hasDestination)) return false;
    out = r;
    return true;
}

int IpNetlink::answerError(const nlmsghdr* message, std::string& text) {
    const size_t size = mnl_nlmsg_get_payload_len(message);
    int error = 0;
    size_t offset = sizeof(int);
    if (message->nlmsg_type == NLMSG_ERROR) {
        if (size < sizeof(nlmsgerr)) return EPROTO;
        auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
        error = -err->error;
        offset = sizeof(nlmsgerr);
        if (!(message->nlmsg_flags & NLM_F_CAPPED)) offset += NLMSG_ALIGN(err->msg.nlmsg_len) - sizeof(nlmsghdr);
    } else if (size >= sizeof(int)) {
        memcpy(&error, mnl_nlmsg_get_payload(message), sizeof error);
        error = -error;
    }
    if (error == 0) return 0;
    std::string why = extackText(message, offset);
    if (why.empty())
        text = std::string("RTNETLINK answers: ") + strerror(error);
    else
        text = "Error: " + why + (why.back() == '.' ? "" : ".");
    return error;
}

void IpNetlink::Closer::operator()(mnl_socket* socket) const { mnl_socket_close(socket); }

IpNetlink::IpNetlink(int timeoutMs) : buffer_(kAnswerSize), timeoutMs_(timeoutMs) {}

IpNetlink::~IpNetlink() = default;

bool IpNetlink::open() {
    if (socket_) return true;
    socket_.reset(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
    if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("cannot open an rtnetlink socket, running ip instead: %s", strerror(errno)));
        socket_.reset();
        return false;
    }
    // As ip asks: the kernel's explanation with an error, without our
    // request copied back, and dumps that honour their table filter.
    int on = 1;
    for (int option : {NETLINK_EXT_ACK, NETLINK_CAP_ACK, NETLINK_GET_STRICT_CHK})
        mnl_socket_setsockopt(socket_.get(), option, &on, sizeof on);
    timeval timeout{timeoutMs_ / 1000, (timeoutMs_ % 1000) * 1000};
    setsockopt(mnl_socket_get_fd(socket_.get()), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return true;
}

// The index of a device, 0 when there is none of that name. Asked on the
// rtnetlink socket we hold: if_nametoindex would open and close a socket of
// its own for every line.
uint32_t IpNetlink::deviceIndex(const std::string& name) {
    ifreq request;
    memset(&request, 0, sizeof request);
    if (name.size() >= sizeof request.ifr_name) return 0;
    memcpy(request.ifr_name, name.data(), name.size());
    if (ioctl(mnl_socket_get_fd(socket_.get()), SIOCGIFINDEX, &request) != 0) return 0;
    return uint32_t(request.ifr_ifindex);
}

int IpNetlink::exchange(const void* bytes, size_t size, unsigned first,
                        const std::function<bool(const nlmsghdr*)>& handle, std::string& error) {
    auto lost = [&](const char* what) {
        error = std::string(what) + ": " + strerror(errno);
        socket_.reset();
        return -1;
    };
    if (mnl_socket_sendto(socket_.get(), bytes, size) < 0) return lost("cannot send to the kernel");
    for (;;) {
        ssize_t got = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return lost("no answer from the kernel");
        int left = int(got);
        for (auto* m = reinterpret_cast<nlmsghdr*>(buffer_.data()); mnl_nlmsg_ok(m, left); m = mnl_nlmsg_next(m, &left)) {
            // A late answer to an earlier request is skipped.
            if (m->nlmsg_seq >= first && m->nlmsg_seq <= sequence_ && handle(m)) return 0;
        }
    }
}

int IpNetlink::talk(void* message, std::string& error, const std::function<void(const nlmsghdr*)>& listed) {
    auto* request = static_cast<nlmsghdr*>(message);
    request->nlmsg_seq = ++sequence_;
    int answer = 0;
    auto handle = [&](const nlmsghdr* m) {
        if (m->nlmsg_type == NLMSG_ERROR || m->nlmsg_type == NLMSG_DONE) {
            answer = answerError(m, error);
            return true;
        }
        if (listed) listed(m);
        return false;
    };
    return exchange(request, request->nlmsg_len, sequence_, handle, error) < 0 ? -1 : answer;
}

// Sends a batch of deletes made from dumped routes. Only the last of them
// asks for an acknowledgement: the kernel answers the others only when they
// fail, and handles a send's messages in order, so the last one's
// acknowledgement comes after every answer to the ones before. A route that
// went away meanwhile is as good as deleted. 0, or the first other errno.
int IpNetlink::deleteRoutes(std::vector<char>& batch, std::string& error) {
    const unsigned first = sequence_ + 1;
    nlmsghdr* last = nullptr;
    int left = int(batch.size());
    for (auto* m = reinterpret_cast<nlmsghdr*>(batch.data()); mnl_nlmsg_ok(m, left); m = mnl_nlmsg_next(m, &left)) {
        m->nlmsg_type = RTM_DELROUTE;
        m->nlmsg_flags = NLM_F_REQUEST;
        m->nlmsg_seq = ++sequence_;
        last = m;
    }
    if (!last) return 0;
    last->nlmsg_flags |= NLM_F_ACK;
    int failure = 0;
    auto handle = [&](const nlmsghdr* m) {
        if (m->nlmsg_type != NLMSG_ERROR) return false;
        std::string text;
        const int answer = answerError(m, text);
        if (answer != 0 && answer != ESRCH && failure == 0) {
            failure = answer;
            error = text;
        }
        return m->nlmsg_seq == sequence_;
    };
    return exchange(batch.data(), batch.size(), first, handle, error) < 0 ? -1 : failure;
}

void IpNetlink::flush(uint32_t table, IpResult& result) {
    for (int round = 0; round < kFlushRounds; ++round) {
        char buf[kRequestSize] = {};
        nlmsghdr* m = mnl_nlmsg_put_header(buf);
        m->nlmsg_type = RTM_GETROUTE;
        m->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        auto* header = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(m, sizeof(rtmsg)));
        header->rtm_family = AF_INET;
        mnl_attr_put_u32(m, RTA_TABLE, table);
        // The table's routes as the kernel lists them, kDeleteBatch to a
        // batch, to be sent back as deletes once the listing has ended.
        std::vector<std::vector<char>> batches;
        size_t listed = 0;
        auto collect = [&](const nlmsghdr* route) {
            if (route->nlmsg_type != RTM_NEWROUTE || route->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
            auto* rt = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(route));
            if (rt->rtm_family != AF_INET || (rt->rtm_flags & RTM_F_CLONED) || routeTable(route) != table) return;
            if (listed++ % kDeleteBatch == 0) batches.emplace_back();
            const char* bytes = reinterpret_cast<const char*>(route);
            batches.back().insert(batches.back().end(), bytes, bytes + route->nlmsg_len);
            batches.back().resize(NLMSG_ALIGN(batches.back().size()));
        };
        if (talk(m, result.error, collect) != 0) {
            result.status = 2;
            result.error += "\nFlush terminated";
            return;
        }
        for (auto& batch : batches) {
            if (deleteRoutes(batch, result.error) != 0) {
                result.status = 2;
                return;
            }
        }
        if (listed == 0) return;
    }
    result.status = 1;
    result.error = "*** Flush remains incomplete after " + std::to_string(kFlushRounds) + " rounds. ***";
}

IpResult IpNetlink::unknownDevice(const std::string& name) {
    IpResult result;
    result.status = 1;
    result.error = "Cannot find device \"" + name + "\"";
    return result;
}

void IpNetlink::putRequest(const IpRequest& r, uint32_t device, nlmsghdr* m) {
    using Kind = IpRequest::Kind;
    const bool replace = r.kind == Kind::RouteReplace;
    const bool add = r.kind == Kind::RuleAdd || r.kind == Kind::RouteAdd || replace;
    const uint8_t headerTable = r.table < 256 ? uint8_t(r.table) : uint8_t(RT_TABLE_UNSPEC);
    m->nlmsg_flags = NLM_F_REQUEST | (replace ? NLM_F_CREATE | NLM_F_REPLACE : add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    if (r.kind == Kind::RuleAdd || r.kind == Kind::RuleDel) {
        m->nlmsg_type = add ? RTM_NEWRULE : RTM_DELRULE;
        auto* h = static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(m, sizeof(fib_rule_hdr)));
        h->family = AF_INET;
        h->table = headerTable;
        h->action = add ? FR_ACT_TO_TBL : FR_ACT_UNSPEC;
        if (r.hasMark) mnl_attr_put_u32(m, FRA_FWMARK, r.mark);
        if (r.hasSource) {
            h->src_len = r.source.length;
            mnl_attr_put(m, FRA_SRC, sizeof r.source.address, &r.source.address);
        }
        if (r.table >= 256) mnl_attr_put_u32(m, FRA_TABLE, r.table);
    } else {
        m->nlmsg_type = add ? RTM_NEWROUTE : RTM_DELROUTE;
        auto* h = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(m, sizeof(rtmsg)));
        h->rtm_family = AF_INET;
        h->rtm_table = headerTable;
        h->rtm_dst_len = r.destination.length;
        h->rtm_protocol = add ? RTPROT_BOOT : RTPROT_UNSPEC;
        h->rtm_scope = !add ? RT_SCOPE_NOWHERE : r.hasGateway ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
        h->rtm_type = add ? RTN_UNICAST : RTN_UNSPEC;
        if (r.table >= 256) mnl_attr_put_u32(m, RTA_TABLE, r.table);
        if (r.destination.length) mnl_attr_put(m, RTA_DST, sizeof r.destination.address, &r.destination.address);
        if (r.hasGateway) mnl_attr_put(m, RTA_GATEWAY, sizeof r.gateway, &r.gateway);
        if (device) mnl_attr_put_u32(m, RTA_OIF, device);
    }
}

bool IpNetlink::run(const IpRequest& r, IpResult& result) {
    using Kind = IpRequest::Kind;
    if (!open()) return false;
    result = IpResult();
    if (r.kind == Kind::RouteFlush) {
        flush(r.table, result);
        return true;
    }
    uint32_t device = 0;
    if (!r.device.empty() && (device = deviceIndex(r.device)) == 0) {
        result = unknownDevice(r.device);
        return true;
    }
    char buf[kRequestSize] = {};
    nlmsghdr* m = mnl_nlmsg_put_header(buf);
    putRequest(r, device, m);
    m->nlmsg_flags |= NLM_F_ACK;
    result.status = talk(m, result.error) == 0 ? 0 : 2;
    return true;
}

}  // namespace kernel
}  // namespace kor
