// netstatd: the router's network-status service.
//
// Process entry: command line, logging, single-instance check and PID file,
// optional daemonizing, signal handlers, then one loop that serves the
// kernel's events, the configuration service and the system bus in turn.

#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include <dbus-c++/dbus.h>

#include "Netstatd.h"
#include "kor/InstanceLock.h"
#include "kor/daemon.h"
#include "kor/error/DefaultAssertHook.h"
#include "kor/notify.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"
#include "moduna/net/LoopBusDispatcher.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

const char* const kDefaultPidDirectory = "/var/run";
const char* const kDefaultCfgSocket = "/tmp/cfgserver.socket";

void printUsage() {
    std::cerr << "Usage: netstatd [options]\n"
              << " Options:\n"
              << "  -h: Print this help\n"
              << "  -b: Start as daemon instead of starting in foreground\n"
              << "  -d: Enable debug output (every signal and table write)\n"
              << "  -p <filepath>: PID file path (default: " << kDefaultPidDirectory << ")\n"
              << "  -n: Do not write the status tables\n"
              << "  -m: Follow and report the routes of the main table only\n"
              << "  -s <socket>: Configuration service socket (default: " << kDefaultCfgSocket << ")\n"
              << "  -e <bytes>: Receive buffer for the kernel's events (default: 32 MiB)\n";
    std::cerr.flush();
}

extern "C" void onStopSignal(int) { stopRequested = 1; }

}  // namespace

// Reads the options; -1 to go on, else the status to exit with.
static int readOptions(int argc, char** argv, bool& daemonize, std::string& pidDirectory,
                       kor::netstatd::Netstatd::Options& options) {
    int opt;
    while ((opt = getopt(argc, argv, "hbdmp:ns:e:")) != -1) {
        switch (opt) {
        case 'h':
            printUsage();
            return 0;
        case 'b':
            daemonize = true;
            break;
        case 'd':
            options.verbose = true;
            break;
        case 'p':
            pidDirectory = optarg;
            break;
        case 'n':
            options.writeTables = false;
            break;
        case 'm':
            options.mainTableOnly = true;
            break;
        case 's':
            options.cfgSocket = optarg;
            break;
        case 'e': {
            char* end = nullptr;
            const long bytes = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || bytes < 4096 || bytes > (1L << 30)) {
                printUsage();
                return 1;
            }
            options.eventBuffer = int(bytes);
            break;
        }
        default:
            printUsage();
            return 1;
        }
    }
    if (optind < argc) {
        printUsage();
        return 1;
    }
    return -1;
}

int main(int argc, char** argv) {
    kor::error::DefaultAssertHook assertHook;
    KOR_Sysloglevel_construct2("", argv[0]);
    const KOR_Modul logModule = KOR_Sysloglevel_registerModul("netstatd");

    bool daemonize = false;
    std::string pidDirectory = kDefaultPidDirectory;
    kor::netstatd::Netstatd::Options options;
    options.cfgSocket = kDefaultCfgSocket;
    const int optionStatus = readOptions(argc, argv, daemonize, pidDirectory, options);
    if (optionStatus >= 0) return optionStatus;
    if (options.verbose) KOR_Sysloglevel_changeTracelevel("netstatd", 1023);

    KOR_Daemon daemon;
    kor::InstanceLock instanceLock;
    // Two instances would fight over the bus names and the status tables.
    if (KOR_Daemon_start(&daemon, instanceLock, "netstatd", pidDirectory.c_str(), daemonize, assertHook, logModule) != 0)
        return 1;
    KOR_Daemon_stopSignals(onStopSignal);

    int exitStatus = 0;
    {
        // Torn down in reverse order: the service (and its bus connection)
        // before the dispatchers it uses.
        moduna::net::EventDispatcher events;
        moduna::net::LoopBusDispatcher busDispatcher(events);
        DBus::DefaultTimeout busTimeout(0, false, &busDispatcher);
        DBus::default_dispatcher = &busDispatcher;

        kor::netstatd::Netstatd service(events, options);
        kor::ServiceNotifier manager;
        if (service.start()) {
            KOR_Sysloglevel_info(logModule, "netstatd", __LINE__, "started");
            while (!stopRequested && !service.superseded()) {
                events.handleEvents(1000);
                busDispatcher.do_iteration();
                service.checkBus();
                if (service.onBus()) manager.ready();
                manager.alive();
            }
            if (service.superseded()) {
                KOR_Sysloglevel_error(logModule, "netstatd", __LINE__, "the bus names are taken; exiting");
                exitStatus = 1;
            } else {
                KOR_Sysloglevel_info(logModule, "netstatd", __LINE__, "exiting");
            }
        } else {
            KOR_Sysloglevel_error(logModule, "netstatd", __LINE__, "cannot read the kernel's network state; exiting");
            exitStatus = 1;
        }
    }
    KOR_Daemon_deletePidFile(&daemon);
    return exitStatus;
}
