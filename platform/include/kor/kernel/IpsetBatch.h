#pragma once
// The ipset commands of a batch carried out by one "ipset restore", each as
// it would run alone.

#include <vector>

#include "kor/kernel/Batch.h"

namespace kor {
namespace kernel {

class IpsetBatch {
public:
    // Waits at most timeoutMs for each restore.
    explicit IpsetBatch(int timeoutMs);

    // Carries out the chains (each a single ipset command) in order and fills
    // one outcome per chain. False when they could not be carried out so;
    // then nothing of them has reached the kernel and the caller runs them
    // one at a time.
    bool run(const std::vector<const CommandChain*>& chains, std::vector<ChainOutcome>& outcomes);

private:
    int timeoutMs_;
};

}  // namespace kernel
}  // namespace kor
