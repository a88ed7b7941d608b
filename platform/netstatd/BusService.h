#pragma once
// netstatd on the system bus: one connection that owns the names
// com.mirandel.network.IPv4Address, .InterfaceStatus and .IPv4Route, serves
// their objects, sends their signals and answers GetIPv4RoutesFromTable.
//
// The connection comes from DBus::Connection::SystemBus() and so follows
// DBUS_SYSTEM_BUS_ADDRESS; it is dispatched by DBus::default_dispatcher,
// which the program sets before opening the service.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "NetworkState.h"
#include "kor/cfg/RetryLog.h"
#include "kor/sysloglevel.h"

namespace DBus {
class Connection;
}

namespace kor {
namespace netstatd {

class AddressObject;
class InterfaceStatusObject;
class RouteObject;

class BusService {
public:
    // Answers GetIPv4RoutesFromTable: the routes of one kernel table now.
    using RouteQuery = std::function<std::vector<RouteArgs>(uint32_t table)>;

    BusService(RouteQuery query, bool verbose);
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    enum class Opened {
        Yes,
        No,            // the bus cannot be reached, or refuses a name: to be retried
        OtherNetstatd  // another netstatd owns a name
    };
    // Connects, serves the three objects and takes the three names. Unless
    // Yes, the service is closed again, and the reason logged: the bus's
    // error, or the PID and program of the name's owner.
    Opened open();
    void close();
    bool isOpen() const { return bool(connection_); }
    // Open, but the bus has closed the connection.
    bool lost() const;

    // Sends the signals in order and waits until they are written.
    void emit(const std::vector<Signal>& signals);

private:
    Opened requestName(const char* name);
    // "NAME is owned by :1.4, PID 812 (netstatd)"; program is the owner's.
    std::string describeOwner(const char* name, std::string& program);

    RouteQuery query_;
    const bool verbose_;
    const KOR_Modul log_;
    std::unique_ptr<DBus::Connection> connection_;
    std::unique_ptr<AddressObject> addressObject_;
    std::unique_ptr<InterfaceStatusObject> statusObject_;
    std::unique_ptr<RouteObject> routeObject_;
    kor::cfg::RetryLog retries_{"netstatd", "bus"};
};

}  // namespace netstatd
}  // namespace kor
