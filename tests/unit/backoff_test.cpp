// The delays between the tries of the bus session: the reconnect (250 ms
// doubling to 5 s) and the main-table query (1 s doubling to 30 s), followed
// step by step on a clock that the test moves.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backoff.h"

namespace {

using kor::quorin::Backoff;
using Ms = Backoff::Ms;

// One step: what happens at the offset from the start, and what must follow.
struct Step {
    long at;            // ms after the start
    std::string event;  // "fail", "succeed", "now" (dueNow) or "look"
    long delay;         // for "fail": the delay it must return
    bool dueAfter;      // a try is due at that moment, after the event
};

void follow(Backoff backoff, const std::vector<Step>& steps) {
    const Backoff::Clock::time_point start{};
    for (const Step& s : steps) {
        const auto now = start + Ms(s.at);
        if (s.event == "fail")
            EXPECT_EQ(backoff.failed(now), Ms(s.delay)) << "at " << s.at;
        else if (s.event == "succeed")
            backoff.succeeded();
        else if (s.event == "now")
            backoff.dueNow();
        EXPECT_EQ(backoff.due(now), s.dueAfter) << s.event << " at " << s.at;
    }
}

}  // namespace

TEST(Backoff, ReconnectDelaysDoubleUpToTheirCapAndStartAgainAfterASuccess) {
    follow(Backoff(Ms(250), Ms(5000)), {
                                           {0, "look", 0, true},
                                           {0, "fail", 250, false},
                                           {249, "look", 0, false},
                                           {250, "fail", 500, false},
                                           {750, "fail", 1000, false},
                                           {1750, "fail", 2000, false},
                                           {3750, "fail", 4000, false},
                                           {7750, "fail", 5000, false},
                                           {12749, "look", 0, false},
                                           {12750, "fail", 5000, false},
                                           {17750, "succeed", 0, true},
                                           {17750, "fail", 250, false},
                                       });
}

TEST(Backoff, QueryRetryMadeDueAtOnceKeepsDoubling) {
    follow(Backoff(Ms(1000), Ms(30000)), {
                                             {0, "fail", 1000, false},
                                             {1000, "fail", 2000, false},
                                             {1500, "now", 0, true},
                                             {1500, "fail", 4000, false},
                                             {5499, "look", 0, false},
                                             {5500, "fail", 8000, false},
                                             {13500, "fail", 16000, false},
                                             {29500, "fail", 30000, false},
                                             {59500, "fail", 30000, false},
                                         });
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
