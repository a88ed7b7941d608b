#pragma once
// The daemon's session on the system bus: the connection, the three
// network-status proxies, a watch on the owner of the route service's name,
// and the main-table query that the controller asks for.
//
// A lost bus does not end the daemon: the kernel rules stay as they are
// (the teardown that a stop runs would remove them and leave the router
// balancing nothing), the proxies and the connection are dropped, and the
// session connects again after a delay that starts at 250 ms and doubles up
// to 5 s. When it is back the proxies subscribe again, and the controller is
// asked to compare the member tables with the main table, as route signals
// were missed. The configuration client goes on being served meanwhile, so
// configuration changes are still applied.
//
// A failing main-table query (the route service is away, does not answer,
// or answers with an error) does not end the daemon either: it is tried
// again after 1 s, doubling up to 30 s, and at once when the route service
// takes its name again. An answer that the route service refuses as larger
// than a bus message is not asked for again: the controller is asked to
// reconcile, which reads the main table from the kernel itself.

#include <memory>
#include <string>

#include <dbus-c++/dbus.h>

#include "backoff.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"
#include "quorin.h"

namespace kor {
namespace quorin {

class V4AddressDBusProxy;
class InterfaceStatusDBusProxy;
class IPv4RouteDBusProxy;
class BusNameWatch;

class BusSession {
public:
    // Connects at once; when the bus cannot be reached, the next serve()
    // after the first delay tries again. The event dispatcher's wait is
    // woken when a try is due.
    BusSession(quorin& controller, moduna::net::EventDispatcher& events, KOR_Modul logModule);
    ~BusSession();
    BusSession(const BusSession&) = delete;
    BusSession& operator=(const BusSession&) = delete;

    // Run after every dispatch of the bus: drops a connection that the bus
    // closed, and connects when a try is due.
    void serve();
    // The route sync that the controller asked for: a comparison of the
    // member tables with the main table as the kernel holds them, or, when
    // the main table cannot be read, the full copy of the route service's
    // list, when the bus is there and no retry is waited for.
    void serveRouteQuery();

    bool connected() const { return bool(connection_); }

private:
    bool open();
    // Lets go of the proxies and the connection; nothing stays behind that
    // points at the connection.
    void drop();
    void connectFailed(const std::string& why);
    void routeQueryFailed(const DBus::Error& error);
    // The route service's name has a new owner ("" when it left).
    void routeServiceOwner(const std::string& owner);
    // Makes the event dispatcher's wait end after delay, so that the try
    // is made on time.
    void wakeAfter(Backoff::Ms delay);

    quorin& controller_;
    moduna::net::EventDispatcher& events_;
    const KOR_Modul log_;
    Backoff connectRetry_;
    Backoff routeRetry_;
    // Set once a connection was lost, until the next one is up.
    bool lost_ = false;
    std::unique_ptr<DBus::Connection> connection_;
    std::unique_ptr<V4AddressDBusProxy> addressProxy_;
    std::unique_ptr<InterfaceStatusDBusProxy> statusProxy_;
    std::unique_ptr<IPv4RouteDBusProxy> routeProxy_;
    std::unique_ptr<BusNameWatch> routeOwnerWatch_;
};

}  // namespace quorin
}  // namespace kor
