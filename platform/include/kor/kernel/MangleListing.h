#pragma once
// The mangle table as "iptables -t mangle -S" lists it, for the checks that
// look at the chains and jumps the router has.

#include <string>

namespace kor {
namespace kernel {

// The listing; false with what iptables said (or why it could not run) in
// error. iptables is killed after timeoutMs.
bool listMangleTable(std::string& listing, std::string& error, int timeoutMs);

}  // namespace kernel
}  // namespace kor
