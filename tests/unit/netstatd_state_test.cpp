// netstatd's core: rtnetlink messages built with libmnl, translated, and
// applied to the network state; checked are the signals it reports and the
// status-table rows it computes.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "NetlinkMessages.h"
#include "NetworkState.h"

namespace {

using namespace kor::netstatd;

const unsigned kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// One kernel message under construction.
class Message {
public:
    explicit Message(uint16_t type, uint16_t flags = 0) {
        header_ = mnl_nlmsg_put_header(buffer_);
        header_->nlmsg_type = type;
        header_->nlmsg_flags = flags;
    }
    Message(const Message&) = delete;
    template <typename T>
    T& family() {
        return *static_cast<T*>(mnl_nlmsg_put_extra_header(header_, sizeof(T)));
    }
    void ip(uint16_t type, const char* text) {
        uint32_t value = ipv4(text);
        mnl_attr_put(header_, type, sizeof value, &value);
    }
    nlmsghdr* header() { return header_; }
    const nlmsghdr* header() const { return header_; }
    NetlinkEvent event() const {
        NetlinkEvent event;
        EXPECT_TRUE(translate(header_, event));
        return event;
    }

private:
    alignas(nlmsghdr) char buffer_[1024] = {};
    nlmsghdr* header_;
};

NetlinkEvent linkEvent(uint16_t type, int index, const char* name, unsigned flags) {
    Message message(type);
    auto& info = message.family<ifinfomsg>();
    info.ifi_index = index;
    info.ifi_flags = flags;
    mnl_attr_put_strz(message.header(), IFLA_IFNAME, name);
    return message.event();
}

NetlinkEvent addressEvent(uint16_t type, int index, const char* address, uint8_t prefix, uint32_t flags = 0) {
    Message message(type);
    auto& info = message.family<ifaddrmsg>();
    info.ifa_family = AF_INET;
    info.ifa_index = unsigned(index);
    info.ifa_prefixlen = prefix;
    info.ifa_flags = uint8_t(flags);
    message.ip(IFA_LOCAL, address);
    return message.event();
}

struct KernelRoute {
    const char* destination;  // nullptr: the default route
    uint8_t prefix;
    const char* gateway;  // nullptr: none
    int device;           // 0: none
    uint32_t table = RT_TABLE_MAIN;
    uint32_t metric = 0;
    uint8_t protocol = RTPROT_BOOT;
    uint8_t type = RTN_UNICAST;
    std::vector<std::pair<const char*, int>> paths = {};  // multipath: gateway, device
};

NetlinkEvent routeEvent(uint16_t messageType, const KernelRoute& route, uint16_t flags = 0) {
    Message message(messageType, flags);
    auto& info = message.family<rtmsg>();
    nlmsghdr* header = message.header();
    info.rtm_family = AF_INET;
    info.rtm_dst_len = route.prefix;
    info.rtm_protocol = route.protocol;
    info.rtm_type = route.type;
    info.rtm_table = route.table < 256 ? uint8_t(route.table) : uint8_t(RT_TABLE_COMPAT);
    mnl_attr_put_u32(header, RTA_TABLE, route.table);
    if (route.destination) message.ip(RTA_DST, route.destination);
    if (route.metric) mnl_attr_put_u32(header, RTA_PRIORITY, route.metric);
    if (route.gateway) message.ip(RTA_GATEWAY, route.gateway);
    if (route.device) mnl_attr_put_u32(header, RTA_OIF, uint32_t(route.device));
    if (!route.paths.empty()) {
        nlattr* nest = mnl_attr_nest_start(header, RTA_MULTIPATH);
        for (const auto& path : route.paths) {
            auto* hop = static_cast<rtnexthop*>(mnl_nlmsg_get_payload_tail(header));
            header->nlmsg_len += MNL_ALIGN(sizeof(rtnexthop));
            *hop = rtnexthop{};
            hop->rtnh_ifindex = path.second;
            message.ip(RTA_GATEWAY, path.first);
            hop->rtnh_len = uint16_t(static_cast<char*>(mnl_nlmsg_get_payload_tail(header)) - reinterpret_cast<char*>(hop));
        }
        mnl_attr_nest_end(header, nest);
    }
    return message.event();
}

std::vector<std::string> texts(const std::vector<Signal>& signals) {
    std::vector<std::string> out;
    for (const auto& signal : signals) out.push_back(signal.toString());
    return out;
}

using Lines = std::vector<std::string>;

class NetstatdState : public ::testing::Test {
protected:
    Lines apply(const NetlinkEvent& event) {
        std::vector<Signal> out;
        resync = state.apply(event, out);
        return texts(out);
    }
    Lines replaceRoutes(const std::vector<NetlinkEvent>& events) {
        std::vector<Route> routes;
        for (const auto& event : events) routes.push_back(event.route);
        std::vector<Signal> out;
        state.replaceRoutes(routes, out);
        return texts(out);
    }
    // Interfaces d1 (2) and d2 (3) up, and lo (1).
    void twoUplinks() {
        apply(linkEvent(RTM_NEWLINK, 1, "lo", kUp));
        apply(linkEvent(RTM_NEWLINK, 2, "d1", kUp));
        apply(linkEvent(RTM_NEWLINK, 3, "d2", kUp));
    }
    Rows netif(std::vector<std::pair<std::string, std::string>> rows) {
        Rows out;
        for (auto& row : rows) out.push_back({{"Name", row.first}, {"Addr", row.second}});
        return out;
    }
    Rows gateways(std::vector<std::pair<std::string, std::string>> rows) {
        Rows out;
        for (auto& row : rows) out.push_back({{"InterfaceName", row.first}, {"GatewayAddress", row.second}});
        return out;
    }

    NetworkState state;
    Resync resync;
};

TEST(NetlinkTranslation, RefusesMessagesOfOtherFamiliesAndMalformedOnes) {
    Message bridgePort(RTM_DELLINK);
    bridgePort.family<ifinfomsg>().ifi_family = AF_BRIDGE;
    mnl_attr_put_strz(bridgePort.header(), IFLA_IFNAME, "d1");
    Message ipv6Address(RTM_NEWADDR);
    ipv6Address.family<ifaddrmsg>().ifa_family = AF_INET6;
    Message shortGateway(RTM_NEWROUTE);
    shortGateway.family<rtmsg>().rtm_family = AF_INET;
    mnl_attr_put(shortGateway.header(), RTA_GATEWAY, 3, "abc");
    Message truncated(RTM_NEWLINK);
    Message neighbour(RTM_NEWNEIGH);
    neighbour.family<ndmsg>().ndm_family = AF_INET;
    for (const Message* message : {&bridgePort, &ipv6Address, &shortGateway, &truncated, &neighbour}) {
        NetlinkEvent event;
        EXPECT_FALSE(translate(message->header(), event)) << message->header()->nlmsg_type;
    }
}

TEST(NetlinkTranslation, ReadsTheFieldsThatOverrideTheHeader) {
    NetlinkEvent route = routeEvent(RTM_NEWROUTE, {"10.50.0.0", 16, "10.9.0.1", 2, 1000, 7}, NLM_F_REPLACE);
    EXPECT_EQ(1000u, route.route.table);  // RTA_TABLE, not rtm_table
    EXPECT_EQ(7u, route.route.priority);
    EXPECT_TRUE(route.replaced);
    EXPECT_FALSE(routeEvent(RTM_DELROUTE, {"10.50.0.0", 16, "10.9.0.1", 2}, NLM_F_REPLACE).replaced);

    Message address(RTM_NEWADDR);
    auto& info = address.family<ifaddrmsg>();
    info.ifa_family = AF_INET;
    info.ifa_index = 4;
    address.ip(IFA_ADDRESS, "10.0.0.2");  // the peer of a point-to-point link
    address.ip(IFA_LOCAL, "10.0.0.1");
    mnl_attr_put_u32(address.header(), IFA_FLAGS, IFA_F_SECONDARY);
    NetlinkEvent event = address.event();
    EXPECT_EQ(ipv4("10.0.0.1"), event.address.local);
    EXPECT_TRUE(event.address.secondary());
}

TEST(NetlinkTranslation, InterfaceNamesBecomeUtf8) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<const char*, std::string> cases[] = {
        {"eth0", "eth0"},
        {"w\xC3\xA9", "w\xC3\xA9"},
        {"\xFFz", replacement + "z"},
        {"\xC0\xAF", replacement + replacement},                             // overlong
        {"\xED\xA0\x80", replacement + replacement + replacement},           // surrogate
        {"a\xE2\x82", "a" + replacement + replacement},                      // cut short
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, linkEvent(RTM_NEWLINK, 2, c.first, 0).link.name) << c.first;
}

TEST_F(NetstatdState, LinkFlagTransitions) {
    struct Case {
        unsigned from, to;
        Lines signals;
        bool routesResynced;
    } cases[] = {
        {kUp, kUp, {}, false},
        {kUp, IFF_UP, {"StatusChange(d1, false)", "LinkStatusChange(d1, false)"}, true},
        {kUp, 0, {"StatusChange(d1, false)", "LinkStatusChange(d1, false)"}, true},
        {kUp, IFF_UP | IFF_RUNNING, {"LinkStatusChange(d1, false)"}, true},
        {IFF_UP | IFF_LOWER_UP, kUp, {"StatusChange(d1, true)"}, false},
        {IFF_UP, kUp, {"StatusChange(d1, true)", "LinkStatusChange(d1, true)"}, false},
        {0, IFF_UP, {}, false},
    };
    for (const auto& c : cases) {
        state = NetworkState();
        EXPECT_EQ(Lines({"StatusChange(d1, " + std::string(c.from == kUp ? "true" : "false") + ")",
                         "LinkStatusChange(d1, " + std::string(c.from & IFF_LOWER_UP ? "true" : "false") + ")"}),
                  apply(linkEvent(RTM_NEWLINK, 2, "d1", c.from)));
        EXPECT_EQ(c.signals, apply(linkEvent(RTM_NEWLINK, 2, "d1", c.to))) << c.from << " -> " << c.to;
        EXPECT_EQ(c.routesResynced, resync.routes) << c.from << " -> " << c.to;
    }
}

TEST_F(NetstatdState, PrimaryAndSecondaryAddresses) {
    twoUplinks();
    EXPECT_EQ(Lines{"NewIPv4Address(d1, 10.9.0.2)"}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.2", 24)));
    EXPECT_TRUE(resync.addresses);
    EXPECT_EQ(Lines{"NewIPv4Address(d1, 10.9.0.3)"},
              apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24, IFA_F_SECONDARY)));
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24, IFA_F_SECONDARY)));
    // The same address with another prefix: still one address to listeners.
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.2", 16)));
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_DELADDR, 2, "10.9.0.2", 16)));
    EXPECT_EQ(netif({{"d1", "10.9.0.2"}, {"d2", "0.0.0.0"}}), state.netifRows());

    EXPECT_EQ(Lines{"RemovedIPv4Address(d1, 10.9.0.2)"}, apply(addressEvent(RTM_DELADDR, 2, "10.9.0.2", 24)));
    EXPECT_TRUE(resync.routes);
    EXPECT_EQ(netif({{"d1", "0.0.0.0"}, {"d2", "0.0.0.0"}}), state.netifRows());
    // The kernel promotes the secondary address.
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24)));
    EXPECT_EQ(netif({{"d1", "10.9.0.3"}, {"d2", "0.0.0.0"}}), state.netifRows());

    // A dump gives the kernel's order: here a link-scope address comes first.
    std::vector<Signal> out;
    state.replaceAddresses({addressEvent(RTM_NEWADDR, 2, "169.254.1.1", 16).address,
                            addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24).address},
                           out);
    EXPECT_EQ(Lines{"NewIPv4Address(d1, 169.254.1.1)"}, texts(out));
    EXPECT_EQ(netif({{"d1", "169.254.1.1"}, {"d2", "0.0.0.0"}}), state.netifRows());
}

TEST_F(NetstatdState, RenamedAndDeletedInterfaces) {
    twoUplinks();
    apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.2", 24));
    apply(routeEvent(RTM_NEWROUTE, {nullptr, 0, "10.9.0.1", 2}));
    EXPECT_EQ(Lines({"RemovedIPv4Address(d1, 10.9.0.2)", "StatusChange(d1, false)", "StatusChange(wan0, false)",
                     "LinkStatusChange(wan0, false)", "NewIPv4Address(wan0, 10.9.0.2)"}),
              apply(linkEvent(RTM_NEWLINK, 2, "wan0", IFF_UP)));
    EXPECT_TRUE(resync.routes);
    EXPECT_EQ(Lines({"RemovedIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, d1, 254)",
                     "NewIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, wan0, 254)"}),
              replaceRoutes({routeEvent(RTM_NEWROUTE, {nullptr, 0, "10.9.0.1", 2})}));
    EXPECT_EQ(netif({{"wan0", "10.9.0.2"}, {"d2", "0.0.0.0"}}), state.netifRows());
    EXPECT_EQ(gateways({{"wan0", "10.9.0.1"}}), state.gatewayRows());

    EXPECT_EQ(Lines({"RemovedIPv4Address(wan0, 10.9.0.2)", "StatusChange(wan0, false)"}),
              apply(linkEvent(RTM_DELLINK, 2, "wan0", 0)));
    EXPECT_TRUE(resync.routes);
    EXPECT_EQ(netif({{"d2", "0.0.0.0"}}), state.netifRows());
    EXPECT_EQ(Lines{}, apply(linkEvent(RTM_DELLINK, 2, "wan0", 0)));
}

TEST_F(NetstatdState, ReportedRoutes) {
    twoUplinks();
    struct Case {
        KernelRoute route;
        std::string reported;  // "" when not reported
    } cases[] = {
        {{nullptr, 0, "10.9.0.1", 2}, "0.0.0.0, 0, 10.9.0.1, boot, d1, 254"},
        {{"10.9.0.0", 24, nullptr, 2, RT_TABLE_MAIN, 0, RTPROT_KERNEL}, "10.9.0.0, 24, 0.0.0.0, kernel, d1, 254"},
        {{"10.60.0.0", 16, "10.9.0.1", 0, 100, 0, RTPROT_STATIC}, "10.60.0.0, 16, 10.9.0.1, static, , 100"},
        {{"10.61.0.0", 16, "10.9.0.1", 3, 100, 0, RTPROT_DHCP}, "10.61.0.0, 16, 10.9.0.1, dhcp, d2, 100"},
        {{"10.62.0.0", 16, nullptr, 3, 100000, 0, 99}, "10.62.0.0, 16, 0.0.0.0, 99, d2, 100000"},
        {{"10.70.0.0", 16, nullptr, 0, 100, 0, RTPROT_BOOT, RTN_UNICAST, {{"10.8.0.4", 3}, {"10.9.0.5", 2}}},
         "10.70.0.0, 16, 10.8.0.4, boot, d2, 100"},
        {{"10.9.0.2", 32, nullptr, 2, RT_TABLE_LOCAL, 0, RTPROT_KERNEL, RTN_LOCAL}, ""},
        {{"10.9.0.255", 32, nullptr, 2, RT_TABLE_LOCAL, 0, RTPROT_KERNEL, RTN_BROADCAST}, ""},
        {{"10.80.0.0", 16, nullptr, 0, 100, 0, RTPROT_BOOT, RTN_BLACKHOLE}, ""},
    };
    for (const auto& c : cases) {
        Lines added = c.reported.empty() ? Lines{} : Lines{"NewIPv4Route(" + c.reported + ")"};
        Lines removed = c.reported.empty() ? Lines{} : Lines{"RemovedIPv4Route(" + c.reported + ")"};
        EXPECT_EQ(added, apply(routeEvent(RTM_NEWROUTE, c.route)));
        EXPECT_EQ(Lines{}, apply(routeEvent(RTM_NEWROUTE, c.route)));
        EXPECT_EQ(removed, apply(routeEvent(RTM_DELROUTE, c.route)));
        EXPECT_FALSE(resync.routes);
    }
}

TEST_F(NetstatdState, ReplacedAndVanishedRoutesAfterADump) {
    twoUplinks();
    const KernelRoute first{nullptr, 0, "10.9.0.1", 2};
    const KernelRoute second{nullptr, 0, "10.9.0.6", 2};
    const KernelRoute other{nullptr, 0, "10.9.0.1", 2, 100};
    const KernelRoute prefix{"10.9.0.0", 24, nullptr, 2, RT_TABLE_MAIN, 0, RTPROT_KERNEL};
    for (const auto& route : {first, other, prefix}) apply(routeEvent(RTM_NEWROUTE, route));

    // Which route a replacement took the place of, only the dump shows.
    EXPECT_EQ(Lines{}, apply(routeEvent(RTM_NEWROUTE, second, NLM_F_REPLACE)));
    EXPECT_TRUE(resync.routes);
    EXPECT_EQ(Lines({"RemovedIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, d1, 254)",
                     "NewIPv4Route(0.0.0.0, 0, 10.9.0.6, boot, d1, 254)"}),
              replaceRoutes({routeEvent(RTM_NEWROUTE, second), routeEvent(RTM_NEWROUTE, other),
                             routeEvent(RTM_NEWROUTE, prefix)}));

    // Routes flushed with an address leave without RTM_DELROUTE.
    Lines vanished = replaceRoutes({routeEvent(RTM_NEWROUTE, prefix)});
    std::sort(vanished.begin(), vanished.end());
    EXPECT_EQ(Lines({"RemovedIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, d1, 100)",
                     "RemovedIPv4Route(0.0.0.0, 0, 10.9.0.6, boot, d1, 254)"}),
              vanished);
    EXPECT_EQ(Lines{}, apply(routeEvent(RTM_DELROUTE, second)));
    EXPECT_EQ(Rows{}, state.gatewayRows());
}

TEST_F(NetstatdState, DefaultGatewayRows) {
    twoUplinks();
    apply(linkEvent(RTM_NEWLINK, 4, "d3", kUp));
    const KernelRoute routes[] = {
        {nullptr, 0, "10.9.0.1", 2, RT_TABLE_MAIN, 100},
        {nullptr, 0, "10.9.1.1", 2, RT_TABLE_MAIN, 10},
        {nullptr, 0, "10.9.0.200", 2, RT_TABLE_MAIN, 10},  // lower metric, then lower gateway
        {nullptr, 0, "10.9.0.3", 2, RT_TABLE_MAIN, 11},
        {nullptr, 0, nullptr, 3, RT_TABLE_MAIN, 20},      // no gateway
        {nullptr, 0, "10.7.0.1", 4, 100, 0},              // not the main table
        {"10.0.0.0", 8, "10.7.0.1", 4, RT_TABLE_MAIN, 0},  // not a default route
        {nullptr, 0, "127.0.0.2", 1, RT_TABLE_MAIN, 0},   // through lo
    };
    for (const auto& route : routes) apply(routeEvent(RTM_NEWROUTE, route));
    EXPECT_EQ(gateways({{"d1", "10.9.0.200"}, {"d2", "0.0.0.0"}}), state.gatewayRows());

    // Each path of a multipath default route counts for its own device.
    apply(routeEvent(RTM_NEWROUTE, {nullptr, 0, nullptr, 0, RT_TABLE_MAIN, 5, RTPROT_BOOT, RTN_UNICAST,
                                    {{"10.8.0.1", 3}, {"10.7.0.9", 4}}}));
    EXPECT_EQ(gateways({{"d1", "10.9.0.200"}, {"d2", "10.8.0.1"}, {"d3", "10.7.0.9"}}), state.gatewayRows());
}

TEST_F(NetstatdState, PublishesInterfacesAndAddressesButNoRoutes) {
    twoUplinks();
    apply(linkEvent(RTM_NEWLINK, 3, "d2", IFF_UP | IFF_LOWER_UP));
    apply(addressEvent(RTM_NEWADDR, 3, "10.8.0.2", 24));
    apply(addressEvent(RTM_NEWADDR, 3, "10.8.0.3", 24, IFA_F_SECONDARY));
    apply(routeEvent(RTM_NEWROUTE, {nullptr, 0, "10.8.0.1", 3}));
    std::vector<Signal> out;
    state.publish(out);
    EXPECT_EQ(Lines({"StatusChange(lo, true)", "LinkStatusChange(lo, true)", "StatusChange(d1, true)",
                     "LinkStatusChange(d1, true)", "StatusChange(d2, false)", "LinkStatusChange(d2, true)",
                     "NewIPv4Address(d2, 10.8.0.2)", "NewIPv4Address(d2, 10.8.0.3)"}),
              texts(out));
}

}  // namespace
