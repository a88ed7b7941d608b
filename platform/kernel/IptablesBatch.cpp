#include "kor/kernel/IptablesBatch.h"

namespace kor {
namespace kernel {

bool IptablesBatch::run(const std::vector<const CommandChain*>&, std::vector<ChainOutcome>&) { return false; }

}  // namespace kernel
}  // namespace kor
