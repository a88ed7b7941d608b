#pragma once
// The verdict on one uplink from the results of its probe rounds, without
// any I/O: the daemon feeds it every round, the unit tests feed it tables.
//
// A round is good when at least Reliability of its targets answered. The
// uplink starts "up" and goes "down":
//   - "probes":  after DownAfter failed rounds in a row;
//   - "loss":    MaxLossPercent > 0 and the loss over the last 20 rounds is
//                above it (once 20 rounds are in the window);
//   - "latency": MaxRttMs > 0 and the average RTT over the answered probes
//                of the last 20 rounds is above it (once 20 rounds).
// It is back "up" after UpAfter good rounds in a row, and then only when the
// window would not take it out again at once. Out for "loss" or "latency",
// the window must also have stayed within the limits to rejoin for a whole
// window's worth of rounds (20) in a row: loss at most half of
// MaxLossPercent, average RTT at most MaxRttMs. Twenty rounds are too few to
// tell 40 % loss from 20 % reliably: without the margin and the hold, an
// uplink that keeps losing 40 % against a limit of 20 % came back within a
// minute in one trial of three.

#include <deque>
#include <string>
#include <vector>

namespace kor {
namespace uplinkd {

struct HealthLimits {
    int downAfter = 8;
    int upAfter = 5;
    int reliability = 1;
    int maxLossPercent = 0;  // 0: off
    int maxRttMs = 0;        // 0: off
};

// One target's probe of a round.
struct ProbeResult {
    bool answered = false;
    int rttMs = 0;
};

struct Verdict {
    bool up = true;
    std::string reason;  // "", "probes", "loss", "latency"
    int lossPercent = 0;  // over the window, rounded
    int rttMs = 0;        // average over the window's answered probes, rounded
};

class HealthTracker {
public:
    static const size_t kWindow = 20;

    explicit HealthTracker(const HealthLimits& limits) : limits_(limits) {}

    // One finished round; true when the state (up/down) changed by it.
    bool feed(const std::vector<ProbeResult>& round);
    const Verdict& verdict() const { return verdict_; }

private:
    struct Round {
        int sent = 0;
        int answered = 0;
        long long rttSum = 0;
    };
    void measure();
    // Why the window takes the uplink out, "" when loss and latency are fine.
    std::string windowFault() const;
    // The full window is within the limits an uplink that is out must meet
    // to come back.
    bool withinRejoinLimits() const;

    HealthLimits limits_;
    std::deque<Round> window_;
    int failedInRow_ = 0;
    int goodInRow_ = 0;
    size_t heldInRow_ = 0;  // rounds in a row within the limits to rejoin
    Verdict verdict_;
};

}  // namespace uplinkd
}  // namespace kor
