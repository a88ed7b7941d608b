// A stand-in for the route service that refuses every route query:
//
//   routerefuser ERROR-NAME
//
// owns com.mirandel.network.IPv4Route on the system bus and answers every
// GetIPv4RoutesFromTable with the error ERROR-NAME, as the real service
// does when an answer would not fit in one bus message. Prints "ready" once
// it owns the name and runs until SIGTERM.

#include <csignal>
#include <iostream>
#include <string>

#include <dbus-c++/dbus.h>

#include "dbus/ipv4route-adaptor.h"
#include "network-names.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onStop(int) { stopRequested = 1; }

class RefusingRoutes : public com::mirandel::network::IPv4Route_adaptor, public DBus::ObjectAdaptor {
public:
    RefusingRoutes(DBus::Connection& connection, std::string error)
        : DBus::ObjectAdaptor(connection, com::mirandel::network::ipv4RoutePath), error_(std::move(error)) {}

    std::vector<DBus::Struct<std::string, std::string, std::string, std::string, std::string>>
    GetIPv4RoutesFromTable(const uint32_t& table) override {
        std::cout << "refused table " << table << std::endl;
        // The library keeps a pointer to the texts: error_ holds them.
        throw DBus::Error(error_.c_str(), "refused by the test");
    }

private:
    const std::string error_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: routerefuser ERROR-NAME\n";
        return 2;
    }
    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    DBus::BusDispatcher dispatcher;
    DBus::DefaultTimeout timeout(100, true, &dispatcher);
    DBus::default_dispatcher = &dispatcher;
    DBus::Connection bus = DBus::Connection::SystemBus();
    RefusingRoutes routes(bus, argv[1]);
    bus.request_name(com::mirandel::network::ipv4RouteName);
    std::cout << "ready" << std::endl;
    while (!stopRequested && bus.connected()) dispatcher.do_iteration();
    return 0;
}
