// Reading the kernel's balancing state: iptables-save and ipset as child
// processes, the policy rules and routes over rtnetlink.

#include "kernel.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>

#include "Process.h"
#include "reconcile.h"
#include "routetables.h"

namespace kor {
namespace status {

namespace {

const int kProgramTimeoutMs = 10000;
const int kDumpTries = 5;

// Reads both pipes until they end or the time is up; false on the timeout.
bool drain(int out, int err, std::string& output, std::string& errors) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProgramTimeoutMs);
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string* into[2] = {&output, &errors};
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (poll(fds, 2, int(left.count())) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0)
                into[i]->append(buffer, size_t(got));
            else if (got == 0 || errno != EINTR)
                fds[i].fd = -1;
        }
    }
    return true;
}

// Runs a program and takes its output; false with the reason in error when
// it cannot be started, takes too long or fails.
bool runProgram(const std::vector<std::string>& args, std::string& output, std::string& error) {
    const std::string path = kor::kernel::resolveProgram(args[0]);
    int out[2], err[2];
    if (path.empty() || pipe2(out, O_CLOEXEC) != 0) {
        error = "cannot run " + args[0];
        return false;
    }
    kor::kernel::Fd outRead(out[0]), outWrite(out[1]);
    if (pipe2(err, O_CLOEXEC) != 0) {
        error = "cannot run " + args[0];
        return false;
    }
    kor::kernel::Fd errRead(err[0]), errWrite(err[1]), null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    kor::kernel::Child child(
        kor::kernel::spawnWithStdio(path, argv.data(), null.get(), outWrite.get(), errWrite.get()));
    outWrite.reset();
    errWrite.reset();
    std::string errors;
    int status = -1;
    if (child.pid() <= 0) {
        error = args[0] + " could not be started";
        return false;
    }
    if (!drain(outRead.get(), errRead.get(), output, errors)) {
        error = args[0] + " took too long";
        return false;
    }
    child.reap(&status, true);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = args[0] + " failed";
    if (!errors.empty()) error += ": " + errors.substr(0, errors.find('\n'));
    return false;
}

int collectAttribute(const nlattr* attribute, void* data) {
    const uint16_t type = mnl_attr_get_type(attribute);
    if (type <= FRA_MAX && mnl_attr_get_payload_len(attribute) == 4)
        static_cast<const nlattr**>(data)[type] = attribute;
    return MNL_CB_OK;
}

int onRule(const nlmsghdr* message, void* data) {
    auto& out = *static_cast<std::vector<PolicyRule>*>(data);
    if (message->nlmsg_type != RTM_NEWRULE || mnl_nlmsg_get_payload_len(message) < sizeof(fib_rule_hdr))
        return MNL_CB_OK;
    const auto* header = static_cast<const fib_rule_hdr*>(mnl_nlmsg_get_payload(message));
    if (header->family != AF_INET) return MNL_CB_OK;
    // The attributes of four bytes, which are all we read.
    const nlattr* attributes[FRA_MAX + 1] = {};
    mnl_attr_parse(message, sizeof(fib_rule_hdr), collectAttribute, attributes);
    PolicyRule rule;
    rule.table = attributes[FRA_TABLE] ? mnl_attr_get_u32(attributes[FRA_TABLE]) : header->table;
    rule.hasMark = attributes[FRA_FWMARK] != nullptr;
    if (rule.hasMark) rule.mark = mnl_attr_get_u32(attributes[FRA_FWMARK]);
    rule.hasSource = attributes[FRA_SRC] != nullptr;
    if (rule.hasSource) rule.source = ntohl(mnl_attr_get_u32(attributes[FRA_SRC]));
    rule.sourceLength = header->src_len;
    out.push_back(rule);
    return (message->nlmsg_flags & NLM_F_DUMP_INTR) ? MNL_CB_ERROR : MNL_CB_OK;
}

struct SocketCloser {
    void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};

// One dump of the rules; false when it failed or a change interrupted it.
bool dumpRules(mnl_socket* socket, unsigned sequence, std::vector<PolicyRule>& out) {
    char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = mnl_nlmsg_put_header(request);
    message->nlmsg_type = RTM_GETRULE;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message->nlmsg_seq = sequence;
    auto* header = static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(message, sizeof(fib_rule_hdr)));
    header->family = AF_INET;
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0) return false;
    std::vector<char> answer(MNL_SOCKET_BUFFER_SIZE * 4);
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t got = mnl_socket_recvfrom(socket, answer.data(), answer.size());
        if (got <= 0) return false;
        result = mnl_cb_run(answer.data(), size_t(got), sequence, mnl_socket_get_portid(socket), onRule, &out);
    }
    return result == MNL_CB_STOP;
}

}  // namespace

bool readMangle(MangleTable& out, std::string& error) {
    std::string listing;
    if (!runProgram({"iptables-save", "-t", "mangle", "-c"}, listing, error)) return false;
    if (parseMangleSave(listing, out)) return true;
    error = "cannot read what iptables-save lists";
    return false;
}

bool readPolicyRules(std::vector<PolicyRule>& out, std::string& error) {
    error = "the kernel did not list its policy rules";
    // A dump that a change interrupted is made again, on a socket of its own.
    for (unsigned attempt = 1; attempt <= kDumpTries; ++attempt) {
        std::unique_ptr<mnl_socket, SocketCloser> socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
        if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
            error = std::string("no rtnetlink socket: ") + strerror(errno);
            return false;
        }
        timeval wait = {5, 0};
        setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        out.clear();
        if (dumpRules(socket.get(), attempt, out)) return true;
    }
    return false;
}

bool readTables(const std::vector<uint32_t>& tables, KernelView& view, std::string& error) {
    kor::quorin::KernelRouteReader reader;
    std::vector<kor::quorin::TableRoute> routes;
    if (!reader.read(RT_TABLE_MAIN, routes, error)) return false;
    const std::vector<kor::quorin::CopyKey> wanted = kor::quorin::wantedCopies(routes);
    view.mainRoutes = wanted.size();
    for (uint32_t table : tables) {
        if (!reader.read(table, routes, error)) return false;
        const kor::quorin::ReconcilePlan plan = kor::quorin::planMemberTable(wanted, routes);
        MemberTable& member = view.tables[table];
        member = MemberTable();
        for (const kor::quorin::TableRoute& route : routes) {
            if (route.destination != 0) ++member.copies;
            if (route.destination == 0 && route.length == 0) member.hasDefault = true;
        }
        member.missing = plan.missing.size();
        member.stale = plan.stale.size();
    }
    return true;
}

bool readSetEntries(std::map<std::string, int64_t>& out, std::string& error) {
    std::string listing;
    if (!runProgram({"ipset", "list", "-t"}, listing, error)) return false;
    std::istringstream in(listing);
    std::string name;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Name: ", 0) == 0) name = line.substr(6);
        if (line.rfind("Number of entries: ", 0) == 0) out[name] = strtoll(line.c_str() + 19, nullptr, 10);
    }
    return true;
}

bool readKernel(const std::vector<uint32_t>& tables, KernelView& view, std::string& error) {
    view = KernelView();
    return readMangle(view.mangle, error) && readPolicyRules(view.rules, error) && readTables(tables, view, error) &&
           readSetEntries(view.setEntries, error);
}

}  // namespace status
}  // namespace kor
