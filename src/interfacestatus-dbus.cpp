#include "interfacestatus-dbus.h"

#include "kor/sysloglevel.h"
#include "network-names.h"

namespace kor {
namespace quorin {

InterfaceStatusDBusProxy::InterfaceStatusDBusProxy(DBus::Connection& connection, quorin* controller)
    : DBus::ObjectProxy(connection, com::mirandel::network::interfaceStatusPath,
                        com::mirandel::network::interfaceStatusName),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      controller(controller) {}

InterfaceStatusDBusProxy::~InterfaceStatusDBusProxy() = default;

}  // namespace quorin
}  // namespace kor
