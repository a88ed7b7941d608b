// The member-table reconcile, from the table of tests/data/unit-reconcile.txt:
// the kernel's tables come from a reader in memory, and the lines queued by
// the reconcile are compared with those the case expects.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../memory_access.h"
#include "data_file.h"
#include "kor/cfg/RecordingExecutor.h"
#include "quorin.h"
#include "routetables.h"

namespace {

const std::map<std::string, uint32_t> devices = {{"lan0", 1}, {"wan1", 2}, {"wan2", 3}, {"wan3", 4}, {"gone0", 99}};

uint32_t hostAddress(const std::string& text) {
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &address), 1) << text;
    return ntohl(address.s_addr);
}

kor::quorin::TableRoute parseRoute(std::istringstream& in) {
    kor::quorin::TableRoute route;
    std::string word;
    in >> word;
    if (word != "default") {
        const size_t slash = word.find('/');
        route.destination = hostAddress(word.substr(0, slash));
        route.length = uint8_t(std::stoi(word.substr(slash + 1)));
    }
    while (in >> word) {
        std::string value;
        in >> value;
        if (word == "via") route.gateway = hostAddress(value);
        if (word == "dev") route.device = devices.at(value);
        if (word == "metric") route.metric = uint32_t(std::stoul(value));
    }
    return route;
}

struct MemoryReader : kor::quorin::RouteTableReader {
    std::map<uint32_t, std::vector<kor::quorin::TableRoute>> tables;
    std::set<uint32_t> unreadable;
    bool read(uint32_t table, std::vector<kor::quorin::TableRoute>& out, std::string& error) override {
        if (unreadable.count(table)) {
            error = "unreadable";
            return false;
        }
        out = tables[table];
        return true;
    }
    std::string deviceName(uint32_t index) override {
        for (const auto& device : devices)
            if (device.second == index && device.first != "gone0") return device.first;
        return "";
    }
};

struct Case {
    std::string name;
    MemoryReader reader;
    bool result = true;
    std::vector<std::string> expected;
};

std::vector<Case> readCases() {
    std::vector<Case> cases;
    for (const std::string& line : dataLines("unit-reconcile.txt")) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "##") {
            cases.emplace_back();
            in >> verb >> cases.back().name;
            continue;
        }
        Case& c = cases.back();
        uint32_t table = 254;
        if (verb == "table" || verb == "unreadable") in >> table;
        if (verb == "main" || verb == "table") c.reader.tables[table].push_back(parseRoute(in));
        if (verb == "unreadable") c.reader.unreadable.insert(table);
        if (verb == "result") c.result = line.substr(7) == "true";
        if (verb == "expect") c.expected.push_back(line.substr(7));
    }
    return cases;
}

TEST(Reconcile, EachMemberTableGetsTheLinesThatMakeItEqualTheMainTable) {
    for (Case& c : readCases()) {
        SCOPED_TRACE(c.name);
        MemoryAccess db;
        db.tables["BalancingGroups"].push_back(
            {{"Id", 1LL}, {"ClientInterface", "lan0"}, {"Enable", 1LL}, {"Sticky", 0LL}, {"Autobalance", 0LL}});
        db.tables["BalancingServices"].push_back({{"Id", 1LL}, {"BalancingGroupId", 1LL}});
        for (const char* name : {"wan1", "wan2"}) {
            const std::string n(name + 3);
            db.tables["BalancingInterfaces"].push_back(
                {{"BalancingGroupId", 1LL}, {"Interface", name}, {"UsagePercent", 50LL}});
            db.tables["StatusNetifWatch"].push_back({{"Name", name}, {"Addr", "10." + n + ".0.2"}});
        }
        auto rec = std::make_shared<kor::cfg::RecordingExecutor>();
        kor::cfg::ActionQueue queue{rec};
        kor::quorin::quorin ctl;
        ctl.loadFromConfig(db, "");
        ctl.commitToSystem(db, queue);
        rec->lines.clear();
        EXPECT_EQ(ctl.reconcileMemberTables(c.reader), c.result);
        EXPECT_EQ(rec->lines, c.expected);
        rec->lines.clear();
    }
}

}  // namespace
