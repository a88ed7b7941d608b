#pragma once
// A raw ICMP socket that sends echo requests out of one uplink only: bound
// to the uplink's device (SO_BINDTODEVICE) and address, and marked
// (SO_MARK) so that uplinkd's policy rule routes it through the uplink's
// own table whatever the main table says. Only echo replies are taken in
// (ICMP_FILTER), and only those that arrive on the device.

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace uplinkd {

struct EchoReply {
    uint32_t source = 0;  // network byte order
    uint16_t identifier = 0;
    uint16_t sequence = 0;
};

class ProbeSocket {
public:
    ProbeSocket() = default;
    ~ProbeSocket() { close(); }
    ProbeSocket(const ProbeSocket&) = delete;
    ProbeSocket& operator=(const ProbeSocket&) = delete;

    // Opens a non-blocking socket for the device, mark and source address
    // (network byte order). False with the reason in error.
    bool open(const std::string& device, uint32_t mark, uint32_t source, std::string& error);
    void close();
    int fd() const { return fd_; }

    // Sends one echo request; false (with errno's text) when the kernel
    // refused it, as it does without a route.
    bool sendEcho(uint32_t target, uint16_t identifier, uint16_t sequence, std::string& error);
    // The echo replies waiting on the socket.
    std::vector<EchoReply> receive();

private:
    int fd_ = -1;
};

}  // namespace uplinkd
}  // namespace kor
