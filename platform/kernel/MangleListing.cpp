// "iptables -t mangle -S" run without a shell, its output collected.

#include "kor/kernel/MangleListing.h"

#include "ChildInput.h"

namespace kor {
namespace kernel {

bool listMangleTable(std::string& listing, std::string& error, int timeoutMs) {
    const ChildResult result = runWithInput({"iptables", "-t", "mangle", "-S"}, "", timeoutMs, true);
    if (!result.started) {
        error = "iptables cannot be started";
        return false;
    }
    if (result.status != 0) {
        error = result.status == -2 ? "iptables killed after the timeout" : result.error;
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    listing = result.error;
    return true;
}

}  // namespace kernel
}  // namespace kor
