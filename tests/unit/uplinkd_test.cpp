// uplinkd's core without the network: the verdicts its state machine gives
// for the rounds of tests/data/uplinkd-rounds.txt, and what its reader makes
// of the rows of tests/data/uplinkd-rows.txt. Probing itself, rules and
// tables are checked against the kernel by the lab test.

#include <gtest/gtest.h>

#include <sstream>

#include "HealthTracker.h"
#include "TrackingConfig.h"
#include "data_file.h"

namespace {

using namespace kor::uplinkd;

// "ROUND[*N]" as its probes and count.
std::vector<ProbeResult> parseRound(std::string text, int& times) {
    const size_t star = text.find('*');
    times = star == std::string::npos ? 1 : std::stoi(text.substr(star + 1));
    std::vector<ProbeResult> round;
    std::istringstream probes(text.substr(0, star));
    for (std::string probe; std::getline(probes, probe, ',');)
        round.push_back(probe == "x" ? ProbeResult{false, 0} : ProbeResult{true, std::stoi(probe)});
    return round;
}

// The verdict in the words of the file, with loss and rtt where expected names them.
std::string describe(const Verdict& v, const std::string& expected) {
    std::string text = v.up ? "up" : "down " + v.reason;
    if (expected.find("loss=") != std::string::npos) text += " loss=" + std::to_string(v.lossPercent);
    if (expected.find("rtt=") != std::string::npos) text += " rtt=" + std::to_string(v.rttMs);
    return text;
}

TEST(UplinkdHealth, RoundsGiveTheVerdictsOfTheTable) {
    std::unique_ptr<HealthTracker> tracker;
    std::string section;
    for (const std::string& line : dataLines("uplinkd-rounds.txt")) {
        if (line.rfind("## ", 0) == 0 || line.rfind("limits", 0) == 0) {
            HealthLimits limits;
            std::istringstream words(line[0] == '#' ? "" : line.substr(6));
            for (std::string word; words >> word;) {
                const int value = std::stoi(word.substr(word.find('=') + 1));
                const std::string key = word.substr(0, word.find('='));
                (key == "DownAfter"        ? limits.downAfter
                 : key == "UpAfter"        ? limits.upAfter
                 : key == "Reliability"    ? limits.reliability
                 : key == "MaxLossPercent" ? limits.maxLossPercent
                                           : limits.maxRttMs) = value;
            }
            if (line[0] == '#') section = line;
            tracker = std::make_unique<HealthTracker>(limits);
            continue;
        }
        const size_t arrow = line.find(" -> ");
        int times = 0;
        const auto round = parseRound(line.substr(0, arrow), times);
        for (int i = 0; i < times; ++i) {
            const bool wasUp = tracker->verdict().up;
            const bool changed = tracker->feed(round);
            EXPECT_EQ(changed, wasUp != tracker->verdict().up) << section << ": " << line;
        }
        const std::string expected = line.substr(arrow + 4);
        EXPECT_EQ(describe(tracker->verdict(), expected), expected) << section << ": " << line;
    }
}

// "COLUMN=VALUE; ..." as a row: up to 18 digits give an integer, anything
// else a text (as the service keeps a number beyond 64 bits).
moduna::ValueList parseRow(const std::string& line) {
    moduna::ValueList row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ';');) {
        cell.erase(0, cell.find_first_not_of(' '));
        const std::string column = cell.substr(0, cell.find('=')), value = cell.substr(cell.find('=') + 1);
        const bool integer =
            !value.empty() && value.size() < 19 && value.find_first_not_of("-0123456789") == std::string::npos;
        row.setValue(column, integer ? moduna::Value(std::stoll(value)) : moduna::Value(value));
    }
    return row;
}

std::string describe(const UplinkSettings& s) {
    std::ostringstream out;
    out << "ok " << s.interface << " targets=" << s.targets.size() << " interval=" << s.intervalMs
        << " timeout=" << s.timeoutMs << " down=" << s.limits.downAfter << " up=" << s.limits.upAfter
        << " reliability=" << s.limits.reliability << " maxloss=" << s.limits.maxLossPercent
        << " maxrtt=" << s.limits.maxRttMs;
    return out.str();
}

TEST(UplinkdRows, EachRowIsProbedOrRefusedWithItsLine) {
    const auto lines = dataLines("uplinkd-rows.txt");
    std::vector<moduna::ValueList> rows;
    std::vector<std::string> refused, accepted;
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        rows.push_back(parseRow(lines[i]));
        (lines[i + 1].rfind("ok ", 0) == 0 ? accepted : refused).push_back(lines[i + 1]);
    }
    std::vector<std::string> refusals;
    auto resolve = [](const std::string& name) { return name == "$$(isp3)" ? std::string("wan3") : name; };
    const auto settings = readTracking(rows, resolve, refusals);
    EXPECT_EQ(refusals, refused);
    std::vector<std::string> described;
    for (const auto& one : settings) described.push_back(describe(one));
    EXPECT_EQ(described, accepted);
}

}  // namespace
