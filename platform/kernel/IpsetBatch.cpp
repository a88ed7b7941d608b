#include "kor/kernel/IpsetBatch.h"

namespace kor {
namespace kernel {

bool IpsetBatch::run(const std::vector<const CommandChain*>&, std::vector<ChainOutcome>&) { return false; }

}  // namespace kernel
}  // namespace kor
