// netstatd's core: the steps of tests/data/unit-netstatd-steps.txt become
// rtnetlink messages built with libmnl as the kernel sends them, are
// translated (or refused) and applied to the network state; checked are the
// signals it reports, what it asks to read again and the status-table rows.
// Which routes the kernel reports, replacements and dumps are checked
// against the kernel by the lab test.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
#include <utility>

#include "NetworkState.h"
#include "data_file.h"

namespace {

using namespace kor::netstatd;
using Lines = std::vector<std::string>;

// "\xNN" stands for that byte.
std::string unescape(std::string text) {
    for (size_t at; (at = text.find("\\x")) != std::string::npos;)
        text.replace(at, 4, 1, char(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
    return text;
}

// The message of a step ("link|addr|route new|del ..."), translated; false
// when the translation refuses it.
bool translateStep(const Lines& w, NetlinkEvent& event) {
    alignas(nlmsghdr) char buffer[1024] = {};
    nlmsghdr* m = mnl_nlmsg_put_header(buffer);
    auto put = [&](auto header) { memcpy(mnl_nlmsg_put_extra_header(m, sizeof header), &header, sizeof header); };
    std::map<std::string, std::string> o;  // KEY=VALUE, and each other word to itself
    for (const auto& word : w) o.emplace(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
    auto number = [&](const char* key, unsigned none) { return o.count(key) ? unsigned(std::stoul(o[key])) : none; };
    // Text that is no IPv4 address goes as its bytes.
    auto ip = [&](uint16_t type, const std::string& text) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) == 1) mnl_attr_put(m, type, sizeof a, &a);
        else mnl_attr_put(m, type, text.size(), text.data());
    };
    // Each RTM_DEL* follows its RTM_NEW*.
    const unsigned type = w[0] == "link" ? RTM_NEWLINK : w[0] == "addr" ? RTM_NEWADDR : RTM_NEWROUTE;
    m->nlmsg_type = uint16_t(number("type", type + (w[1] == "del")));
    const std::string net = w[w[0] == "addr" ? 3 : 2];  // DEST/PREFIX, LOCAL/PREFIX
    const uint8_t prefix = uint8_t(net.find('/') == net.npos ? 0 : std::stoi(net.substr(net.find('/') + 1)));
    if (w[0] == "link") {
        const unsigned flags = (o.count("up") ? IFF_UP : 0) | (o.count("running") ? IFF_RUNNING : 0) |
                               (o.count("lower_up") ? IFF_LOWER_UP : 0);
        put(ifinfomsg{uint8_t(number("family", AF_UNSPEC)), 0, 0, std::stoi(w[2]), flags, 0});
        mnl_attr_put_strz(m, IFLA_IFNAME, w[3].c_str());
    } else if (w[0] == "addr") {
        put(ifaddrmsg{uint8_t(number("family", AF_INET)), prefix, 0, 0, unsigned(std::stoi(w[2]))});
        if (o.count("peer")) ip(IFA_ADDRESS, o["peer"]);
        ip(IFA_LOCAL, net.substr(0, net.find('/')));
        if (o.count("secondary")) mnl_attr_put_u32(m, IFA_FLAGS, IFA_F_SECONDARY);
    } else {
        m->nlmsg_flags = o.count("replace") ? NLM_F_REPLACE : 0;
        const unsigned table = number("table", RT_TABLE_MAIN);
        put(rtmsg{uint8_t(number("family", AF_INET)), prefix, 0, 0, uint8_t(table < 256 ? table : RT_TABLE_COMPAT),
                  RTPROT_BOOT, RT_SCOPE_UNIVERSE, RTN_UNICAST, 0});
        mnl_attr_put_u32(m, RTA_TABLE, table);
        if (net != "default") ip(RTA_DST, net.substr(0, net.find('/')));
        if (o.count("metric")) mnl_attr_put_u32(m, RTA_PRIORITY, number("metric", 0));
        nlattr* nest = w.size() > 4 && w[4].find('@') != w[4].npos ? mnl_attr_nest_start(m, RTA_MULTIPATH) : nullptr;
        for (const auto& path : w) {
            if (path.find('@') == path.npos) continue;
            const int device = std::stoi(path.substr(path.find('@') + 1));
            auto* hop = static_cast<rtnexthop*>(mnl_nlmsg_get_payload_tail(m));
            if (nest) m->nlmsg_len += MNL_ALIGN(sizeof(rtnexthop));
            if (path[0] != '@') ip(RTA_GATEWAY, path.substr(0, path.find('@')));
            const auto length = static_cast<char*>(mnl_nlmsg_get_payload_tail(m)) - reinterpret_cast<char*>(hop);
            if (nest) *hop = {uint16_t(length), 0, 0, device};
            else if (device) mnl_attr_put_u32(m, RTA_OIF, uint32_t(device));
        }
        if (nest) mnl_attr_nest_end(m, nest);
    }
    if (o.count("bytes")) m->nlmsg_len = MNL_NLMSG_HDRLEN + number("bytes", 0);
    return translate(m, event);
}

TEST(NetstatdState, StepsOfTheDataFile) {
    NetworkState state;
    std::string step;
    Lines expected, observed;  // of the current step, in the file's form
    auto check = [&] { EXPECT_EQ(std::exchange(expected, {}), std::exchange(observed, {})) << step; };
    // "= netif" or "= gateways" as the state is now: "NAME=ADDRESS" (the name is each row's last column),
    // and ",down" after an interface whose link cannot carry traffic.
    auto observe = [&](const std::string& line) {
        std::string out = line.substr(0, line.find(' ', 2));
        for (Row row : out == "= netif" ? state.netifRows() : state.gatewayRows()) {
            const std::string down = row["Link"] == "down" ? ",down" : "";
            row.erase("Link");
            out += " " + row.rbegin()->second + "=" + row.begin()->second + down;
        }
        return out;
    };
    const auto lines = dataLines("unit-netstatd-steps.txt");
    for (std::string line : lines) {
        line = unescape(line);
        if (line.rfind("= ", 0) == 0) observed.push_back(observe(line));
        if (line.rfind("= ", 0) == 0 || line.rfind("> ", 0) == 0) {
            expected.push_back(line);
            continue;
        }
        check();
        step = line;
        std::istringstream words(line);
        const Lines w{std::istream_iterator<std::string>(words), {}};
        NetlinkEvent event;
        std::vector<Signal> signals;
        Resync resync;
        if (!translateStep(w, event)) observed.push_back("> refused");
        else if (w.back() == "dump") state.replaceRoutes({event.route}, signals);
        else resync = state.apply(event, signals);
        for (const auto& signal : signals) observed.push_back("> " + signal.toString());
        if (resync.addresses) observed.push_back("> resync addresses");
        if (resync.routes) observed.push_back("> resync routes");
    }
    check();
    EXPECT_GT(lines.size(), 150u);
}

}  // namespace
