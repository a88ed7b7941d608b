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

    // Connects, serves the three objects and takes the three names. False,
    // with the service closed again, when the bus cannot be reached or a
    // name is not granted.
    //
    // A name that another process owns, or that the bus's policy does not
    // let us own, is logged with who owns it or what the policy says; the
    // connection then stays as it is (destroying it here would leave the
    // dispatcher a pointer to it) and the next open() asks for the names
    // again.
    bool open();
    void close();
    bool isOpen() const { return bool(connection_) && namesOwned_; }
    // The last open() found a name owned by another netstatd: this one is
    // not needed.
    bool anotherInstance() const { return anotherInstance_; }
    // Open, but the bus has closed the connection.
    bool lost() const;

    // Sends the signals in order and waits until they are written.
    void emit(const std::vector<Signal>& signals);
    // "IPv4RoutesReread": the routes of the table (0: every table) were read
    // again after kernel events were lost.
    void emitRoutesReread(uint32_t table);

private:
    bool requestName(const char* name);
    // "PID (program)" of the owner of the name, "" when nobody owns it.
    std::string ownerOf(const char* name, std::string& program);

    RouteQuery query_;
    const bool verbose_;
    const KOR_Modul log_;
    std::unique_ptr<DBus::Connection> connection_;
    std::unique_ptr<AddressObject> addressObject_;
    std::unique_ptr<InterfaceStatusObject> statusObject_;
    std::unique_ptr<RouteObject> routeObject_;
    bool namesOwned_ = false;
    bool anotherInstance_ = false;
    kor::cfg::RetryLog retries_{"netstatd", "bus"};
};

}  // namespace netstatd
}  // namespace kor
