#pragma once
// The client of the route service: its two route signals mirror changes of
// the main routing table into the member tables, and its method lists the
// routes of one table for the full copy that the main loop makes.

#include <cstdint>
#include <string>
#include <vector>

#include <dbus-c++/dbus.h>

#include "dbus/ipv4route-proxy.h"
#include "quorin.h"

namespace kor {
namespace quorin {

// One route as the route service reports it. In the method's answer the
// prefix length is decimal text; the signals carry it as a byte, followed by
// the table number.
struct IPv4RouteInfo {
    std::string destination;   // dotted quad; "0.0.0.0" is the default route
    std::string prefixLength;  // decimal text
    std::string gateway;       // "0.0.0.0" when none
    std::string extra;         // the route's protocol; carried, never read
    std::string device;        // "" when none
};

class IPv4RouteDBusProxy : public com::mirandel::network::IPv4Route_proxy, public DBus::ObjectProxy {
public:
    IPv4RouteDBusProxy(DBus::Connection& connection, quorin* controller);
    ~IPv4RouteDBusProxy() override;

    // A route appeared in or left a table: routes of the main table, but the
    // default route, go to (or from) every member table.
    void onNewIPv4Route(const std::string& destination, const uint8_t& prefixLength, const std::string& gateway,
                        const std::string& extra, const std::string& device, const uint32_t& table);
    void onRemovedIPv4Route(const std::string& destination, const uint8_t& prefixLength,
                            const std::string& gateway, const std::string& extra, const std::string& device,
                            const uint32_t& table);

    // The route service read the kernel's routes again: signals may have
    // been lost, so the member tables are compared with the main table.
    void onIPv4RoutesReread(const uint32_t& table);

    // The routes of one kernel table, in the order of the answer. Blocks for
    // the answer; a failed call or an answer of the wrong shape throws the
    // bus library's error.
    std::vector<IPv4RouteInfo> GetIPv4RoutesFromTable(uint32_t table);

    // The filter of both route signals, without a bus.
    static void mirrorRoute(quorin& controller, int logModule, bool added, const std::string& destination,
                            uint8_t prefixLength, const std::string& gateway, const std::string& device,
                            uint32_t table);

    int logModule;
    quorin* controller;  // not owned; outlives the proxy

private:
    // The signal handlers of the generated base.
    void NewIPv4Route(const std::string& destination, const uint8_t& prefixLength, const std::string& gateway,
                      const std::string& extra, const std::string& device, const uint32_t& table) override {
        onNewIPv4Route(destination, prefixLength, gateway, extra, device, table);
    }
    void RemovedIPv4Route(const std::string& destination, const uint8_t& prefixLength, const std::string& gateway,
                          const std::string& extra, const std::string& device, const uint32_t& table) override {
        onRemovedIPv4Route(destination, prefixLength, gateway, extra, device, table);
    }
    void IPv4RoutesReread(const uint32_t& table) override { onIPv4RoutesReread(table); }
};

// The full copy of the main table that the main loop makes when the
// controller asks for it: every route of the list but the default route goes
// to every member table. Logs as the main loop.
void copyMainTableRoutes(quorin& controller, int logModule, const std::vector<IPv4RouteInfo>& routes);

}  // namespace quorin
}  // namespace kor
