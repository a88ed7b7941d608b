// The route service's client: route signals and the route query.

#include "ipv4route-dbus.h"

#include <cstdio>

#include "kor/sysloglevel.h"
#include "network-names.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "ipv4route-dbus";
const uint32_t mainTable = 254;
const char* const defaultDestination = "0.0.0.0";

}  // namespace

IPv4RouteDBusProxy::IPv4RouteDBusProxy(DBus::Connection& connection, quorin* controller)
    : DBus::ObjectProxy(connection, com::mirandel::network::ipv4RoutePath, com::mirandel::network::ipv4RouteName),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      controller(controller) {}

IPv4RouteDBusProxy::~IPv4RouteDBusProxy() = default;

void IPv4RouteDBusProxy::mirrorRoute(quorin& controller, int logModule, bool added, const std::string& destination,
                                     uint8_t prefixLength, const std::string& gateway, const std::string& device,
                                     uint32_t table) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, added ? "NewIPv4Route" : "RemovedIPv4Route");
    // The byte is unsigned: 255 stays 255.
    const int length = int(unsigned(prefixLength));
    if (table != mainTable) {
        KOR_Sysloglevel_debug(logModule, logFile, __LINE__,
                              "will ignore Dbus message because main table is not affected");
        return;
    }
    // Each member table has a default route of its own uplink.
    if (destination == defaultDestination) {
        KOR_Sysloglevel_debug(logModule, logFile, __LINE__,
                              "will ignore Dbus message because default route in main table was affected");
        return;
    }
    if (added) {
        KOR_Sysloglevel_debug(logModule, logFile, __LINE__, "will apply route from main table to sub tables");
        controller.AddRoute(destination, length, gateway, device);
    } else {
        KOR_Sysloglevel_debug(logModule, logFile, __LINE__,
                              "will delete route from sub tables because deleted from main table");
        controller.DelRoute(destination, length, gateway, device);
    }
}

void IPv4RouteDBusProxy::onNewIPv4Route(const std::string& destination, const uint8_t& prefixLength,
                                        const std::string& gateway, const std::string& /*extra*/,
                                        const std::string& device, const uint32_t& table) {
    mirrorRoute(*controller, logModule, true, destination, prefixLength, gateway, device, table);
}

void IPv4RouteDBusProxy::onRemovedIPv4Route(const std::string& destination, const uint8_t& prefixLength,
                                            const std::string& gateway, const std::string& /*extra*/,
                                            const std::string& device, const uint32_t& table) {
    mirrorRoute(*controller, logModule, false, destination, prefixLength, gateway, device, table);
}

void IPv4RouteDBusProxy::onIPv4RoutesReread(const uint32_t& table) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "IPv4RoutesReread");
    // 0: the service follows every table, the main table among them.
    if (table != mainTable && table != 0) return;
    controller->requestReconcile("the route service read the kernel's routes again");
}

std::vector<IPv4RouteInfo> IPv4RouteDBusProxy::GetIPv4RoutesFromTable(uint32_t table) {
    auto answer = com::mirandel::network::IPv4Route_proxy::GetIPv4RoutesFromTable(table);
    std::vector<IPv4RouteInfo> routes;
    routes.reserve(answer.size());
    for (auto& r : answer)
        routes.push_back({std::move(r._1), std::move(r._2), std::move(r._3), std::move(r._4), std::move(r._5)});
    return routes;
}

void copyMainTableRoutes(quorin& controller, int logModule, const std::vector<IPv4RouteInfo>& routes) {
    const bool debug = KOR_Sysloglevel_debugOn(logModule);
    // In batches of the queue's largest hold, not one per route.
    kor::cfg::ActionQueue::Hold hold(controller.getActionQueue());
    for (const IPv4RouteInfo& route : routes) {
        // A text that does not begin with a number leaves 0.
        int prefixLength = 0;
        sscanf(route.prefixLength.c_str(), "%d", &prefixLength);
        if (route.destination == defaultDestination) {
            if (debug)
                KOR_Sysloglevel_debug(logModule, "main", __LINE__,
                                      VAStr("IGNORE route %s/%d via %s on dev %s", route.destination.c_str(),
                                            prefixLength, route.gateway.c_str(), route.device.c_str()));
            continue;
        }
        controller.AddRoute(route.destination, prefixLength, route.gateway, route.device);
        if (debug)
            KOR_Sysloglevel_debug(logModule, "main", __LINE__,
                                  VAStr("Found route %s/%d via %s on dev %s and will apply them to system",
                                        route.destination.c_str(), prefixLength, route.gateway.c_str(),
                                        route.device.c_str()));
    }
}

}  // namespace quorin
}  // namespace kor
