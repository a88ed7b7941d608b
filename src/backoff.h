#pragma once
// The delays between the tries of something that failed: the first delay
// after a success, doubled after every further failure up to a cap. The
// caller asks whether a try is due and reports how it went; the clock is
// handed in, so that the sequence can be followed without waiting.

#include <chrono>

namespace kor {
namespace quorin {

class Backoff {
public:
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    Backoff(Ms first, Ms cap) : first_(first), cap_(cap), next_(first) {}

    // A try failed at now: the next one is due after the delay returned,
    // and the delay after that is twice as long (at most the cap).
    Ms failed(Clock::time_point now);
    // A try succeeded: no try is waited for, and the next failure starts
    // from the first delay again. True when that ended a run of failures.
    bool succeeded();
    // A try may be made now: none failed since the last success, or the
    // delay of the last failure has passed.
    bool due(Clock::time_point now) const { return !failing_ || now >= due_; }
    // Something changed that makes a try worth making at once; the delays
    // go on doubling if it fails.
    void dueNow() { due_ = Clock::time_point::min(); }
    bool failing() const { return failing_; }

private:
    const Ms first_;
    const Ms cap_;
    Ms next_;
    Clock::time_point due_;
    bool failing_ = false;
};

}  // namespace quorin
}  // namespace kor
