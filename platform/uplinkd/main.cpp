// uplinkd: the router's uplink health-probe daemon.
//
// Process entry: command line, logging, single-instance check and PID file,
// optional daemonizing, signal handlers, then one loop that serves the probe
// sockets, their timers and the configuration service.

#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>

#include "Uplinkd.h"
#include "kor/cfg/NotificationHandler.h"
#include "kor/InstanceLock.h"
#include "kor/daemon.h"
#include "kor/error/DefaultAssertHook.h"
#include "kor/notify.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

const char* const kDefaultPidDirectory = "/var/run";
const char* const kDefaultCfgSocket = "/tmp/cfgserver.socket";

void printUsage() {
    std::cerr << "Usage: uplinkd [options]\n"
              << " Options:\n"
              << "  -h: Print this help\n"
              << "  -b: Start as daemon instead of starting in foreground\n"
              << "  -d: Enable debug output (every failed round and table write)\n"
              << "  -p <filepath>: PID file path (default: " << kDefaultPidDirectory << ")\n"
              << "  -s <socket>: Configuration service socket (default: " << kDefaultCfgSocket << ")\n";
    std::cerr.flush();
}

extern "C" void onStopSignal(int) { stopRequested = 1; }

// The probes and the configuration until a stop signal.
void serve(const std::string& cfgSocket, bool verbose, KOR_Modul logModule) {
    moduna::net::EventDispatcher events;
    kor::uplinkd::Uplinkd controller(events, cfgSocket, verbose);
    kor::cfg::NotificationHandler notifications(cfgSocket, events, "uplinkd", false, 60, 500, true, verbose);
    controller.start();
    notifications.registerConfigHandler(controller);
    notifications.initialize();
    KOR_Sysloglevel_info(logModule, "uplinkd", __LINE__, "started");
    kor::ServiceNotifier manager;
    manager.ready();
    while (!stopRequested) {
        if (events.handleEvents(1000)) notifications.process();
        manager.alive();
    }
    KOR_Sysloglevel_info(logModule, "uplinkd", __LINE__, "exiting");
    controller.stop();
}

}  // namespace

int main(int argc, char** argv) {
    kor::error::DefaultAssertHook assertHook;
    KOR_Sysloglevel_construct2("", argv[0]);
    const KOR_Modul logModule = KOR_Sysloglevel_registerModul("uplinkd");

    bool daemonize = false;
    bool verbose = false;
    std::string pidDirectory = kDefaultPidDirectory;
    std::string cfgSocket = kDefaultCfgSocket;
    int opt;
    while ((opt = getopt(argc, argv, "hbdp:s:")) != -1) {
        switch (opt) {
        case 'h':
            printUsage();
            return 0;
        case 'b':
            daemonize = true;
            break;
        case 'd':
            verbose = true;
            break;
        case 'p':
            pidDirectory = optarg;
            break;
        case 's':
            cfgSocket = optarg;
            break;
        default:
            printUsage();
            return 1;
        }
    }
    if (optind < argc) {
        printUsage();
        return 1;
    }
    if (verbose) KOR_Sysloglevel_changeTracelevel("uplinkd", 1023);

    KOR_Daemon daemon;
    kor::InstanceLock instanceLock;
    // Two instances would fight over the rules, the tables and UplinkHealth.
    if (KOR_Daemon_start(&daemon, instanceLock, "uplinkd", pidDirectory.c_str(), daemonize, assertHook, logModule) != 0)
        return 1;
    KOR_Daemon_stopSignals(onStopSignal);

    serve(cfgSocket, verbose, logModule);
    KOR_Daemon_deletePidFile(&daemon);
    return 0;
}
