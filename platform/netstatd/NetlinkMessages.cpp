#include "NetlinkMessages.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <cstring>

namespace kor {
namespace netstatd {

namespace {

// The attributes of one message or nest, indexed by type; types past the
// end are ones this service does not read.
using Attributes = std::vector<const nlattr*>;

int collectAttribute(const nlattr* attr, void* data) {
    auto& attributes = *static_cast<Attributes*>(data);
    uint16_t type = mnl_attr_get_type(attr);
    if (type < attributes.size()) attributes[type] = attr;
    return MNL_CB_OK;
}

bool parseAttributes(const nlmsghdr* message, size_t headerSize, uint16_t maxType, Attributes& attributes) {
    attributes.assign(maxType + 1u, nullptr);
    return mnl_nlmsg_get_payload_len(message) >= headerSize &&
           mnl_attr_parse(message, unsigned(headerSize), collectAttribute, &attributes) >= MNL_CB_STOP;
}

// Reads an IPv4 address attribute into out (network byte order). An absent
// attribute leaves out alone; a malformed one fails.
bool readIPv4(const nlattr* attr, uint32_t& out) {
    if (!attr) return true;
    if (mnl_attr_validate2(attr, MNL_TYPE_BINARY, sizeof out) < 0) return false;
    memcpy(&out, mnl_attr_get_payload(attr), sizeof out);
    return true;
}

bool readU32(const nlattr* attr, uint32_t& out) {
    if (!attr) return true;
    if (mnl_attr_validate(attr, MNL_TYPE_U32) < 0) return false;
    out = mnl_attr_get_u32(attr);
    return true;
}

// Interface names are bytes, but the bus carries only UTF-8 (libdbus aborts
// on anything else): invalid sequences become U+FFFD, as the configuration
// client writes them into the tables.
std::string utf8(const char* bytes) {
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};  // per length: no overlong forms
    const std::string text(bytes);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = text[i];
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        uint32_t point = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = text[i + k];
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        if (valid && point >= kSmallest[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

bool readString(const nlattr* attr, std::string& out) {
    if (!attr) return true;
    if (mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) < 0) return false;
    out = utf8(mnl_attr_get_str(attr));
    return true;
}

bool translateLink(const nlmsghdr* message, Link& link) {
    Attributes attributes;
    if (!parseAttributes(message, sizeof(ifinfomsg), IFLA_MAX, attributes)) return false;
    const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
    // Bridge port messages (AF_BRIDGE) describe a port's membership, not
    // the interface: a RTM_DELLINK among them does not delete anything.
    if (info->ifi_family != AF_UNSPEC) return false;
    link.index = info->ifi_index;
    link.flags = info->ifi_flags;
    return attributes[IFLA_IFNAME] && readString(attributes[IFLA_IFNAME], link.name);
}

bool translateAddress(const nlmsghdr* message, Address& address) {
    Attributes attributes;
    if (!parseAttributes(message, sizeof(ifaddrmsg), IFA_MAX, attributes)) return false;
    const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
    if (info->ifa_family != AF_INET) return false;
    address.index = int(info->ifa_index);
    address.prefixLength = info->ifa_prefixlen;
    address.flags = info->ifa_flags;
    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer's
    // on a point-to-point link and the same address elsewhere.
    const nlattr* local = attributes[IFA_LOCAL] ? attributes[IFA_LOCAL] : attributes[IFA_ADDRESS];
    return local && readIPv4(local, address.local) && readU32(attributes[IFA_FLAGS], address.flags) &&
           readString(attributes[IFA_LABEL], address.label);
}

// RTA_MULTIPATH holds a sequence of struct rtnexthop, each followed by its
// own attributes.
bool translateMultipath(const nlattr* attr, std::vector<Nexthop>& nexthops) {
    const auto* hop = static_cast<const rtnexthop*>(mnl_attr_get_payload(attr));
    int left = mnl_attr_get_payload_len(attr);
    while (left >= int(sizeof(rtnexthop)) && RTNH_OK(hop, left)) {
        Nexthop nexthop;
        nexthop.device = hop->rtnh_ifindex;
        Attributes attributes(RTA_MAX + 1u, nullptr);
        if (mnl_attr_parse_payload(RTNH_DATA(hop), hop->rtnh_len - sizeof(rtnexthop), collectAttribute,
                                   &attributes) < MNL_CB_STOP ||
            !readIPv4(attributes[RTA_GATEWAY], nexthop.gateway))
            return false;
        nexthops.push_back(nexthop);
        left -= RTNH_ALIGN(hop->rtnh_len);
        hop = RTNH_NEXT(hop);
    }
    return !nexthops.empty();
}

bool translateRoute(const nlmsghdr* message, Route& route) {
    Attributes attributes;
    if (!parseAttributes(message, sizeof(rtmsg), RTA_MAX, attributes)) return false;
    const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
    if (info->rtm_family != AF_INET) return false;
    route.table = info->rtm_table;
    route.prefixLength = info->rtm_dst_len;
    route.tos = info->rtm_tos;
    route.protocol = info->rtm_protocol;
    route.type = info->rtm_type;
    route.flags = info->rtm_flags;
    if (!readU32(attributes[RTA_TABLE], route.table) || !readIPv4(attributes[RTA_DST], route.destination) ||
        !readU32(attributes[RTA_PRIORITY], route.priority))
        return false;
    route.nexthops.clear();
    if (attributes[RTA_MULTIPATH]) return translateMultipath(attributes[RTA_MULTIPATH], route.nexthops);
    Nexthop nexthop;
    uint32_t device = 0;
    if (!readIPv4(attributes[RTA_GATEWAY], nexthop.gateway) || !readU32(attributes[RTA_OIF], device)) return false;
    nexthop.device = int(device);
    route.nexthops.push_back(nexthop);
    return true;
}

}  // namespace

bool Link::up() const { return (flags & IFF_UP) && (flags & IFF_RUNNING); }
bool Link::carrier() const { return flags & IFF_LOWER_UP; }

bool Address::secondary() const { return flags & IFA_F_SECONDARY; }

bool Route::reported() const { return type == RTN_UNICAST && !(flags & RTM_F_CLONED); }

const Nexthop& Route::firstNexthop() const {
    static const Nexthop none;
    return nexthops.empty() ? none : nexthops.front();
}

bool translate(const nlmsghdr* message, NetlinkEvent& event) {
    event.removed = false;
    event.replaced = false;
    switch (message->nlmsg_type) {
    case RTM_DELLINK:
        event.removed = true;
        [[fallthrough]];
    case RTM_NEWLINK:
        event.kind = NetlinkEvent::Kind::Link;
        return translateLink(message, event.link);
    case RTM_DELADDR:
        event.removed = true;
        [[fallthrough]];
    case RTM_NEWADDR:
        event.kind = NetlinkEvent::Kind::Address;
        return translateAddress(message, event.address);
    case RTM_DELROUTE:
        event.removed = true;
        [[fallthrough]];
    case RTM_NEWROUTE:
        event.kind = NetlinkEvent::Kind::Route;
        event.replaced = !event.removed && (message->nlmsg_flags & NLM_F_REPLACE);
        return translateRoute(message, event.route);
    default:
        return false;
    }
}

std::string dottedQuad(uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN];
    in_addr address{};
    address.s_addr = networkOrder;
    return inet_ntop(AF_INET, &address, text, sizeof text) ? text : "0.0.0.0";
}

std::string protocolText(uint8_t protocol) {
    switch (protocol) {
    case RTPROT_KERNEL:
        return "kernel";
    case RTPROT_BOOT:
        return "boot";
    case RTPROT_STATIC:
        return "static";
    case RTPROT_DHCP:
        return "dhcp";
    default:
        return std::to_string(protocol);
    }
}

}  // namespace netstatd
}  // namespace kor
