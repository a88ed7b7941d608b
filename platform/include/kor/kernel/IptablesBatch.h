#pragma once
// The iptables commands of a batch carried out as one nf_tables transaction
// (iptables-restore --noflush), each command's meaning kept: a "-C" test
// decides its "||" chain, a failing command fails as it would alone and the
// others still run.

#include <vector>

#include "kor/kernel/Batch.h"

namespace kor {
namespace kernel {

class IptablesBatch {
public:
    // Carries out the chains (every command an iptables command) in order
    // and fills one outcome per chain. False when they could not be carried
    // out as one transaction; then nothing of them has reached the kernel
    // and the caller runs them one at a time.
    bool run(const std::vector<const CommandChain*>& chains, std::vector<ChainOutcome>& outcomes);
};

}  // namespace kernel
}  // namespace kor
