// The split of a group's new connections, from the table of
// tests/data/unit-shares.txt: a group of that share mode and those uplinks
// is loaded and committed, and each uplink's rule is read back from the
// command lines.

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "../memory_access.h"
#include "data_file.h"
#include "kor/cfg/RecordingExecutor.h"
#include "quorin.h"

namespace {

// What the rules that set a mark do with it, as the data file writes it.
std::string ruleOf(const std::vector<std::string>& lines, int mark) {
    const std::string sets = "--set-mark " + std::to_string(mark);
    for (const std::string& line : lines) {
        if (line.find("-A LOADBALANCING1") == std::string::npos ||
            line.compare(line.size() - sets.size(), sets.size(), sets) != 0)
            continue;
        if (line.find("-m mark") == std::string::npos) return "base";
        const size_t at = line.find("--probability ");
        return at == std::string::npos ? "all" : line.substr(at + 14, 4);
    }
    return "-";
}

std::string split(const std::string& config) {
    std::istringstream in(config);
    long long mode = 0;
    in >> mode;
    MemoryAccess db;
    db.oneGroup(mode, {std::istream_iterator<std::string>(in), {}});
    auto rec = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue{rec};
    auto ctl = std::make_unique<kor::quorin::quorin>();
    ctl->loadFromConfig(db, "");
    ctl->commitToSystem(db, queue);
    // A fresh daemon numbers the uplinks that are up from 256, in row order.
    std::string rules;
    int mark = 256;
    for (const auto& row : db.tables["StatusNetifWatch"])
        rules += std::string(rules.empty() ? "" : " ") +
                 (row.at("Addr").getText() == "0.0.0.0" ? "-" : ruleOf(rec->lines, mark++));
    return rules;
}

TEST(Shares, EachUplinksRuleTakesItsWeightOfTheUplinksThatAreUp) {
    EXPECT_GT(checkCases("unit-shares.txt", split), 10u);
}

}  // namespace
