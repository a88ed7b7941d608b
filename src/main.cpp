// quorin: the WAN load-balancing daemon.
//
// Process entry: command line, logging, single-instance check and PID file,
// optional daemonizing, signal handlers, the long-lived objects, the main
// loop that serves the configuration socket and the system bus in turn, and
// the teardown in reverse order of construction.

#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>

#include <dbus-c++/dbus.h>

#include "bussession.h"
#include "kor/cfg/NotificationHandler.h"
#include "kor/InstanceLock.h"
#include "kor/daemon.h"
#include "kor/error/DefaultAssertHook.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"
#include "moduna/net/LoopBusDispatcher.h"
#include "quorin.h"
#include "servicestatus.h"

namespace {

// Set by -d; never cleared.
bool debugMode = false;
// Set by the stop signals; read once at the top of every main-loop pass.
volatile std::sig_atomic_t stopRequested = 0;

const char* const defaultPidPath = "/var/run";
const char* const defaultCfgSocketPath = "/tmp/cfgserver.socket";

void printUsage() {
    std::cerr << "Usage: quorin [options]\n"
              << " Options:\n"
              << "  -h: Print this help\n"
              << "  -b: Start as daemon instead of starting in foreground\n"
              << "  -d: Enable debug output\n"
              << "  -p <filepath>: PID file path (default: " << defaultPidPath << ")\n"
              << "  -s <socket>: configuration service socket (default: " << defaultCfgSocketPath << ")\n";
    std::cerr.flush();
}

extern "C" void onStopSignal(int) { stopRequested = 1; }

// A write to a closed pipe or socket then fails with EPIPE instead of ending
// the process.
extern "C" void onBrokenPipe(int) {}

// The controller's work of every pass of the main loop, after the events:
// the route copies come to rest, a reconcile that is due, the prerequisite
// checks and the state file.
void tend(kor::quorin::quorin& controller, kor::quorin::RouteTableReader& routeReader) {
    const auto now = std::chrono::steady_clock::now();
    controller.settleCopies(now);
    if (controller.reconcilePending) {
        controller.reconcilePending = false;
        if (!controller.reconcileMemberTables(routeReader)) controller.requestReconcile("a table could not be read");
    }
    controller.checkPrerequisites(now);
    controller.publishState(time(nullptr));
}

// Reads the options; -1 to go on, else the status to exit with.
int readOptions(int argc, char** argv, bool& daemonize, std::string& pidPath, std::string& cfgSocketPath) {
    int opt;
    while ((opt = getopt(argc, argv, "hbdp:s:")) != -1) {
        switch (opt) {
        case 'h':
            printUsage();
            return 0;
        case 'b':
            daemonize = true;
            std::cout << "Daemonize: " << daemonize << std::endl;
            break;
        case 'd':
            debugMode = true;
            std::cout << "Debug mode on" << std::endl;
            break;
        case 'p':
            pidPath = optarg;
            std::cout << "PID file path: " << pidPath << std::endl;
            break;
        case 's':
            cfgSocketPath = optarg;
            std::cout << "Configuration socket: " << cfgSocketPath << std::endl;
            break;
        default:
            // getopt has already printed its own diagnostic for '?'.
            std::cerr << "Unknown option: " << opt << std::endl;
            printUsage();
            return 1;
        }
    }
    return -1;
}

// The long-lived objects and the main loop, until a stop signal.
//
// Neither a lost bus nor a route service that does not answer ends the
// loop: the teardown would remove every rule and leave the router balancing
// nothing. The bus session keeps the rules, reconnects and asks again (see
// bussession.h); only an error that nothing here expects still ends the
// daemon.
void run(const std::string& pidPath, const std::string& cfgSocketPath, KOR_Modul logModule) {
    // Everything here is torn down in reverse order of construction, also
    // when an exception leaves.
    moduna::net::EventDispatcher eventDispatcher;
    kor::cfg::NotificationHandler notificationHandler(cfgSocketPath, eventDispatcher, "quorin", false, 60, 500,
                                                      true, false);

    // The bus dispatcher hands the bus's descriptors to the event
    // dispatcher, so that bus traffic ends its wait at once. A timeout of
    // 0 ms makes one dispatch iteration poll the bus without waiting.
    moduna::net::LoopBusDispatcher busDispatcher(eventDispatcher);
    DBus::DefaultTimeout busTimeout(0, false, &busDispatcher);
    DBus::default_dispatcher = &busDispatcher;

    // The kernel's routing tables, read for the copies a new member's
    // table is filled with and for the comparisons with the main table.
    kor::quorin::KernelRouteReader routeReader;
    // The chains and sysctls the prerequisite checks read.
    kor::quorin::KernelRouterState routerState;
    // Where the first commit finds what an earlier quorin left.
    kor::quorin::CommandLister leftoverLister;
    kor::quorin::quorin controller;
    controller.setRouteReader(&routeReader);
    controller.setRouterState(&routerState);
    controller.setLeftoverLister(&leftoverLister);
    // Beside the PID file, in the runtime directory: a reboot forgets
    // the numbers with the connections they belong to.
    controller.setNumbersFile(pidPath + "/quorin.numbers");
    // What quorin-status reads; removed when the controller goes.
    controller.setStateFile(pidPath + "/quorin.state");

    // The connection and the proxies; when the bus cannot be reached
    // the daemon starts without them and keeps trying.
    kor::quorin::BusSession bus(controller, eventDispatcher, logModule);

    if (debugMode) controller.setDebugOption(true);

    notificationHandler.registerConfigHandler(controller);
    notificationHandler.initialize();

    kor::ServiceNotifier manager;
    while (!stopRequested) {
        if (eventDispatcher.handleEvents(1000)) notificationHandler.process();
        busDispatcher.do_iteration();
        bus.serve();
        bus.serveRouteQuery();
        tend(controller, routeReader);
        kor::quorin::tellManager(manager, controller);
    }

    KOR_Sysloglevel_info(logModule, "main", __LINE__, "run: exiting");
}

// run, and the exit status: 1 when an error that nothing expects ended it.
int serve(const std::string& pidPath, const std::string& cfgSocketPath, KOR_Modul logModule) {
    try {
        run(pidPath, cfgSocketPath, logModule);
        return 0;
    } catch (const std::exception& e) {
        KOR_Sysloglevel_error(logModule, "main", __LINE__, e.what());
    } catch (...) {
        KOR_Sysloglevel_error(logModule, "main", __LINE__, "Unknown exception");
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    kor::error::DefaultAssertHook assertHook;

    KOR_Sysloglevel_construct2("", argv[0]);
    const KOR_Modul logModule = KOR_Sysloglevel_registerModul("quorin");

    bool daemonize = false;
    std::string pidPath = defaultPidPath;
    std::string cfgSocketPath = defaultCfgSocketPath;
    const int optionStatus = readOptions(argc, argv, daemonize, pidPath, cfgSocketPath);
    if (optionStatus >= 0) return optionStatus;

    if (debugMode) KOR_Sysloglevel_changeTracelevel("quorin", 1023);

    // Console logging until we know whether we daemonize.
    KOR_Sysloglevel_set(0);
    assertHook.setSyslog(false);

    KOR_Daemon daemon;
    KOR_Daemon_construct(&daemon, "quorin", pidPath.c_str());

    // Checked in the foreground too: two instances would fight over the same
    // chains and routing tables.
    if (KOR_Daemon_occupiedPidFile(&daemon) != 0) {
        const std::string text = std::string("Another process is already running. Exiting...") + "\n";
        KOR_Sysloglevel_error(logModule, "main", __LINE__, text.c_str());
        return 1;
    }
    // The PID file is written only with -b: this lock keeps a second quorin
    // in the foreground from duplicating every rule, and from taking the
    // first one's policy away when either stops.
    kor::InstanceLock instanceLock;
    std::string why;
    if (!instanceLock.take("quorin", "", why)) {
        KOR_Sysloglevel_error(logModule, "main", __LINE__, (why + ". Exiting...").c_str());
        return 1;
    }

    // Two instances that both passed the check above race for the PID file;
    // the one that does not get it ends here.
    if (daemonize && KOR_Daemon_background(&daemon, assertHook, logModule, "main") != 0) return 1;
    instanceLock.renew();

    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    signal(SIGQUIT, onStopSignal);
    signal(SIGPIPE, onBrokenPipe);

    const int exitStatus = serve(pidPath, cfgSocketPath, logModule);

    KOR_Daemon_deletePidFile(&daemon);
    return exitStatus;
}
