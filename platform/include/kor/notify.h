#pragma once
// What a daemon tells the service manager that started it (sd_notify): that
// it is ready, a one-line status, and that its main loop still runs (the
// watchdog). Started otherwise (no NOTIFY_SOCKET), every call does nothing.

#include <chrono>
#include <string>

namespace kor {

class ServiceNotifier {
public:
    // Reads the watchdog interval the manager asked for, if any. Made in
    // the process that stays (after daemonizing).
    ServiceNotifier();

    // READY=1, the first time only.
    void ready();
    // STATUS=line, when it differs from the line sent last.
    void status(const std::string& line);
    // WATCHDOG=1 once half the watchdog interval has passed since the last
    // one; the main loop calls it on every pass.
    void alive();
    // How long a pass may wait for events (ms) and still feed the watchdog
    // in time: wantedMs, or less; -1 waits for ever.
    int waitLimit(int wantedMs) const;

private:
    using Clock = std::chrono::steady_clock;
    bool ready_ = false;
    std::string status_;
    Clock::duration feedEvery_{0};  // 0: no watchdog
    Clock::time_point fedAt_;
};

}  // namespace kor
