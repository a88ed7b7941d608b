// The balancing controller driven by the scenarios of
// tests/data/unit-model.txt: configuration tables in memory, events and
// routes in, and every command line it runs out, batch by batch, compared
// with what the scenario expects after each step (the file says how).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ipv4route-dbus.h"
#include "kor/cfg/RecordingExecutor.h"
#include "kor/sysloglevel.h"
#include "../memory_access.h"
#include "memory_routes.h"
#include "quorin.h"

namespace {

using moduna::Value;
using Row = MemoryAccess::Row;

// No unit test reads the host's routing tables: for every test of this
// program, a member's table lists as empty.
struct EmptyTables : kor::quorin::KernelLister {
    EmptyTables() { kor::quorin::OutInterface::setTableLister(this); }
    bool list(const std::vector<std::string>&, std::string& output) override {
        output.clear();
        return true;
    }
} emptyTables;

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

// The router as the "sysctl" and "mangle" steps make it.
struct Router : kor::quorin::RouterState {
    std::map<std::string, int> sysctls;
    std::string listing;
    bool sysctl(const std::string& name, int& value) override {
        const auto found = sysctls.find(name);
        return found != sysctls.end() && ((value = found->second), true);
    }
    bool mangle(std::string& out, std::string& error) override {
        error = "iptables: not listable";
        return (out = listing) != "unlistable\n";
    }
    bool rulesetChanged() override { return true; }
};

// The state file's content at that time against entry N of a JSON array in
// tests/data.
std::string stateAgainst(kor::quorin::quorin& ctl, const std::string& file, size_t entry, time_t now) {
    const auto state = ctl.getStateFile().compose(ctl, now);
    const auto expected = nlohmann::ordered_json::parse(std::ifstream(QUORIN_TEST_DATA "/" + file)).at(entry);
    return state == expected ? "= state as " + file + " " + std::to_string(entry) + "\n" : "= state " + state.dump(2) + "\n";
}

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
        // COLUMN VALUE... into a row; decimal values are integers, but for
        // those of 19 digits and more, which the service keeps as text.
        const auto cells = [&](Row& row) {
            while (words(a) && words(b))
                row[a] = b.size() < 19 && b.find_first_not_of("-0123456789") == std::string::npos ? Value(std::stoll(b))
                                                                                                   : Value(b);
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
        } else if (verb == "main") {  // ROUTE, or unreadable
            std::getline(in >> std::ws, a);
            if (a == "unreadable") kernel.unreadable.insert(254);
            else kernel.add(254, a);
        } else if (verb == "sysctl") {  // NAME VALUE
            in >> a >> c;
            router.sysctls[a] = std::stoi(c);
        } else if (verb == "mangle") {  // LINE...: the mangle table's listing
            router.listing.clear();
            while (words(a)) router.listing += a + "\n";
        } else if (verb == "option") {  // the daemon started with -d
            ctl->setDebugOption(true);
        } else if (verb == "mode") {
            out << "= debug " << ctl->getDebugMode() << ", trace level " << KOR_Sysloglevel_tracelevel(module) << "\n";
        } else if (verb == "check") {
            ctl->runPrerequisiteChecks(true);
        } else if (verb == "state") {  // FILE N NOW
            in >> a >> c >> d;
            out << stateAgainst(*ctl, a, std::stoul(c), time_t(std::stoll(d)));
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
        std::istringstream log(::testing::internal::GetCapturedStderr());
        for (std::string line; std::getline(log, line);) lines << logged(line);
        if (queue.pending()) lines << "= " << queue.pending() << " lines left in the queue\n";
        rec->take();
        return lines.str() + out.str();
    }
    // A log line of the events the file shows (groups, members, shares,
    // start and stop, refused rows, prerequisites), as "~ TEXT" ("~ WARNING
    // TEXT" for a warning); "" for any other.
    static std::string logged(const std::string& line) {
        std::istringstream in(line);
        std::string date, time, level, module, source;
        in >> date >> time >> level >> module >> source;
        std::string text;
        std::getline(in >> std::ws, text);
        const auto starts = [&](const char* prefix) { return text.rfind(prefix, 0) == 0; };
        if (level == "DEBUG" || level == "TRACE") return "";
        if (!starts("group ") && !starts("start: ") && !starts("stop: ") && text.find(" skipped: ") == std::string::npos &&
            text.find(" ignored: ") == std::string::npos && source.rfind("prerequisites:", 0) != 0)
            return "";
        return "~ " + (level == "WARNING" ? level + " " : "") + text + "\n";
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
        ctl->setRouterState(&router);
        ctl->getStateFile().setProcess(1234, 1765170000);
    }
    MemoryAccess db;
    MemoryRoutes kernel;
    Router router;
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
