#include "ipv4address-dbus.h"

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

V4AddressDBusProxy::V4AddressDBusProxy(DBus::Connection& connection, quorin* controller)
    : DBus::ObjectProxy(connection, "/com/mirandel/network/IPv4Address", "com.mirandel.network.IPv4Address"),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      controller(controller) {}

V4AddressDBusProxy::~V4AddressDBusProxy() = default;

}  // namespace quorin
}  // namespace kor
