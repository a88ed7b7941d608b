#include "ipv4address-dbus.h"

#include "kor/sysloglevel.h"
#include "network-names.h"

namespace kor {
namespace quorin {

V4AddressDBusProxy::V4AddressDBusProxy(DBus::Connection& connection, quorin* controller)
    : DBus::ObjectProxy(connection, com::mirandel::network::ipv4AddressPath,
                        com::mirandel::network::ipv4AddressName),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      controller(controller) {}

V4AddressDBusProxy::~V4AddressDBusProxy() = default;

}  // namespace quorin
}  // namespace kor
