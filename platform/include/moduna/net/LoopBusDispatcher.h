#pragma once
// A D-Bus dispatcher whose connection descriptors also wake an
// EventDispatcher.
//
// The D-Bus library keeps its own watches (descriptors it wants to read or
// write) and runs them in do_iteration(). This subclass mirrors every enabled
// watch into the event dispatcher, so that a wait in handleEvents() ends as
// soon as bus traffic arrives, and reports pending work (messages already
// read but not yet dispatched) so that the event dispatcher does not sleep
// over it. The event dispatcher's callbacks do nothing but wake the wait: the
// messages themselves are still dispatched by do_iteration(), at the place in
// the loop where the program calls it.
//
// do_iteration() never blocks as long as a timeout of 0 ms is registered on
// the dispatcher (a DBus::DefaultTimeout(0, false, &dispatcher)), which
// makes the library poll its watches without waiting.

#include <map>
#include <vector>

#include <dbus-c++/dbus.h>

#include "moduna/net/EventDispatcher.h"

namespace moduna {
namespace net {

class LoopBusDispatcher : public DBus::BusDispatcher {
public:
    explicit LoopBusDispatcher(EventDispatcher& events);
    ~LoopBusDispatcher() override;
    LoopBusDispatcher(const LoopBusDispatcher&) = delete;
    LoopBusDispatcher& operator=(const LoopBusDispatcher&) = delete;

    DBus::Watch* add_watch(DBus::Watch::Internal* internal) override;
    void rem_watch(DBus::Watch* watch) override;

private:
    // Brings the event dispatcher's descriptors in line with the watches
    // that are enabled now; run before every wait.
    void syncDescriptors();

    EventDispatcher& events_;
    int pendingCheck_;
    std::vector<DBus::Watch*> watches_;
    std::map<int, short> registered_;  // descriptor -> poll events handed over
};

}  // namespace net
}  // namespace moduna
