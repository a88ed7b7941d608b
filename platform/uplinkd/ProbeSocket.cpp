#include "ProbeSocket.h"

#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kor {
namespace uplinkd {

namespace {

uint16_t checksum(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t(bytes[i] << 8 | bytes[i + 1]);
    if (size & 1) sum += uint32_t(bytes[size - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return htons(uint16_t(~sum));
}

}  // namespace

bool ProbeSocket::open(const std::string& device, uint32_t mark, uint32_t source, std::string& error) {
    close();
    fd_ = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    icmp_filter filter{~(1u << ICMP_ECHOREPLY)};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = source;
    const char* step = nullptr;
    if (setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) step = "ICMP_FILTER";
    else if (setsockopt(fd_, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) step = "SO_MARK";
    else if (setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), socklen_t(device.size())) != 0)
        step = "SO_BINDTODEVICE";
    else if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) step = "bind";
    if (!step) return true;
    error = std::string(step) + ": " + strerror(errno);
    close();
    return false;
}

void ProbeSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ProbeSocket::sendEcho(uint32_t target, uint16_t identifier, uint16_t sequence, std::string& error) {
    struct {
        icmphdr header;
        char payload[24];
    } packet{};
    packet.header.type = ICMP_ECHO;
    packet.header.un.echo.id = htons(identifier);
    packet.header.un.echo.sequence = htons(sequence);
    memcpy(packet.payload, "uplinkd probe", 13);
    packet.header.checksum = checksum(&packet, sizeof packet);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = target;
    if (sendto(fd_, &packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == ssize_t(sizeof packet))
        return true;
    error = strerror(errno);
    return false;
}

std::vector<EchoReply> ProbeSocket::receive() {
    std::vector<EchoReply> replies;
    char buffer[1500];
    for (;;) {
        const ssize_t size = recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0 && errno == EINTR) continue;
        if (size <= 0) break;
        // A raw socket hands over the IP header too.
        iphdr ip;
        if (size_t(size) < sizeof ip) continue;
        memcpy(&ip, buffer, sizeof ip);
        const size_t headerSize = size_t(ip.ihl) * 4;
        if (size_t(size) < headerSize + sizeof(icmphdr)) continue;
        icmphdr icmp;
        memcpy(&icmp, buffer + headerSize, sizeof icmp);
        if (icmp.type != ICMP_ECHOREPLY) continue;
        replies.push_back({ip.saddr, ntohs(icmp.un.echo.id), ntohs(icmp.un.echo.sequence)});
    }
    return replies;
}

}  // namespace uplinkd
}  // namespace kor
