#include "backoff.h"

#include <algorithm>

namespace kor {
namespace quorin {

Backoff::Ms Backoff::failed(Clock::time_point now) {
    const Ms delay = next_;
    failing_ = true;
    due_ = now + delay;
    next_ = std::min(cap_, next_ * 2);
    return delay;
}

bool Backoff::succeeded() {
    const bool ended = failing_;
    failing_ = false;
    next_ = first_;
    return ended;
}

}  // namespace quorin
}  // namespace kor
