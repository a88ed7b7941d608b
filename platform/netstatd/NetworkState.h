#pragma once
// netstatd's view of the kernel: interfaces, their IPv4 addresses and the
// unicast IPv4 routes of every table. Events and complete dumps from the
// kernel update it; every update appends the signals that report what
// changed, and the status-table rows are computed from it.
//
// Applying the same event twice, or a dump that repeats events already
// applied, changes nothing and reports nothing: a dump and the events that
// arrive around it may overlap.

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "NetlinkMessages.h"
#include "kor/cfg/StatusRows.h"

namespace kor {
namespace netstatd {

// The arguments of "NewIPv4Route" and "RemovedIPv4Route".
struct RouteArgs {
    std::string destination;
    uint8_t prefixLength = 0;
    std::string gateway;  // "0.0.0.0" when none
    std::string protocol;
    std::string device;  // "" when none
    uint32_t table = 0;

    bool operator==(const RouteArgs& other) const;
    bool operator!=(const RouteArgs& other) const { return !(*this == other); }
};

struct Signal {
    // RoutesReread: the routes were read again after events were lost;
    // route.table names the table followed (0: every table).
    enum class Type { NewAddress, RemovedAddress, Status, LinkStatus, NewRoute, RemovedRoute, RoutesReread };
    Type type = Type::Status;
    std::string interfaceName;  // address and status signals
    std::string address;        // address signals
    bool value = false;         // Status: up; LinkStatus: carrier
    RouteArgs route;            // route signals

    bool operator==(const Signal& other) const;
    // The signal as a line for the log: its name and arguments.
    std::string toString() const;
};

// A status-table row: column name to text.
using kor::cfg::Row;
using kor::cfg::Rows;

// What the kernel may have changed without telling: to be read again.
struct Resync {
    bool addresses = false;
    bool routes = false;
};

class NetworkState {
public:
    // With a table number, only that table's routes are followed and
    // reported; 0 follows every table.
    explicit NetworkState(uint32_t onlyTable = 0) : onlyTable_(onlyTable) {}

    // One event from the kernel.
    Resync apply(const NetlinkEvent& event, std::vector<Signal>& out);

    // Complete dumps: the state becomes what the kernel listed, and the
    // differences are reported (every removal before any addition).
    void replaceLinks(const std::vector<Link>& links, std::vector<Signal>& out);
    void replaceAddresses(const std::vector<Address>& addresses, std::vector<Signal>& out);
    void replaceRoutes(const std::vector<Route>& routes, std::vector<Signal>& out);

    // The whole state as signals, for a listener that just arrived: status
    // and carrier of every interface and every address (no routes).
    void publish(std::vector<Signal>& out) const;

    // A route as the signals and GetIPv4RoutesFromTable report it.
    RouteArgs describe(const Route& route) const;

    // "StatusNetifWatch": Name, Addr (primary address or "0.0.0.0"), Link
    // ("up" when the interface is up, running and has carrier, else "down").
    Rows netifRows() const;
    // "DefaultWANGateway": InterfaceName, GatewayAddress.
    Rows gatewayRows() const;

private:
    // What tells two kernel routes apart: the kernel's own key (table,
    // destination, tos, priority) and, for routes appended beside one
    // another, their first path.
    using RouteKey = std::tuple<uint32_t, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t, int>;
    // What a reported route needs beside its key, kept small: tables of
    // 100,000 routes, copied into several more tables, all end up here.
    struct Reported {
        uint8_t protocol = 0;
        uint32_t device = 0;             // the device's name when reported, in names_
        std::vector<Nexthop> morePaths;  // the paths of a multipath route after the first
    };
    static RouteKey keyOf(const Route& route);
    Reported reportOf(const Route& route);
    // The arguments the route was reported with, rebuilt from what is kept.
    RouteArgs argsOf(const RouteKey& key, const Reported& reported) const;
    static bool sameReport(const Reported& a, const Reported& b);
    uint32_t nameId(const std::string& name);

    void linkSeen(const Link& link, std::vector<Signal>& out, Resync& resync);
    void linkGone(int index, std::vector<Signal>& out);
    void addressSeen(const Address& address, std::vector<Signal>& out);
    void addressGone(const Address& address, std::vector<Signal>& out);
    void routeSeen(const Route& route, std::vector<Signal>& out);
    void routeGone(const Route& route, std::vector<Signal>& out);

    std::string interfaceName(int index, const std::string& label = "") const;
    // The distinct addresses of an interface, in kernel order.
    std::vector<uint32_t> locals(int index) const;
    // An address signal of that type for each address of listed that
    // others lacks.
    void addressDifference(const std::string& name, const std::vector<uint32_t>& listed,
                           const std::vector<uint32_t>& others, Signal::Type type, std::vector<Signal>& out) const;

    std::map<int, Link> links_;
    std::map<int, std::vector<Address>> addresses_;  // kernel order per interface
    bool followed(const Route& route) const {
        return route.reported() && (onlyTable_ == 0 || route.table == onlyTable_);
    }

    uint32_t onlyTable_;
    std::map<RouteKey, Reported> routes_;
    // Every device name a route was reported with, once; "" is the first.
    std::vector<std::string> names_{""};
    std::map<std::string, uint32_t> nameIds_{{"", 0}};
};

}  // namespace netstatd
}  // namespace kor
