#pragma once
// The client of the IPv4 address service: an address that appeared on or
// left an interface goes to the controller.

#include <string>

#include <dbus-c++/dbus.h>

#include "dbus/ipv4address-proxy.h"
#include "quorin.h"

namespace kor {
namespace quorin {

class V4AddressDBusProxy : public com::mirandel::network::IPv4Address_proxy, public DBus::ObjectProxy {
public:
    V4AddressDBusProxy(DBus::Connection& connection, quorin* controller);
    ~V4AddressDBusProxy() override;

    // Forwarded unchanged; the controller logs and decides.
    void onNewIPv4Address(const std::string& interfaceName, const std::string& address) {
        controller->newAddressEvent(interfaceName, address);
    }
    void onRemovedIPv4Address(const std::string& interfaceName, const std::string& address) {
        controller->removedAddressEvent(interfaceName, address);
    }

    int logModule;
    quorin* controller;  // not owned; outlives the proxy

private:
    // The signal handlers of the generated base.
    void NewIPv4Address(const std::string& interfaceName, const std::string& address) override {
        onNewIPv4Address(interfaceName, address);
    }
    void RemovedIPv4Address(const std::string& interfaceName, const std::string& address) override {
        onRemovedIPv4Address(interfaceName, address);
    }
};

}  // namespace quorin
}  // namespace kor
