// netstatd's core: rtnetlink messages built with libmnl, translated (or
// refused), and applied to the network state; checked are the signals it
// reports and the status-table rows it computes. Which routes are reported,
// replacements and dumps are checked against the kernel by the lab test.

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
using Lines = std::vector<std::string>;

const unsigned kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// One kernel message under construction.
class Message {
public:
    explicit Message(uint16_t type, uint16_t flags = 0) : header_(mnl_nlmsg_put_header(buffer_)) {
        header_->nlmsg_type = type;
        header_->nlmsg_flags = flags;
    }
    template <typename T>
    T& family() {
        return *static_cast<T*>(mnl_nlmsg_put_extra_header(header_, sizeof(T)));
    }
    void ip(uint16_t type, const char* text) {
        uint32_t value = ipv4(text);
        mnl_attr_put(header_, type, sizeof value, &value);
    }
    nlmsghdr* header() const { return header_; }
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
    message.family<ifinfomsg>() = {AF_UNSPEC, 0, 0, index, flags, 0};
    mnl_attr_put_strz(message.header(), IFLA_IFNAME, name);
    return message.event();
}

NetlinkEvent addressEvent(uint16_t type, int index, const char* address, uint8_t prefix, uint8_t flags = 0) {
    Message message(type);
    message.family<ifaddrmsg>() = {AF_INET, prefix, flags, 0, unsigned(index)};
    message.ip(IFA_LOCAL, address);
    return message.event();
}

// A route of protocol "boot"; no destination: the default route; no
// gateway or device: none; paths: a multipath route of (gateway, device).
NetlinkEvent routeEvent(uint16_t type, const char* destination, uint8_t prefix, const char* gateway, int device,
                        uint32_t table = RT_TABLE_MAIN, uint32_t metric = 0, uint16_t flags = 0,
                        std::vector<std::pair<const char*, int>> paths = {}) {
    Message message(type, flags);
    nlmsghdr* header = message.header();
    message.family<rtmsg>() = {AF_INET, prefix, 0, 0, uint8_t(table < 256 ? table : RT_TABLE_COMPAT), RTPROT_BOOT,
                               RT_SCOPE_UNIVERSE, RTN_UNICAST, 0};
    mnl_attr_put_u32(header, RTA_TABLE, table);
    if (destination) message.ip(RTA_DST, destination);
    if (metric) mnl_attr_put_u32(header, RTA_PRIORITY, metric);
    if (gateway) message.ip(RTA_GATEWAY, gateway);
    if (device) mnl_attr_put_u32(header, RTA_OIF, uint32_t(device));
    if (!paths.empty()) {
        nlattr* nest = mnl_attr_nest_start(header, RTA_MULTIPATH);
        for (const auto& path : paths) {
            auto* hop = static_cast<rtnexthop*>(mnl_nlmsg_get_payload_tail(header));
            header->nlmsg_len += MNL_ALIGN(sizeof(rtnexthop));
            *hop = rtnexthop{0, 0, 0, path.second};
            message.ip(RTA_GATEWAY, path.first);
            hop->rtnh_len = uint16_t(static_cast<char*>(mnl_nlmsg_get_payload_tail(header)) - reinterpret_cast<char*>(hop));
        }
        mnl_attr_nest_end(header, nest);
    }
    return message.event();
}

Lines texts(const std::vector<Signal>& signals) {
    Lines out;
    for (const auto& signal : signals) out.push_back(signal.toString());
    return out;
}

// The values of each row in column order: "10.9.0.2 d1; 0.0.0.0 d2".
std::string text(const Rows& rows) {
    std::string out;
    for (const Row& row : rows)
        for (const auto& column : row) out += column.second + (&column.second == &row.rbegin()->second ? "; " : " ");
    return out;
}

class NetstatdState : public ::testing::Test {
protected:
    Lines apply(const NetlinkEvent& event) {
        std::vector<Signal> out;
        resync = state.apply(event, out);
        return texts(out);
    }
    // Interfaces d1 (2) and d2 (3) up, and lo (1).
    void SetUp() override {
        apply(linkEvent(RTM_NEWLINK, 1, "lo", kUp));
        apply(linkEvent(RTM_NEWLINK, 2, "d1", kUp));
        apply(linkEvent(RTM_NEWLINK, 3, "d2", kUp));
    }
    NetworkState state;
    Resync resync;
};

TEST(NetlinkTranslation, RefusesOtherFamiliesAndMalformedMessagesAndReadsWhatOverridesTheHeader) {
    Message bridgePort(RTM_DELLINK), ipv6Address(RTM_NEWADDR), shortGateway(RTM_NEWROUTE), truncated(RTM_NEWLINK),
        neighbour(RTM_NEWNEIGH);
    bridgePort.family<ifinfomsg>().ifi_family = AF_BRIDGE;
    mnl_attr_put_strz(bridgePort.header(), IFLA_IFNAME, "d1");
    ipv6Address.family<ifaddrmsg>().ifa_family = AF_INET6;
    shortGateway.family<rtmsg>().rtm_family = AF_INET;
    mnl_attr_put(shortGateway.header(), RTA_GATEWAY, 3, "abc");
    neighbour.family<ndmsg>().ndm_family = AF_INET;
    for (const Message* message : {&bridgePort, &ipv6Address, &shortGateway, &truncated, &neighbour}) {
        NetlinkEvent event;
        EXPECT_FALSE(translate(message->header(), event)) << message->header()->nlmsg_type;
    }

    NetlinkEvent route = routeEvent(RTM_NEWROUTE, "10.50.0.0", 16, "10.9.0.1", 2, 1000, 7, NLM_F_REPLACE);
    EXPECT_EQ(1000u, route.route.table) << "RTA_TABLE, not rtm_table";
    EXPECT_EQ(7u, route.route.priority);
    EXPECT_TRUE(route.replaced);
    EXPECT_FALSE(routeEvent(RTM_DELROUTE, "10.50.0.0", 16, "10.9.0.1", 2, 254, 0, NLM_F_REPLACE).replaced);
    Message address(RTM_NEWADDR);
    address.family<ifaddrmsg>() = {AF_INET, 24, 0, 0, 4};
    address.ip(IFA_ADDRESS, "10.0.0.2");  // the peer of a point-to-point link
    address.ip(IFA_LOCAL, "10.0.0.1");
    mnl_attr_put_u32(address.header(), IFA_FLAGS, IFA_F_SECONDARY);
    EXPECT_EQ(ipv4("10.0.0.1"), address.event().address.local);
    EXPECT_TRUE(address.event().address.secondary());

    // Interface names become UTF-8: each byte that is not, one U+FFFD.
    const std::string bad = "\xEF\xBF\xBD";
    const std::pair<const char*, std::string> names[] = {
        {"eth0", "eth0"}, {"w\xC3\xA9", "w\xC3\xA9"}, {"\xFFz", bad + "z"}, {"\xC0\xAF", bad + bad} /* overlong */,
        {"\xED\xA0\x80", bad + bad + bad} /* surrogate */, {"a\xE2\x82", "a" + bad + bad} /* cut short */};
    for (const auto& c : names) EXPECT_EQ(c.second, linkEvent(RTM_NEWLINK, 2, c.first, 0).link.name) << c.first;
}

TEST_F(NetstatdState, LinkFlagTransitions) {
    const struct {
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
        apply(linkEvent(RTM_NEWLINK, 2, "d1", c.from));
        EXPECT_EQ(c.signals, apply(linkEvent(RTM_NEWLINK, 2, "d1", c.to))) << c.from << " -> " << c.to;
        EXPECT_EQ(c.routesResynced, resync.routes) << c.from << " -> " << c.to;
    }
}

TEST_F(NetstatdState, AddressesRenamesAndGateways) {
    EXPECT_EQ(Lines{"NewIPv4Address(d1, 10.9.0.2)"}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.2", 24)));
    EXPECT_TRUE(resync.addresses);
    EXPECT_EQ(Lines{"NewIPv4Address(d1, 10.9.0.3)"}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24, IFA_F_SECONDARY)));
    // The same address with another prefix: still one address to listeners.
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.2", 16)));
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_DELADDR, 2, "10.9.0.2", 16)));
    EXPECT_EQ("10.9.0.2 d1; 0.0.0.0 d2; ", text(state.netifRows()));
    EXPECT_EQ(Lines{"RemovedIPv4Address(d1, 10.9.0.2)"}, apply(addressEvent(RTM_DELADDR, 2, "10.9.0.2", 24)));
    EXPECT_TRUE(resync.routes);
    EXPECT_EQ(Lines{}, apply(addressEvent(RTM_NEWADDR, 2, "10.9.0.3", 24))) << "the kernel promotes the secondary";
    EXPECT_EQ("10.9.0.3 d1; 0.0.0.0 d2; ", text(state.netifRows()));

    // A renamed interface is a new one to listeners; its routes follow at
    // the next dump.
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "10.9.0.1", 2));
    EXPECT_EQ(Lines({"RemovedIPv4Address(d1, 10.9.0.3)", "StatusChange(d1, false)", "StatusChange(wan0, false)",
                     "LinkStatusChange(wan0, false)", "NewIPv4Address(wan0, 10.9.0.3)"}),
              apply(linkEvent(RTM_NEWLINK, 2, "wan0", IFF_UP)));
    EXPECT_TRUE(resync.routes);
    std::vector<Signal> out;
    state.replaceRoutes({routeEvent(RTM_NEWROUTE, nullptr, 0, "10.9.0.1", 2).route}, out);
    EXPECT_EQ(Lines({"RemovedIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, d1, 254)",
                     "NewIPv4Route(0.0.0.0, 0, 10.9.0.1, boot, wan0, 254)"}),
              texts(out));
    EXPECT_EQ("10.9.0.3 wan0; 0.0.0.0 d2; ", text(state.netifRows()));
    EXPECT_EQ("10.9.0.1 wan0; ", text(state.gatewayRows()));
    apply(routeEvent(RTM_DELROUTE, nullptr, 0, "10.9.0.1", 2));

    // Default gateways: lowest metric, then lowest gateway; each path of a
    // multipath route for its own device; not other tables, prefixes or lo.
    apply(linkEvent(RTM_NEWLINK, 4, "d3", kUp));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "10.9.0.1", 2, RT_TABLE_MAIN, 100));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "10.9.1.1", 2, RT_TABLE_MAIN, 10));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "10.9.0.200", 2, RT_TABLE_MAIN, 10));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, nullptr, 3, RT_TABLE_MAIN, 20));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "10.7.0.1", 4, 100));
    apply(routeEvent(RTM_NEWROUTE, "10.0.0.0", 8, "10.7.0.1", 4));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, "127.0.0.2", 1));
    EXPECT_EQ("10.9.0.200 wan0; 0.0.0.0 d2; ", text(state.gatewayRows()));
    apply(routeEvent(RTM_NEWROUTE, nullptr, 0, nullptr, 0, RT_TABLE_MAIN, 5, 0, {{"10.8.0.1", 3}, {"10.7.0.9", 4}}));
    EXPECT_EQ("10.9.0.200 wan0; 10.8.0.1 d2; 10.7.0.9 d3; ", text(state.gatewayRows()));

    // A deleted interface leaves the rows.
    EXPECT_EQ(Lines({"RemovedIPv4Address(wan0, 10.9.0.3)", "StatusChange(wan0, false)"}),
              apply(linkEvent(RTM_DELLINK, 2, "wan0", 0)));
    EXPECT_EQ("0.0.0.0 d2; 0.0.0.0 d3; ", text(state.netifRows()));
    EXPECT_EQ(Lines{}, apply(linkEvent(RTM_DELLINK, 2, "wan0", 0)));
}

}  // namespace
