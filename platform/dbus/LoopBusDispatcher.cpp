#include "moduna/net/LoopBusDispatcher.h"

#include <dbus/dbus.h>
#include <poll.h>

#include <algorithm>

namespace moduna {
namespace net {

LoopBusDispatcher::LoopBusDispatcher(EventDispatcher& events) : events_(events) {
    pendingCheck_ = events_.addPendingCheck([this]() {
        syncDescriptors();
        return has_something_to_dispatch();
    });
}

LoopBusDispatcher::~LoopBusDispatcher() {
    events_.removePendingCheck(pendingCheck_);
    for (const auto& entry : registered_) events_.removeDescriptor(entry.first);
}

DBus::Watch* LoopBusDispatcher::add_watch(DBus::Watch::Internal* internal) {
    DBus::Watch* watch = DBus::BusDispatcher::add_watch(internal);
    watches_.push_back(watch);
    return watch;
}

void LoopBusDispatcher::rem_watch(DBus::Watch* watch) {
    watches_.erase(std::remove(watches_.begin(), watches_.end(), watch), watches_.end());
    DBus::BusDispatcher::rem_watch(watch);
}

void LoopBusDispatcher::syncDescriptors() {
    // The library enables a write watch only while it has output queued, so
    // handing POLLOUT over never spins on an idle socket.
    std::map<int, short> wanted;
    for (DBus::Watch* watch : watches_) {
        if (!watch->enabled()) continue;
        short events = 0;
        if (watch->flags() & DBUS_WATCH_READABLE) events |= POLLIN;
        if (watch->flags() & DBUS_WATCH_WRITABLE) events |= POLLOUT;
        if (events) wanted[watch->descriptor()] |= events;
    }
    for (auto it = registered_.begin(); it != registered_.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        events_.removeDescriptor(it->first);
        it = registered_.erase(it);
    }
    for (const auto& entry : wanted) {
        auto it = registered_.find(entry.first);
        if (it != registered_.end() && it->second == entry.second) continue;
        // Waking the wait is all: do_iteration() reads and dispatches.
        events_.addDescriptor(entry.first, entry.second, [](int, short) {});
        registered_[entry.first] = entry.second;
    }
}

}  // namespace net
}  // namespace moduna
