#include "bussession.h"

#include <functional>

#include "interfacestatus-dbus.h"
#include "ipv4address-dbus.h"
#include "ipv4route-dbus.h"
#include "network-names.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "main";
const uint32_t mainTable = 254;
const char* const limitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";

long long ms(Backoff::Ms delay) { return static_cast<long long>(delay.count()); }

}  // namespace

// Follows "NameOwnerChanged" of the bus for one name. The match rule names
// the name, so the bus sends nothing about the others.
class BusNameWatch {
public:
    using Changed = std::function<void(const std::string& owner)>;

    BusNameWatch(DBus::Connection& connection, const std::string& name, Changed changed)
        : connection_(connection),
          name_(name),
          rule_("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                "member='NameOwnerChanged',path='/org/freedesktop/DBus',arg0='" +
                name + "'"),
          changed_(std::move(changed)) {
        slot_ = new DBus::Callback<BusNameWatch, bool, const DBus::Message&>(this, &BusNameWatch::onMessage);
        connection_.add_filter(slot_);
        try {
            connection_.add_match(rule_.c_str());
        } catch (...) {
            connection_.remove_filter(slot_);
            throw;
        }
    }

    ~BusNameWatch() {
        connection_.remove_filter(slot_);
        if (connection_.connected()) connection_.remove_match(rule_.c_str(), false);
    }

private:
    bool onMessage(const DBus::Message& message) {
        if (!message.is_signal("org.freedesktop.DBus", "NameOwnerChanged")) return false;
        const char* sender = message.sender();
        if (!sender || std::string(sender) != "org.freedesktop.DBus") return false;
        std::string name, oldOwner, newOwner;
        try {
            DBus::MessageIter reader = message.reader();
            reader >> name >> oldOwner >> newOwner;
        } catch (const DBus::Error&) {
            return false;
        }
        if (name != name_) return false;
        changed_(newOwner);
        // Other filters may follow the same signal.
        return false;
    }

    DBus::Connection& connection_;
    const std::string name_;
    const std::string rule_;
    Changed changed_;
    DBus::MessageSlot slot_;
};

BusSession::BusSession(quorin& controller, moduna::net::EventDispatcher& events, KOR_Modul logModule)
    : controller_(controller),
      events_(events),
      log_(logModule),
      connectRetry_(Backoff::Ms(250), Backoff::Ms(5000)),
      routeRetry_(Backoff::Ms(1000), Backoff::Ms(30000)) {
    open();
}

BusSession::~BusSession() { drop(); }

void BusSession::serve() {
    if (connection_ && !connection_->connected()) {
        KOR_Sysloglevel_error(log_, logFile, __LINE__,
                              "bus: the connection to the system bus was lost; the rules stay in place, "
                              "reconnecting");
        drop();
        lost_ = true;
        connectFailed("the connection was lost");
        return;
    }
    if (!connection_ && connectRetry_.due(Backoff::Clock::now())) open();
}

bool BusSession::open() {
    try {
        connection_ = std::make_unique<DBus::Connection>(DBus::Connection::SystemBus());
        // A lost bus is noticed in serve(); the library would end the
        // process where it stands.
        connection_->exit_on_disconnect(false);
        addressProxy_ = std::make_unique<V4AddressDBusProxy>(*connection_, &controller_);
        statusProxy_ = std::make_unique<InterfaceStatusDBusProxy>(*connection_, &controller_);
        routeProxy_ = std::make_unique<IPv4RouteDBusProxy>(*connection_, &controller_);
        routeOwnerWatch_ = std::make_unique<BusNameWatch>(
            *connection_, com::mirandel::network::ipv4RouteName,
            [this](const std::string& owner) { routeServiceOwner(owner); });
    } catch (const DBus::Error& error) {
        drop();
        connectFailed(VAStr("%s: %s", error.name() ? error.name() : "", error.message() ? error.message() : ""));
        return false;
    }
    const bool retried = connectRetry_.succeeded();
    if (retried || lost_)
        KOR_Sysloglevel_info(log_, logFile, __LINE__, "bus: connected to the system bus again, subscribed");
    if (lost_) controller_.requestReconcile("the bus connection came back");
    lost_ = false;
    // What failed before may answer now.
    routeRetry_.dueNow();
    return true;
}

void BusSession::drop() {
    // The bus dispatcher keeps a plain pointer to a connection that has
    // messages left to dispatch (a lost one always has: "Disconnected")
    // and would use it after the connection is gone. Dispatching them lets
    // go of it; signals that were read before run while the proxies are
    // still there.
    if (connection_ && DBus::default_dispatcher) DBus::default_dispatcher->dispatch_pending();
    routeOwnerWatch_.reset();
    routeProxy_.reset();
    statusProxy_.reset();
    addressProxy_.reset();
    connection_.reset();
}

void BusSession::connectFailed(const std::string& why) {
    const bool first = !connectRetry_.failing();
    const Backoff::Ms delay = connectRetry_.failed(Backoff::Clock::now());
    // The first failure of a run is an error; the tries after it, up to
    // every 5 s, only fill the log.
    const std::string text = VAStr("bus: cannot connect to the system bus (%s); next try in %lld ms", why.c_str(),
                                   ms(delay));
    if (first)
        KOR_Sysloglevel_error(log_, logFile, __LINE__, text.c_str());
    else
        KOR_Sysloglevel_debug(log_, logFile, __LINE__, text.c_str());
    wakeAfter(delay);
}

void BusSession::serveRouteQuery() {
    if (!controller_.routeSyncPending) return;
    // Every commit asks for the route sync. A new member's table got its
    // copies when it was applied, so the sync compares the member tables
    // with the main table as the kernel holds them and writes only what is
    // missing or stale. Re-sending the whole main table instead made each
    // commit 40,000 failing requests after a share change with 10,000 routes
    // and four members, and no event was handled meanwhile. The route
    // service's list stays the way when the main table cannot be read.
    controller_.routeSyncPending = false;
    if (controller_.syncRoutesFromKernel()) return;
    controller_.routeSyncPending = true;
    if (!routeProxy_ || !routeRetry_.due(Backoff::Clock::now())) return;
    controller_.routeSyncPending = false;
    try {
        // The full copy of the main table into every member table.
        copyMainTableRoutes(controller_, log_, routeProxy_->GetIPv4RoutesFromTable(mainTable));
    } catch (const DBus::Error& error) {
        routeQueryFailed(error);
        return;
    }
    // The fingerprints include the copies: a table that nobody else
    // changed is never rebuilt.
    controller_.retakeFingerprints();
    if (routeRetry_.succeeded())
        KOR_Sysloglevel_info(log_, logFile, __LINE__, "route query: the route service answered again");
}

void BusSession::routeQueryFailed(const DBus::Error& error) {
    const std::string name = error.name() ? error.name() : "";
    const char* message = error.message() ? error.message() : "";
    if (name == limitsExceeded) {
        KOR_Sysloglevel_error(log_, logFile, __LINE__,
                              VAStr("route query: GetIPv4RoutesFromTable(%u) refused: %s: %s; not asked again",
                                    mainTable, name.c_str(), message));
        routeRetry_.succeeded();
        controller_.requestReconcile("the main table is too large for one bus message");
        return;
    }
    // Asked again once the delay has passed (or the route service is back).
    controller_.routeSyncPending = true;
    const Backoff::Ms delay = routeRetry_.failed(Backoff::Clock::now());
    KOR_Sysloglevel_error(log_, logFile, __LINE__,
                          VAStr("route query: GetIPv4RoutesFromTable(%u) failed: %s: %s; next try in %lld ms",
                                mainTable, name.c_str(), message, ms(delay)));
    wakeAfter(delay);
}

void BusSession::routeServiceOwner(const std::string& owner) {
    if (owner.empty()) {
        KOR_Sysloglevel_info(log_, logFile, __LINE__, "bus: the route service left the bus");
        return;
    }
    KOR_Sysloglevel_info(log_, logFile, __LINE__,
                         VAStr("bus: the route service is on the bus again (%s)", owner.c_str()));
    routeRetry_.dueNow();
    controller_.requestReconcile("the route service appeared on the bus again");
}

void BusSession::wakeAfter(Backoff::Ms delay) {
    // Ending the wait is all; serve() makes the try. The timer holds
    // nothing of the session, which may be gone when it fires.
    events_.addTimer(static_cast<int>(delay.count()) + 1, []() {});
}

}  // namespace quorin
}  // namespace kor
