#pragma once
// The client of the interface status service: a link that came up or went
// down goes to the controller, and so does a lost carrier.

#include <string>

#include <dbus-c++/dbus.h>

#include "dbus/interfacestatus-proxy.h"
#include "quorin.h"

namespace kor {
namespace quorin {

class InterfaceStatusDBusProxy : public com::mirandel::network::InterfaceStatus_proxy, public DBus::ObjectProxy {
public:
    InterfaceStatusDBusProxy(DBus::Connection& connection, quorin* controller);
    ~InterfaceStatusDBusProxy() override;

    void onStatusChange(const std::string& interfaceName, const bool& up) {
        controller->linkStatusEvent(interfaceName, up);
    }
    // A lost carrier takes the link's members out like a link that went
    // down; a carrier that returns brings them back through the status
    // table, whose Link says up only once the link runs again.
    void onLinkStatusChange(const std::string& interfaceName, const bool& carrier) {
        if (!carrier) controller->linkStatusEvent(interfaceName, false);
    }

    int logModule;
    quorin* controller;  // not owned; outlives the proxy

private:
    // The signal handlers of the generated base.
    void StatusChange(const std::string& interfaceName, const bool& up) override {
        onStatusChange(interfaceName, up);
    }
    void LinkStatusChange(const std::string& interfaceName, const bool& carrier) override {
        onLinkStatusChange(interfaceName, carrier);
    }
};

}  // namespace quorin
}  // namespace kor
