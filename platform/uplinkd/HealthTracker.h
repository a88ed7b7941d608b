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
// It is back "up" after UpAfter rounds in a row that were good and left
// loss and latency over the window within their limits.

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
    // Why the window keeps the uplink out, "" when loss and latency are fine.
    std::string windowFault() const;

    HealthLimits limits_;
    std::deque<Round> window_;
    int failedInRow_ = 0;
    int goodInRow_ = 0;
    Verdict verdict_;
};

}  // namespace uplinkd
}  // namespace kor
