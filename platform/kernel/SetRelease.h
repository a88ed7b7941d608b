#pragma once
// nf_tables lets go of a deleted rule's ipset in work deferred behind the
// commit (after an RCU grace period). A destroy right behind the transaction
// that deleted the set's last rule can find it still held, for a few
// milliseconds on an idle box and for far longer on a loaded one. Such a
// destroy is tried again, with growing pauses, for a bounded time.

#include <string>
#include <vector>

namespace kor {
namespace kernel {

class SetRelease {
public:
    // Whether a destroy that failed with this error text waits and is tried
    // again; when true, the pause has already been taken.
    bool waitAgain(const std::string& error);

private:
    int waitedMs_ = 0;
    int pauseMs_ = 2;
};

// "ipset destroy NAME" (a destroy of every set is never tried again).
bool isSetDestroy(const std::vector<std::string>& words);

}  // namespace kernel
}  // namespace kor
