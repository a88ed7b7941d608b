// The delays between the tries of the bus session: the reconnect (250 ms
// doubling to 5 s) and the main-table query (1 s doubling to 30 s), followed
// step by step (tests/data/unit-backoff.txt) on a clock that the test moves.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "backoff.h"
#include "data_file.h"

using kor::quorin::Backoff;
using Ms = Backoff::Ms;

TEST(Backoff, DelaysOfTheTableDoubleUpToTheirCapAndStartAgain) {
    std::unique_ptr<Backoff> backoff;
    std::string name;
    const Backoff::Clock::time_point start{};
    for (const std::string& line : dataLines("unit-backoff.txt")) {
        std::istringstream in(line);
        std::string event, arrow, due;
        long at = 0, delay = 0;
        if (line.rfind("## ", 0) == 0) {
            in >> arrow >> name >> at >> delay;
            backoff = std::make_unique<Backoff>(Ms(at), Ms(delay));
            continue;
        }
        in >> at >> event;
        const auto now = start + Ms(at);
        if (event == "fail" && in >> delay) {
            EXPECT_EQ(backoff->failed(now), Ms(delay)) << name << " at " << at;
        }
        if (event == "succeed") backoff->succeeded();
        if (event == "now") backoff->dueNow();
        in >> arrow >> due;
        EXPECT_EQ(backoff->due(now), due == "due") << name << ": " << line;
    }
}

TEST(Backoff, SucceededTellsWhetherItEndedARunOfFailures) {
    Backoff backoff(Ms(250), Ms(5000));
    EXPECT_FALSE(backoff.succeeded());
    backoff.failed(Backoff::Clock::now());
    EXPECT_TRUE(backoff.failing());
    EXPECT_TRUE(backoff.succeeded());
    EXPECT_FALSE(backoff.failing());
    EXPECT_FALSE(backoff.succeeded());
}
