#include "NetworkState.h"

#include <arpa/inet.h>
#include <linux/if.h>

#include <algorithm>
#include <climits>
#include <set>

namespace kor {
namespace netstatd {

namespace {

const uint32_t kMainTable = 254;  // RT_TABLE_MAIN
const char* const kLoopback = "lo";

Signal statusSignal(Signal::Type type, const std::string& name, bool value) {
    Signal signal;
    signal.type = type;
    signal.interfaceName = name;
    signal.value = value;
    return signal;
}

Signal routeSignal(Signal::Type type, const RouteArgs& args) {
    Signal signal;
    signal.type = type;
    signal.route = args;
    return signal;
}

std::vector<uint32_t> distinctLocals(const std::vector<Address>& addresses) {
    std::vector<uint32_t> locals;
    for (const auto& address : addresses)
        if (std::find(locals.begin(), locals.end(), address.local) == locals.end()) locals.push_back(address.local);
    return locals;
}

bool sameAddress(const Address& a, const Address& b) {
    return a.index == b.index && a.local == b.local && a.prefixLength == b.prefixLength;
}

}  // namespace

bool RouteArgs::operator==(const RouteArgs& other) const {
    return std::tie(destination, prefixLength, gateway, protocol, device, table) ==
           std::tie(other.destination, other.prefixLength, other.gateway, other.protocol, other.device, other.table);
}

bool Signal::operator==(const Signal& other) const {
    return type == other.type && interfaceName == other.interfaceName && address == other.address &&
           value == other.value && route == other.route;
}

std::string Signal::toString() const {
    const char* flag = value ? "true" : "false";
    auto routeText = [this](const char* name) {
        return std::string(name) + "(" + route.destination + ", " + std::to_string(route.prefixLength) + ", " +
               route.gateway + ", " + route.protocol + ", " + route.device + ", " + std::to_string(route.table) + ")";
    };
    switch (type) {
    case Type::NewAddress:
        return "NewIPv4Address(" + interfaceName + ", " + address + ")";
    case Type::RemovedAddress:
        return "RemovedIPv4Address(" + interfaceName + ", " + address + ")";
    case Type::Status:
        return "StatusChange(" + interfaceName + ", " + flag + ")";
    case Type::LinkStatus:
        return "LinkStatusChange(" + interfaceName + ", " + flag + ")";
    case Type::NewRoute:
        return routeText("NewIPv4Route");
    case Type::RemovedRoute:
        return routeText("RemovedIPv4Route");
    case Type::RoutesReread:
        return "IPv4RoutesReread(" + std::to_string(route.table) + ")";
    }
    return "";
}

NetworkState::RouteKey NetworkState::keyOf(const Route& route) {
    const Nexthop& hop = route.firstNexthop();
    return RouteKey(route.table, route.destination, route.prefixLength, route.tos, route.priority, hop.gateway,
                    hop.device);
}

Resync NetworkState::apply(const NetlinkEvent& event, std::vector<Signal>& out) {
    Resync resync;
    switch (event.kind) {
    case NetlinkEvent::Kind::Link:
        if (event.removed) {
            linkGone(event.link.index, out);
            resync.routes = true;
        } else {
            linkSeen(event.link, out, resync);
        }
        break;
    case NetlinkEvent::Kind::Address:
        // Where a new address stands among the others (which one is
        // primary) only a dump tells. Removing an address flushes the
        // routes that used it without a RTM_DELROUTE.
        resync.addresses = true;
        if (event.removed) {
            addressGone(event.address, out);
            resync.routes = true;
        } else {
            addressSeen(event.address, out);
        }
        break;
    case NetlinkEvent::Kind::Route:
        // A replacement names the new route only; the dump shows which one
        // it took the place of.
        if (event.replaced)
            resync.routes = true;
        else if (event.removed)
            routeGone(event.route, out);
        else
            routeSeen(event.route, out);
        break;
    }
    return resync;
}

void NetworkState::linkSeen(const Link& link, std::vector<Signal>& out, Resync& resync) {
    auto found = links_.find(link.index);
    if (found == links_.end()) {
        links_[link.index] = link;
        out.push_back(statusSignal(Signal::Type::Status, link.name, link.up()));
        out.push_back(statusSignal(Signal::Type::LinkStatus, link.name, link.carrier()));
        return;
    }
    const Link before = found->second;
    found->second = link;
    if (before.name != link.name) {
        // Listeners know interfaces by name: the old name leaves with its
        // addresses and the new one arrives with them. The routes through
        // the interface name it too.
        const std::vector<uint32_t> addresses = locals(link.index);
        addressDifference(before.name, addresses, {}, Signal::Type::RemovedAddress, out);
        out.push_back(statusSignal(Signal::Type::Status, before.name, false));
        out.push_back(statusSignal(Signal::Type::Status, link.name, link.up()));
        out.push_back(statusSignal(Signal::Type::LinkStatus, link.name, link.carrier()));
        addressDifference(link.name, addresses, {}, Signal::Type::NewAddress, out);
        resync.routes = true;
        return;
    }
    if (before.up() != link.up()) out.push_back(statusSignal(Signal::Type::Status, link.name, link.up()));
    if (before.carrier() != link.carrier())
        out.push_back(statusSignal(Signal::Type::LinkStatus, link.name, link.carrier()));
    // A link going down takes its routes along without a RTM_DELROUTE.
    const unsigned watched = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;
    if (before.flags & watched & ~link.flags) resync.routes = true;
}

void NetworkState::linkGone(int index, std::vector<Signal>& out) {
    auto found = links_.find(index);
    if (found == links_.end()) return;
    addressDifference(found->second.name, locals(index), {}, Signal::Type::RemovedAddress, out);
    addresses_.erase(index);
    out.push_back(statusSignal(Signal::Type::Status, found->second.name, false));
    links_.erase(found);
}

void NetworkState::addressSeen(const Address& address, std::vector<Signal>& out) {
    const std::vector<uint32_t> before = locals(address.index);
    auto& list = addresses_[address.index];
    auto same = std::find_if(list.begin(), list.end(), [&](const Address& a) { return sameAddress(a, address); });
    if (same != list.end())
        *same = address;
    else
        list.push_back(address);
    addressDifference(interfaceName(address.index, address.label), locals(address.index), before,
                      Signal::Type::NewAddress, out);
}

void NetworkState::addressGone(const Address& address, std::vector<Signal>& out) {
    auto found = addresses_.find(address.index);
    if (found == addresses_.end()) return;
    const std::vector<uint32_t> before = locals(address.index);
    auto& list = found->second;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const Address& a) { return sameAddress(a, address); }),
               list.end());
    addressDifference(interfaceName(address.index, address.label), before, locals(address.index),
                      Signal::Type::RemovedAddress, out);
    if (list.empty()) addresses_.erase(found);
}

NetworkState::Reported NetworkState::reportOf(const Route& route) {
    Reported reported;
    reported.protocol = route.protocol;
    const Nexthop& hop = route.firstNexthop();
    reported.device = nameId(hop.device ? interfaceName(hop.device) : "");
    if (route.nexthops.size() > 1) reported.morePaths.assign(route.nexthops.begin() + 1, route.nexthops.end());
    return reported;
}

RouteArgs NetworkState::argsOf(const RouteKey& key, const Reported& reported) const {
    RouteArgs args;
    args.destination = dottedQuad(std::get<1>(key));
    args.prefixLength = std::get<2>(key);
    args.gateway = dottedQuad(std::get<5>(key));
    args.protocol = protocolText(reported.protocol);
    args.device = names_[reported.device];
    args.table = std::get<0>(key);
    return args;
}

// The key holds everything else that a report names.
bool NetworkState::sameReport(const Reported& a, const Reported& b) {
    return a.protocol == b.protocol && a.device == b.device;
}

uint32_t NetworkState::nameId(const std::string& name) {
    auto found = nameIds_.find(name);
    if (found != nameIds_.end()) return found->second;
    names_.push_back(name);
    return nameIds_[name] = uint32_t(names_.size() - 1);
}

void NetworkState::routeSeen(const Route& route, std::vector<Signal>& out) {
    if (!followed(route)) return;
    const RouteKey key = keyOf(route);
    Reported reported = reportOf(route);
    auto found = routes_.find(key);
    if (found != routes_.end()) {
        if (sameReport(found->second, reported)) {
            found->second.morePaths.swap(reported.morePaths);
            return;
        }
        out.push_back(routeSignal(Signal::Type::RemovedRoute, argsOf(found->first, found->second)));
    }
    out.push_back(routeSignal(Signal::Type::NewRoute, argsOf(key, reported)));
    routes_[key] = std::move(reported);
}

void NetworkState::routeGone(const Route& route, std::vector<Signal>& out) {
    if (!followed(route)) return;
    auto found = routes_.find(keyOf(route));
    if (found == routes_.end()) return;
    out.push_back(routeSignal(Signal::Type::RemovedRoute, argsOf(found->first, found->second)));
    routes_.erase(found);
}

void NetworkState::replaceLinks(const std::vector<Link>& links, std::vector<Signal>& out) {
    std::set<int> listed;
    for (const auto& link : links) listed.insert(link.index);
    std::vector<int> gone;
    for (const auto& entry : links_)
        if (!listed.count(entry.first)) gone.push_back(entry.first);
    for (int index : gone) linkGone(index, out);
    Resync ignored;  // the caller dumps addresses and routes next anyway
    for (const auto& link : links) linkSeen(link, out, ignored);
}

void NetworkState::replaceAddresses(const std::vector<Address>& addresses, std::vector<Signal>& out) {
    std::map<int, std::vector<Address>> next;
    for (const auto& address : addresses) next[address.index].push_back(address);
    std::map<int, std::vector<uint32_t>> before, after;
    std::map<int, std::string> names;
    for (const auto& entry : addresses_) {
        before[entry.first] = distinctLocals(entry.second);
        names[entry.first] = interfaceName(entry.first, entry.second.front().label);
    }
    for (const auto& entry : next) {
        after[entry.first] = distinctLocals(entry.second);
        names.emplace(entry.first, interfaceName(entry.first, entry.second.front().label));
    }
    addresses_.swap(next);
    for (const auto& entry : before)
        addressDifference(names[entry.first], entry.second, after[entry.first], Signal::Type::RemovedAddress, out);
    for (const auto& entry : after)
        addressDifference(names[entry.first], entry.second, before[entry.first], Signal::Type::NewAddress, out);
}

void NetworkState::replaceRoutes(const std::vector<Route>& routes, std::vector<Signal>& out) {
    std::map<RouteKey, Reported> next;
    for (const auto& route : routes)
        if (followed(route)) next.emplace(keyOf(route), reportOf(route));
    for (const auto& entry : routes_) {
        auto found = next.find(entry.first);
        if (found == next.end() || !sameReport(found->second, entry.second))
            out.push_back(routeSignal(Signal::Type::RemovedRoute, argsOf(entry.first, entry.second)));
    }
    for (const auto& entry : next) {
        auto found = routes_.find(entry.first);
        if (found == routes_.end() || !sameReport(found->second, entry.second))
            out.push_back(routeSignal(Signal::Type::NewRoute, argsOf(entry.first, entry.second)));
    }
    routes_.swap(next);
}

void NetworkState::publish(std::vector<Signal>& out) const {
    for (const auto& entry : links_) {
        const Link& link = entry.second;
        out.push_back(statusSignal(Signal::Type::Status, link.name, link.up()));
        out.push_back(statusSignal(Signal::Type::LinkStatus, link.name, link.carrier()));
        addressDifference(link.name, locals(link.index), {}, Signal::Type::NewAddress, out);
    }
}

RouteArgs NetworkState::describe(const Route& route) const {
    const Nexthop& hop = route.firstNexthop();
    RouteArgs args;
    args.destination = dottedQuad(route.destination);
    args.prefixLength = route.prefixLength;
    args.gateway = dottedQuad(hop.gateway);
    args.protocol = protocolText(route.protocol);
    args.device = hop.device ? interfaceName(hop.device) : "";
    args.table = route.table;
    return args;
}

Rows NetworkState::netifRows() const {
    Rows rows;
    for (const auto& entry : links_) {
        if (entry.second.name == kLoopback) continue;
        std::string primary = "0.0.0.0";
        auto found = addresses_.find(entry.first);
        if (found != addresses_.end()) {
            auto first = std::find_if(found->second.begin(), found->second.end(),
                                      [](const Address& a) { return !a.secondary(); });
            if (first != found->second.end()) primary = dottedQuad(first->local);
        }
        // An uplink that is down, not running or without carrier cannot
        // carry traffic, whatever address it keeps.
        const bool usable = entry.second.up() && entry.second.carrier();
        rows.push_back({{"Name", entry.second.name}, {"Addr", primary}, {"Link", usable ? "up" : "down"}});
    }
    return rows;
}

Rows NetworkState::gatewayRows() const {
    // Per interface, the lowest-metric default route of the main table
    // through it; each path of a multipath route counts for its own device.
    std::map<int, std::pair<uint32_t, uint32_t>> best;  // index -> (metric, gateway in host order)
    // The main table's default routes are one stretch of the keys: every
    // publish looks at them, never at the other routes.
    for (auto it = routes_.lower_bound(RouteKey(kMainTable, 0, 0, 0, 0, 0, INT_MIN));
         it != routes_.end() && std::get<0>(it->first) == kMainTable && std::get<1>(it->first) == 0 &&
         std::get<2>(it->first) == 0;
         ++it) {
        std::vector<Nexthop> paths{Nexthop{std::get<5>(it->first), std::get<6>(it->first)}};
        paths.insert(paths.end(), it->second.morePaths.begin(), it->second.morePaths.end());
        for (const auto& hop : paths) {
            if (!hop.device) continue;
            // Of equal metrics, the lowest gateway: an order that does not
            // depend on how the routes came in.
            const std::pair<uint32_t, uint32_t> candidate{std::get<4>(it->first), ntohl(hop.gateway)};
            auto found = best.find(hop.device);
            if (found == best.end() || candidate < found->second) best[hop.device] = candidate;
        }
    }
    Rows rows;
    for (const auto& entry : best) {
        auto link = links_.find(entry.first);
        if (link == links_.end() || link->second.name == kLoopback) continue;
        rows.push_back({{"InterfaceName", link->second.name}, {"GatewayAddress", dottedQuad(htonl(entry.second.second))}});
    }
    return rows;
}

std::string NetworkState::interfaceName(int index, const std::string& label) const {
    auto found = links_.find(index);
    if (found != links_.end()) return found->second.name;
    // Not seen yet: the address label starts with the interface's name.
    return label.substr(0, label.find(':'));
}

std::vector<uint32_t> NetworkState::locals(int index) const {
    auto found = addresses_.find(index);
    return found == addresses_.end() ? std::vector<uint32_t>() : distinctLocals(found->second);
}

void NetworkState::addressDifference(const std::string& name, const std::vector<uint32_t>& listed,
                                     const std::vector<uint32_t>& others, Signal::Type type,
                                     std::vector<Signal>& out) const {
    for (uint32_t local : listed) {
        if (std::find(others.begin(), others.end(), local) != others.end()) continue;
        Signal signal;
        signal.type = type;
        signal.interfaceName = name;
        signal.address = dottedQuad(local);
        out.push_back(signal);
    }
}

}  // namespace netstatd
}  // namespace kor
