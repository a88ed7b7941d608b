#pragma once
// The nf_tables generation: a number the kernel changes at every commit of
// a ruleset change, asked over NETLINK_NETFILTER (NFT_MSG_GETGEN) in this
// process. Equal numbers mean nobody changed the ruleset in between. Also
// asks whether an ipset exists (IPSET_CMD_HEADER), on the same socket.

#include <cstdint>
#include <memory>
#include <string>

struct mnl_socket;
struct nlmsghdr;

namespace kor {
namespace kernel {

class NftGeneration {
public:
    explicit NftGeneration(int timeoutMs) : timeoutMs_(timeoutMs) {}
    ~NftGeneration();
    NftGeneration(const NftGeneration&) = delete;
    NftGeneration& operator=(const NftGeneration&) = delete;

    // The current generation; false when the kernel could not be asked.
    bool read(uint32_t& generation);
    // Whether the ipset exists; false when the kernel could not be asked.
    bool setExists(const std::string& name, bool& exists);

private:
    bool open();
    // Sends the request and hands its answers to callback (libmnl's); the
    // result of mnl_cb_run, or -2 when no answer came.
    int talk(nlmsghdr* request, int (*callback)(const nlmsghdr*, void*), void* data);
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    std::unique_ptr<mnl_socket, Closer> socket_;
    unsigned sequence_ = 0;
    int timeoutMs_;
};

}  // namespace kernel
}  // namespace kor
