#pragma once
// Where the network-status services live on the system bus: each service's
// bus name is also the name of its interface, and it serves one object.

namespace com {
namespace mirandel {
namespace network {

constexpr const char* ipv4AddressName = "com.mirandel.network.IPv4Address";
constexpr const char* ipv4AddressPath = "/com/mirandel/network/IPv4Address";
constexpr const char* interfaceStatusName = "com.mirandel.network.InterfaceStatus";
constexpr const char* interfaceStatusPath = "/com/mirandel/network/InterfaceStatus";
constexpr const char* ipv4RouteName = "com.mirandel.network.IPv4Route";
constexpr const char* ipv4RoutePath = "/com/mirandel/network/IPv4Route";

}  // namespace network
}  // namespace mirandel
}  // namespace com
