#pragma once
// The "ip rule" and "ip route" commands that the daemon writes, run in the
// runner's own process over rtnetlink instead of starting the ip tool, with
// the meaning, the exit status and the error text that ip gives them:
//
//   ip rule add|del [fwmark MARK] [from ADDR[/LEN]] table T
//   ip route add|del [to] default|ADDR[/LEN] table T [via GW] [dev DEV]
//   ip route flush table T
//
// ("/sbin/ip" alike; the keywords in any order, numbers in plain decimal,
// addresses as dotted quads, T from 1 to 4294967295). Anything else, and any
// command that cannot be read that strictly, is left to the real ip.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

namespace kor {
namespace kernel {

struct IpPrefix {
    uint32_t address = 0;  // network byte order
    uint8_t length = 0;
};

struct IpRequest {
    enum class Kind { RuleAdd, RuleDel, RouteAdd, RouteDel, RouteFlush, RouteReplace };
    Kind kind = Kind::RouteAdd;
    uint32_t table = 0;
    bool hasMark = false;         // rule: fwmark
    uint32_t mark = 0;
    bool hasSource = false;       // rule: from
    IpPrefix source;
    IpPrefix destination;         // route: "default" is length 0
    bool hasGateway = false;      // route: via
    uint32_t gateway = 0;         // network byte order
    std::string device;           // route: dev, empty when not given
};

// True when the words (program first) are one of the forms above; the
// request is then in out.
bool parseIpRequest(const std::vector<std::string>& words, IpRequest& out);

// What ip would return for a request, and the error text it would print.
struct IpResult {
    int status = 0;
    std::string error;
};

class IpNetlink {
public:
    // Waits at most timeoutMs for each answer of the kernel.
    explicit IpNetlink(int timeoutMs);
    ~IpNetlink();
    IpNetlink(const IpNetlink&) = delete;
    IpNetlink& operator=(const IpNetlink&) = delete;

    // Carries out the request. False when no rtnetlink socket can be opened:
    // the request was not tried and the real ip has to run it.
    bool run(const IpRequest& request, IpResult& result);
    // Carries out the requests in order, each with the result it has alone,
    // many to one send: only the last request of a send asks for an
    // acknowledgement, so the kernel answers the failures and that one. A
    // device that cannot be found fails its request without sending it.
    // False when no rtnetlink socket can be opened: nothing was tried.
    bool runBatch(const std::vector<IpRequest>& requests, std::vector<IpResult>& results);

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    // The largest message of a request.
    static constexpr size_t kRequestSize = 256;

    bool open();
    // Writes the request's message after the header m, without NLM_F_ACK;
    // device is the index of its "dev", 0 when it names none.
    static void putRequest(const IpRequest& request, uint32_t device, nlmsghdr* m);
    // The errno of an error or end-of-dump answer (0 for success), and ip's
    // text for it.
    static int answerError(const nlmsghdr* message, std::string& text);
    static IpResult unknownDevice(const std::string& name);
    // Sends one message and reads the kernel's answer to it: 0, the errno
    // the kernel answered, or -1 when no answer came (the socket is then
    // closed). What a dump request lists goes to listed, one message a call.
    int talk(void* message, std::string& error, const std::function<void(const nlmsghdr*)>& listed = nullptr);
    // Sends the bytes, then hands every answer numbered from first to the
    // last request sent to handle, until it returns true. 0, or -1 when the
    // kernel could not be reached (the socket is then closed).
    int exchange(const void* bytes, size_t size, unsigned first, const std::function<bool(const nlmsghdr*)>& handle,
                 std::string& error);
    uint32_t deviceIndex(const std::string& name);
    void flush(uint32_t table, IpResult& result);
    int deleteRoutes(std::vector<char>& batch, std::string& error);
    // How many requests one send of a batch may carry.
    size_t requestsPerSend() const;
    // Sends the messages of batch (requests[sent[i]] the i-th) and fills the
    // results of those the kernel refused; both are emptied.
    void sendBatch(std::vector<char>& batch, std::vector<size_t>& sent, std::vector<IpResult>& results);

    std::unique_ptr<mnl_socket, Closer> socket_;
    std::vector<char> buffer_;
    unsigned sequence_ = 0;
    int timeoutMs_;
};

}  // namespace kernel
}  // namespace kor
