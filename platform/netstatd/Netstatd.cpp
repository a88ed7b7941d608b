#include "Netstatd.h"

#include <linux/rtnetlink.h>
#include <malloc.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

namespace kor {
namespace netstatd {

namespace {

const uint32_t kMainTable = 254;
const int kRetryMs = 500;
// How long a batch waits for another client's transaction to end before
// its signals go out without the tables.
const int kBusyWaitMs = 3000;
// A change that the kernel reports in several messages close together (an
// address removed and added back by a renewal, a link going down with its
// routes) is taken as one batch: the batch ends when no message came for
// kQuietMs (a batch of routes alone: when nothing more is queued), or after
// kBatchMs at most.
const int kQuietMs = 10;
const int kBatchMs = 100;

// A dump of one kind, as records of that kind.
template <typename Record>
bool dumpRecords(RouteSocket& socket, uint16_t request, NetlinkEvent::Kind kind, Record NetlinkEvent::*member,
                 std::vector<Record>& out, uint32_t table = 0) {
    std::vector<NetlinkEvent> events;
    if (!socket.dump(request, events, table)) return false;
    for (const auto& event : events)
        if (event.kind == kind && !event.removed) out.push_back(event.*member);
    return true;
}

}  // namespace

Netstatd::Netstatd(moduna::net::EventDispatcher& events, const Options& options)
    : events_(events),
      options_(options),
      log_(KOR_Sysloglevel_registerModul("netstatd")),
      state_(options.mainTableOnly ? kMainTable : 0),
      bus_([this](uint32_t table) { return routesOfTable(table); }, options.verbose) {
    if (options_.writeTables)
        tables_ = std::make_unique<kor::cfg::StatusTableWriter>(events_, options_.cfgSocket, "netstatd",
                                                                options_.verbose);
}

Netstatd::~Netstatd() {
    if (busTimer_) events_.cancelTimer(busTimer_);
    if (resyncTimer_) events_.cancelTimer(resyncTimer_);
    if (eventFd_ >= 0) events_.removeDescriptor(eventFd_);
}

bool Netstatd::start() {
    // Subscribed before the first dump: what changes meanwhile arrives as
    // events afterwards, and applying it again does no harm.
    if (!dumpSocket_.openDumps() || !subscribe()) return false;
    // Nobody listens yet; the bus connection publishes the state.
    std::vector<Signal> unheard;
    if (!resync(true, true, true, unheard)) return false;
    publish({});
    connectBus();
    return true;
}

bool Netstatd::subscribe() {
    if (eventFd_ >= 0) events_.removeDescriptor(eventFd_);
    eventFd_ = -1;
    if (!eventSocket_.openEvents(options_.eventBuffer)) return false;
    eventFd_ = eventSocket_.fd();
    events_.addDescriptor(eventFd_, POLLIN, [this](int, short) { onEvents(); });
    return true;
}

RouteSocket::Received Netstatd::readBatch(std::vector<NetlinkEvent>& events) {
    // Gather what follows closely, so that a renewal that keeps the address
    // changes neither the tables nor the state.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBatchMs);
    for (;;) {
        // All that is queued, one datagram after the other: a burst is read
        // as fast as the kernel sends it.
        RouteSocket::Received received;
        do
            received = eventSocket_.receive(events);
        while (received == RouteSocket::Received::Events && std::chrono::steady_clock::now() < end);
        if (received == RouteSocket::Received::Overrun || received == RouteSocket::Received::Failed) return received;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) return RouteSocket::Received::Events;
        // Routes alone need no company: each is a signal of its own, and the
        // member tables of the balancer copy it as soon as it comes (a
        // 10 ms wait made every copied route 10 ms late).
        const bool routesOnly = std::all_of(events.begin(), events.end(), [](const NetlinkEvent& e) {
            return e.kind == NetlinkEvent::Kind::Route;
        });
        pollfd more = {eventFd_, POLLIN, 0};
        if (poll(&more, 1, routesOnly ? 0 : int(std::min<long>(left, kQuietMs))) <= 0)
            return RouteSocket::Received::Events;
    }
}

void Netstatd::onEvents() {
    std::vector<NetlinkEvent> events;
    std::vector<Signal> signals;
    const RouteSocket::Received received = readBatch(events);
    if (received == RouteSocket::Received::Overrun || received == RouteSocket::Received::Failed) {
        KOR_Sysloglevel_error(log_, "netstatd", __LINE__, "netlink: events were lost; reading the whole state again");
        // What the queue still holds is older than the dump; emptied, it
        // lets the kernel report the next loss, which the dump may miss.
        if ((received == RouteSocket::Received::Failed || !eventSocket_.discardQueued()) && !subscribe()) return;
        resyncOrRetry(true, true, true, true, signals);
    } else {
        if (events.empty()) return;
        Resync needed;
        for (const auto& event : events) {
            Resync more = state_.apply(event, signals);
            needed.addresses |= more.addresses;
            needed.routes |= more.routes;
        }
        if (needed.addresses || needed.routes)
            resyncOrRetry(false, needed.addresses, needed.routes, false, signals);
    }
    publish(signals);
}

bool Netstatd::resync(bool links, bool addresses, bool routes, std::vector<Signal>& out) {
    if (links) {
        std::vector<Link> records;
        if (!dumpRecords(dumpSocket_, RTM_GETLINK, NetlinkEvent::Kind::Link, &NetlinkEvent::link, records))
            return false;
        state_.replaceLinks(records, out);
    }
    if (addresses) {
        std::vector<Address> records;
        if (!dumpRecords(dumpSocket_, RTM_GETADDR, NetlinkEvent::Kind::Address, &NetlinkEvent::address, records))
            return false;
        state_.replaceAddresses(records, out);
    }
    if (routes) {
        std::vector<Route> records;
        if (!dumpRecords(dumpSocket_, RTM_GETROUTE, NetlinkEvent::Kind::Route, &NetlinkEvent::route, records,
                         options_.mainTableOnly ? kMainTable : 0))
            return false;
        state_.replaceRoutes(records, out);
        // A dump of a large table passes through memory once; give it back
        // rather than keep it for the next one.
        records = std::vector<Route>();
        malloc_trim(0);
    }
    return true;
}

void Netstatd::resyncOrRetry(bool links, bool addresses, bool routes, bool lost, std::vector<Signal>& out) {
    if (resync(links, addresses, routes, out)) {
        // After the differences: a listener that keeps copies of the routes
        // compares them with the table now.
        if (lost || (routes && dumpSocket_.lastDumpRetried())) {
            Signal reread;
            reread.type = Signal::Type::RoutesReread;
            reread.route.table = options_.mainTableOnly ? kMainTable : 0;
            out.push_back(reread);
        }
        return;
    }
    // Part of the state may be new, part old, and the events of the
    // meantime are not all in it: the retry reads everything.
    if (!resyncTimer_) resyncTimer_ = events_.addTimer(kRetryMs, [this]() { retryResync(); });
}

void Netstatd::retryResync() {
    resyncTimer_ = 0;
    std::vector<Signal> signals;
    resyncOrRetry(true, true, true, true, signals);
    publish(signals);
}

void Netstatd::publish(const std::vector<Signal>& signals) {
    if (tables_) {
        tables_->set("StatusNetifWatch", state_.netifRows());
        tables_->set("DefaultWANGateway", state_.gatewayRows());
        tables_->flush(kBusyWaitMs);
    }
    if (!signals.empty()) bus_.emit(signals);
}

void Netstatd::connectBus() {
    busTimer_ = 0;
    switch (bus_.open()) {
    case BusService::Opened::Yes:
        break;
    case BusService::Opened::No:
        busTimer_ = events_.addTimer(kRetryMs, [this]() { connectBus(); });
        return;
    case BusService::Opened::OtherNetstatd:
        superseded_ = true;
        return;
    }
    // A listener may have missed anything while the bus was away; routes it
    // asks for with GetIPv4RoutesFromTable.
    std::vector<Signal> signals;
    state_.publish(signals);
    bus_.emit(signals);
}

void Netstatd::checkBus() {
    if (!bus_.lost()) return;
    KOR_Sysloglevel_error(log_, "netstatd", __LINE__, "bus: connection lost; reconnecting");
    bus_.close();
    if (!busTimer_) busTimer_ = events_.addTimer(kRetryMs, [this]() { connectBus(); });
}

std::vector<RouteArgs> Netstatd::routesOfTable(uint32_t table) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<Route> routes;
    std::vector<RouteArgs> answer;
    // Table 0 would ask the kernel for every table.
    if (table == 0) return answer;
    if (!dumpRecords(dumpSocket_, RTM_GETROUTE, NetlinkEvent::Kind::Route, &NetlinkEvent::route, routes, table)) {
        KOR_Sysloglevel_error(log_, "netstatd", __LINE__, VAStr("GetIPv4RoutesFromTable(%u): no dump", table));
        return answer;
    }
    for (const auto& route : routes)
        if (route.reported() && route.table == table) answer.push_back(state_.describe(route));
    // The time the answer holds up the loop, which serves the kernel's events
    // too, is worth knowing with large tables.
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    KOR_Sysloglevel_info(log_, "netstatd", __LINE__,
                         VAStr("GetIPv4RoutesFromTable(%u): %zu routes, read in %lld ms", table, answer.size(),
                               static_cast<long long>(ms)));
    return answer;
}

}  // namespace netstatd
}  // namespace kor
