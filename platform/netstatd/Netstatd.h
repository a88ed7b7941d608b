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
    // Another netstatd owns the bus names: this one ends.
    bool anotherInstance() const { return bus_.anotherInstance(); }

private:
    bool subscribe();
    void onEvents();
    // Dumps the parts named and reports how they differ from the state.
    bool resync(bool links, bool addresses, bool routes, std::vector<Signal>& out);
    // The same, and when a dump fails (a dump that changes keep
    // interrupting, while routes pour in), again and again a little later
    // until it succeeds: until then what was missed is not reported.
    void resyncOrRetry(bool links, bool addresses, bool routes, std::vector<Signal>& out);
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
    Resync pendingResync_;  // what the next retry dumps (links with addresses)
    // Kernel events were lost: the routes are owed a complete reread, and
    // once it succeeded listeners are told, after the differences.
    bool rereadOwed_ = false;
    bool routesReread_ = false;
};

}  // namespace netstatd
}  // namespace kor
