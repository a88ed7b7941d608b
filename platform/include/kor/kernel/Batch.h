#pragma once
// What the batch runners of the command runner report for the commands of
// one batch: every command that ran, with its exit status and error text,
// as it would have run alone.

#include <string>
#include <vector>

#include "kor/kernel/CommandRunner.h"

namespace kor {
namespace kernel {

struct CommandOutcome {
    bool ran = false;   // false: a "||" chain ended before it
    int status = 0;     // the program's exit status
    std::string error;  // what it would have printed on standard error
};

// One entry per command of the chain, in order.
using ChainOutcome = std::vector<CommandOutcome>;

}  // namespace kernel
}  // namespace kor
