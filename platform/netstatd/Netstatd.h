#pragma once
// The network-status service: follows the kernel's links, IPv4 addresses
// and IPv4 routes, keeps the status tables true and reports every change on
// the system bus, all from one event loop.
//
// Each batch (what one read of the event socket gives, plus the dumps it
// makes necessary) is applied to the state first; then the status tables
// are written and their answers awaited; only then are the batch's signals
// sent, so that a listener woken by a signal finds the tables up to date.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BusService.h"
#include "NetworkState.h"
#include "RouteSocket.h"
#include "kor/cfg/StatusTableWriter.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace netstatd {

class Netstatd {
public:
    struct Options {
        bool writeTables = true;
        std::string cfgSocket = "/tmp/cfgserver.socket";
        bool verbose = false;  // log every signal and table write
        bool mainTableOnly = false;  // follow and report the main table's routes only
        int eventBuffer = 32 * 1024 * 1024;  // the event socket's receive buffer, in bytes
    };

    Netstatd(moduna::net::EventDispatcher& events, const Options& options);
    ~Netstatd();
    Netstatd(const Netstatd&) = delete;
    Netstatd& operator=(const Netstatd&) = delete;

    // Subscribes to the kernel's events, reads the whole state, writes the
    // tables and connects to the bus (or schedules a retry). False when the
    // kernel's state cannot be read.
    bool start();

    // To be run after every bus dispatch: notices a lost bus connection
    // and schedules a new one.
    void checkBus();

    // Another netstatd owns the bus names: this one has to end, with
    // exit status 1.
    bool superseded() const { return superseded_; }
    // Connected to the bus, with the names taken.
    bool onBus() const { return bus_.isOpen() && !bus_.lost(); }

private:
    bool subscribe();
    void onEvents();
    // Reads what the event socket holds and what follows closely into
    // events; Overrun or Failed when events were lost.
    RouteSocket::Received readBatch(std::vector<NetlinkEvent>& events);
    // Dumps the parts named and reports how they differ from the state.
    bool resync(bool links, bool addresses, bool routes, std::vector<Signal>& out);
    // The same, followed by IPv4RoutesReread when events were lost or the
    // route dump had to be made again. When a dump fails (one that changes
    // keep interrupting, while routes pour in), the whole state is read
    // again a little later, and again, until it succeeds.
    void resyncOrRetry(bool links, bool addresses, bool routes, bool lost, std::vector<Signal>& out);
    void retryResync();
    void publish(const std::vector<Signal>& signals);
    void connectBus();
    std::vector<RouteArgs> routesOfTable(uint32_t table);

    moduna::net::EventDispatcher& events_;
    const Options options_;
    const KOR_Modul log_;
    RouteSocket eventSocket_;
    RouteSocket dumpSocket_;
    int eventFd_ = -1;
    NetworkState state_;
    std::unique_ptr<kor::cfg::StatusTableWriter> tables_;
    BusService bus_;
    int busTimer_ = 0;
    int resyncTimer_ = 0;
    bool superseded_ = false;
};

}  // namespace netstatd
}  // namespace kor
