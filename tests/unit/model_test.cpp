// The balancing controller driven by the scenarios of
// tests/data/unit-model.txt: configuration tables in memory, events and
// routes in, and every command line it runs out, batch by batch, compared
// with what the scenario expects after each step (the file says how).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ipv4route-dbus.h"
#include "kor/cfg/RecordingExecutor.h"
#include "kor/sysloglevel.h"
#include "../memory_access.h"
#include "quorin.h"

namespace {

using moduna::Value;
using Row = MemoryAccess::Row;

struct Step {
    std::string command, expected;
};
struct Scenario {
    std::string name;
    std::vector<Step> steps;
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

std::vector<Scenario> readScenarios() {
    std::vector<Scenario> out;
    std::ifstream in(QUORIN_TEST_DATA "/unit-model.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0) out.push_back({line.substr(3), {}});
        else if (line.empty() || line[0] == '#' || out.empty()) continue;
        else if (line[0] == '|' || line[0] == '=' || line[0] == '~' || line == "--") {
            if (!out.back().steps.empty()) out.back().steps.back().expected += line + "\n";
        } else out.back().steps.push_back({line, ""});
    }
    return out;
}

// The kernel's main table as the "main" steps build it; every other table
// is empty.
struct MainTable : kor::quorin::RouteTableReader {
    std::vector<kor::quorin::TableRoute> routes;
    std::vector<std::string> devices{""};
    bool unreadable = false;
    bool read(uint32_t table, std::vector<kor::quorin::TableRoute>& out, std::string& error) override {
        error = "unreadable";
        out = table == 254 ? routes : std::vector<kor::quorin::TableRoute>{};
        return !unreadable;
    }
    std::string deviceName(uint32_t index) override { return index < devices.size() ? devices[index] : ""; }
    uint32_t address(const std::string& text) {
        in_addr a{};
        inet_pton(AF_INET, text.c_str(), &a);
        return ntohl(a.s_addr);
    }
    void add(const std::string& destination, int length, const std::string& gateway, const std::string& device) {
        auto at = std::find(devices.begin(), devices.end(), device);
        if (at == devices.end()) at = devices.insert(at, device);
        routes.push_back({address(destination), uint8_t(length), address(gateway), uint32_t(at - devices.begin()), 0});
    }
};

class Model : public ::testing::TestWithParam<Scenario> {
protected:
    // Runs one step; returns what it did in the form of the file.
    std::string run(const std::string& command) {
        std::istringstream in(command);
        std::string verb, table, a, b, c, d;
        in >> verb;
        const auto words = [&](std::string& w) -> std::istream& { return in >> std::quoted(w); };
        std::ostringstream out;
        ::testing::internal::CaptureStderr();
        db.counted.clear();
        db.starts = db.ends = 0;
        // COLUMN VALUE... into a row; decimal values are integers.
        const auto cells = [&](Row& row) {
            while (words(a) && words(b))
                row[a] = b.find_first_not_of("-0123456789") == std::string::npos ? Value(std::stoll(b)) : Value(b);
        };
        if (verb == "table") {
            words(table);
            db.tables[table].clear();
        } else if (verb == "row") {
            words(table);
            cells(db.tables[table].emplace_back());
        } else if (verb == "set") {  // TABLE N COLUMN VALUE...
            words(table) >> c;
            cells(db.tables[table].at(std::stoul(c)));
        } else if (verb == "drop") {
            words(table) >> b;
            db.tables[table].erase(db.tables[table].begin() + std::stoi(b));
        } else if (verb == "answers") {
            for (unsigned rc; in >> rc;) db.answers.push_back(rc);
        } else if (verb == "load") {
            words(table);
            const bool changed = ctl->loadFromConfig(db, table);
            out << "= " << (changed ? "changed," : "unchanged,") << " read" << db.counted << "\n";
        } else if (verb == "commit") {
            ctl->commitToSystem(db, queue);
        } else if (verb == "removed" || verb == "added" || verb == "link") {
            words(a) && words(b);
            if (verb == "removed") ctl->removedAddressEvent(a, b);
            if (verb == "added") ctl->newAddressEvent(a, b);
            if (verb == "link") ctl->linkStatusEvent(a, b == "up");
        } else if (verb == "add" || verb == "del") {  // DEST PREFIX GATEWAY DEVICE
            words(a) >> c && words(b) && words(d);
            (verb == "add") ? ctl->AddRoute(a, std::stoi(c), b, d) : ctl->DelRoute(a, std::stoi(c), b, d);
        } else if (verb == "signal") {  // add|del DEST PREFIX GATEWAY DEVICE TABLE
            unsigned prefix = 0, kernelTable = 0;
            words(a) >> b >> prefix && words(c) && words(d) >> kernelTable;
            kor::quorin::IPv4RouteDBusProxy::mirrorRoute(*ctl, module, a == "add", b, uint8_t(prefix), c, d,
                                                         kernelTable);
        } else if (verb == "copy") {  // DEST PREFIX GATEWAY PROTOCOL DEVICE, repeated
            std::vector<kor::quorin::IPv4RouteInfo> routes;
            for (std::string e; words(a) && words(b) && words(c) && words(d) && words(e);)
                routes.push_back({a, b, c, d, e});
            kor::quorin::copyMainTableRoutes(*ctl, module, routes);
        } else if (verb == "main") {  // DEST PREFIX GATEWAY DEVICE, or unreadable
            if (words(a) && a == "unreadable") kernel.unreadable = true;
            else if (in >> c && words(b) && words(d)) kernel.add(a, std::stoi(c), b, d);
        } else if (verb == "end") {
            ctl.reset();
        } else if (verb == "restart") {  // the daemon ends, and a new one starts on its numbers file
            ctl.reset();
            rec->take();
            start();
        } else if (verb == "numbers") {  // LINE...: what the numbers file holds; none removes it
            std::ofstream file(numbersFile);
            for (std::string line; words(line);) file << line << "\n";
            if (!file.tellp()) std::remove(numbersFile.c_str());
        } else {
            ADD_FAILURE() << "unknown step " << command;
        }
        if (db.starts || db.ends) out << "= transactions started " << db.starts << ", ended " << db.ends << "\n";
        size_t at = 0;
        std::ostringstream lines;
        for (size_t batch : rec->batches) {
            for (size_t end = at + batch; at < end; ++at) lines << "| " << rec->lines[at] << "\n";
            if (batch) lines << "--\n";
        }
        for (; at < rec->lines.size(); ++at) lines << "| " << rec->lines[at] << "\n";
        // The log lines of members that join or leave a split, and of rows
        // that are refused.
        std::istringstream log(::testing::internal::GetCapturedStderr());
        for (std::string line; std::getline(log, line);) {
            if (line.find(" the split") != std::string::npos) lines << "~ " << line.substr(line.find("group ")) << "\n";
            // After the time, level, module and source of the line.
            size_t text = 0;
            for (int field = 0; field < 5 && text != std::string::npos; ++field) text = line.find(' ', text + 1);
            if (line.find(" skipped: ") != std::string::npos && text != std::string::npos)
                lines << "~ " << line.substr(text + 1) << "\n";
        }
        if (queue.pending()) lines << "= " << queue.pending() << " lines left in the queue\n";
        rec->take();
        return lines.str() + out.str();
    }
    void SetUp() override {
        std::remove(numbersFile.c_str());
        start();
    }
    void TearDown() override { std::remove(numbersFile.c_str()); }
    void start() {
        ctl = std::make_unique<kor::quorin::quorin>();
        ctl->setNumbersFile(numbersFile);
        ctl->setRouteReader(&kernel);
    }
    MemoryAccess db;
    MainTable kernel;
    std::shared_ptr<kor::cfg::RecordingExecutor> rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue{rec};
    const std::string numbersFile = ::testing::TempDir() + "quorin-" + GetParam().name + ".numbers";
    std::unique_ptr<kor::quorin::quorin> ctl;
    const int module = KOR_Sysloglevel_registerModul("quorin");
};

TEST_P(Model, EachStepRunsTheExpectedLines) {
    for (const Step& step : GetParam().steps) EXPECT_EQ(run(step.command), step.expected) << step.command;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Model, ::testing::ValuesIn(readScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
