#pragma once
// Runs a program with the given text as its standard input, without a
// shell, and collects its exit status and error output: for the restore
// programs of the command runner's batches.

#include <string>
#include <vector>

namespace kor {
namespace kernel {

struct ChildResult {
    bool started = false;  // false: the program could not be started
    int status = -1;       // exit status, 128 + signal, -2 when killed after the timeout
    std::string error;     // what it wrote on standard error (and output)
};

// argv[0] is looked up in the absolute directories of PATH. The program is
// killed when it still runs after timeoutMs. With withOutput its standard
// output goes into error as well, else to /dev/null.
ChildResult runWithInput(const std::vector<std::string>& argv, const std::string& input, int timeoutMs,
                         bool withOutput = false);

}  // namespace kernel
}  // namespace kor
