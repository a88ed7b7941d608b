// Listings of the kernel's state (such as "iptables -t mangle -S"), run
// without a shell, their output collected.

#include "kor/kernel/MangleListing.h"

#include "ChildInput.h"

namespace kor {
namespace kernel {

bool runListing(const std::vector<std::string>& argv, std::string& output, std::string& error, int timeoutMs) {
    const ChildResult result = runWithInput(argv, "", timeoutMs, true);
    if (!result.started) {
        error = argv[0] + " cannot be started";
        return false;
    }
    if (result.status != 0) {
        error = result.status == -2 ? argv[0] + " killed after the timeout" : result.error;
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    output = result.error;
    return true;
}

bool listMangleTable(std::string& listing, std::string& error, int timeoutMs) {
    return runListing({"iptables", "-t", "mangle", "-S"}, listing, error, timeoutMs);
}

}  // namespace kernel
}  // namespace kor
