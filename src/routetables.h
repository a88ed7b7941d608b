#pragma once
// The routes of one kernel routing table as the member-table reconcile
// compares them: unicast IPv4 routes, never cached clones, each reduced to
// what a copy carries (destination, prefix length, gateway, device) and its
// metric. The kernel reader dumps a table over rtnetlink, so that a table of
// any size is read without a message size limit of the bus.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct mnl_socket;

namespace kor {
namespace quorin {

struct TableRoute {
    uint32_t destination = 0;  // host byte order
    uint8_t length = 0;
    uint32_t gateway = 0;      // host byte order; 0 when none
    uint32_t device = 0;       // interface index; 0 when none
    uint32_t metric = 0;
};

class RouteTableReader {
public:
    virtual ~RouteTableReader() = default;
    // Replaces out with the routes of the table; false with the reason in
    // error when the table cannot be read whole.
    virtual bool read(uint32_t table, std::vector<TableRoute>& out, std::string& error) = 0;
    // The device's name for a copy's line; "" when the index is unknown.
    virtual std::string deviceName(uint32_t index) = 0;
};

class KernelRouteReader : public RouteTableReader {
public:
    KernelRouteReader();
    ~KernelRouteReader() override;
    bool read(uint32_t table, std::vector<TableRoute>& out, std::string& error) override;
    std::string deviceName(uint32_t index) override;

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    bool open(std::string& error);
    // One dump of the table; false when it failed or was interrupted by a
    // change (interrupted then says so).
    bool dumpOnce(uint32_t table, std::vector<TableRoute>& out, bool& interrupted, std::string& error);

    std::unique_ptr<mnl_socket, Closer> socket_;
    std::vector<char> buffer_;
    unsigned sequence_ = 0;
    std::map<uint32_t, std::string> names_;
};

}  // namespace quorin
}  // namespace kor
