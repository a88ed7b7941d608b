#include "HealthTracker.h"

namespace kor {
namespace uplinkd {

bool HealthTracker::feed(const std::vector<ProbeResult>& probes) {
    Round round;
    for (const auto& probe : probes) {
        ++round.sent;
        if (!probe.answered) continue;
        ++round.answered;
        round.rttSum += probe.rttMs;
    }
    window_.push_back(round);
    if (window_.size() > kWindow) window_.pop_front();
    measure();

    const bool good = round.answered >= limits_.reliability;
    failedInRow_ = good ? 0 : failedInRow_ + 1;
    const std::string fault = windowFault();
    if (verdict_.up) {
        if (failedInRow_ >= limits_.downAfter) verdict_.reason = "probes";
        else if (!fault.empty()) verdict_.reason = fault;
        else return false;
        verdict_.up = false;
        goodInRow_ = 0;
        heldInRow_ = 0;
        return true;
    }
    goodInRow_ = good ? goodInRow_ + 1 : 0;
    heldInRow_ = withinRejoinLimits() ? heldInRow_ + 1 : 0;
    // Out for misses: back once the window would not take it out again.
    // Out for loss or latency: back after a whole window well within them.
    const bool settled = verdict_.reason == "probes" ? fault.empty() : heldInRow_ >= kWindow;
    if (goodInRow_ < limits_.upAfter || !settled) return false;
    verdict_.up = true;
    verdict_.reason.clear();
    return true;
}

void HealthTracker::measure() {
    long long sent = 0, answered = 0, rttSum = 0;
    for (const auto& round : window_) {
        sent += round.sent;
        answered += round.answered;
        rttSum += round.rttSum;
    }
    verdict_.lossPercent = sent ? int(((sent - answered) * 100 + sent / 2) / sent) : 0;
    verdict_.rttMs = answered ? int((rttSum + answered / 2) / answered) : 0;
}

std::string HealthTracker::windowFault() const {
    if (window_.size() < kWindow) return "";
    if (limits_.maxLossPercent > 0 && verdict_.lossPercent > limits_.maxLossPercent) return "loss";
    if (limits_.maxRttMs > 0 && verdict_.rttMs > limits_.maxRttMs) return "latency";
    return "";
}

bool HealthTracker::withinRejoinLimits() const {
    if (window_.size() < kWindow) return false;
    if (limits_.maxLossPercent > 0 && verdict_.lossPercent * 2 > limits_.maxLossPercent) return false;
    if (limits_.maxRttMs > 0 && verdict_.rttMs > limits_.maxRttMs) return false;
    return true;
}

}  // namespace uplinkd
}  // namespace kor
