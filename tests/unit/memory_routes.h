#pragma once
// The kernel's routing tables in memory, read through the controller's
// route reader. A route is written as "ip route" lists it, in part:
// DEST/LEN or "default", then [via GW] [dev NAME] [metric N]. The devices
// are lan0, wan1, wan2 and wan3; gone0 has an index but no name any more.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "routetables.h"

struct MemoryRoutes : kor::quorin::RouteTableReader {
    std::map<uint32_t, std::vector<kor::quorin::TableRoute>> tables;
    std::set<uint32_t> unreadable;

    bool read(uint32_t table, std::vector<kor::quorin::TableRoute>& out, std::string& error) override {
        error = "unreadable";
        out = tables[table];
        return !unreadable.count(table);
    }
    std::string deviceName(uint32_t index) override {
        for (const auto& device : devices())
            if (device.second == index && device.first != "gone0") return device.first;
        return "";
    }
    void add(uint32_t table, const std::string& text) {
        std::istringstream in(text);
        kor::quorin::TableRoute route;
        std::string word, value;
        in >> word;
        if (word != "default") {
            const size_t slash = word.find('/');
            route.destination = address(word.substr(0, slash));
            route.length = uint8_t(std::stoi(word.substr(slash + 1)));
        }
        while (in >> word >> value) {
            if (word == "via") route.gateway = address(value);
            if (word == "dev") route.device = devices().at(value);
            if (word == "metric") route.metric = uint32_t(std::stoul(value));
        }
        tables[table].push_back(route);
    }

private:
    static const std::map<std::string, uint32_t>& devices() {
        static const std::map<std::string, uint32_t> known = {
            {"lan0", 1}, {"wan1", 2}, {"wan2", 3}, {"wan3", 4}, {"gone0", 99}};
        return known;
    }
    static uint32_t address(const std::string& text) {
        in_addr a{};
        EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &a), 1) << text;
        return ntohl(a.s_addr);
    }
};
