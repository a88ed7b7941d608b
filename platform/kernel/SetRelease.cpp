#include "SetRelease.h"

#include <unistd.h>

#include <algorithm>

namespace kor {
namespace kernel {

namespace {
// Up to a second per set: a set a foreign rule holds costs that once.
const int kMostWaitMs = 1000;
const int kLongestPauseMs = 100;
}  // namespace

bool SetRelease::waitAgain(const std::string& error) {
    if (error.find("in use by a kernel component") == std::string::npos || waitedMs_ >= kMostWaitMs) return false;
    const int pause = std::min(pauseMs_, kMostWaitMs - waitedMs_);
    usleep(useconds_t(pause) * 1000);
    waitedMs_ += pause;
    pauseMs_ = std::min(pauseMs_ * 2, kLongestPauseMs);
    return true;
}

bool isSetDestroy(const std::vector<std::string>& words) {
    return words.size() == 3 && words[0] == "ipset" && words[1] == "destroy";
}

}  // namespace kernel
}  // namespace kor
