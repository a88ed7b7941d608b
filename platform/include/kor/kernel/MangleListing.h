#pragma once
// The mangle table as "iptables -t mangle -S" lists it, for the checks that
// look at the chains and jumps the router has.

#include <string>
#include <vector>

namespace kor {
namespace kernel {

// The listing; false with what iptables said (or why it could not run) in
// error. iptables is killed after timeoutMs.
bool listMangleTable(std::string& listing, std::string& error, int timeoutMs);

// Runs argv (found on the search path, no shell) and collects its standard
// output in output; true when it exits with status 0, else false with its
// error output (or why it could not run) in error. Killed after timeoutMs.
bool runListing(const std::vector<std::string>& argv, std::string& output, std::string& error, int timeoutMs);

}  // namespace kernel
}  // namespace kor
