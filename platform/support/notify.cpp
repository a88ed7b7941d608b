#include "kor/notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace kor {

ServiceNotifier::ServiceNotifier() : fedAt_(Clock::now()) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) feedEvery_ = std::chrono::microseconds(usec / 2);
}

void ServiceNotifier::ready() {
    if (ready_) return;
    ready_ = true;
    sd_notify(0, "READY=1");
}

void ServiceNotifier::status(const std::string& line) {
    if (line == status_) return;
    status_ = line;
    sd_notify(0, ("STATUS=" + line).c_str());
}

void ServiceNotifier::alive() {
    if (feedEvery_ == Clock::duration::zero()) return;
    const Clock::time_point now = Clock::now();
    if (now - fedAt_ < feedEvery_) return;
    fedAt_ = now;
    sd_notify(0, "WATCHDOG=1");
}

int ServiceNotifier::waitLimit(int wantedMs) const {
    if (feedEvery_ == Clock::duration::zero()) return wantedMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(fedAt_ + feedEvery_ - Clock::now()).count();
    const int limit = left < 0 ? 0 : int(left) + 1;
    return wantedMs < 0 || limit < wantedMs ? limit : wantedMs;
}

}  // namespace kor
