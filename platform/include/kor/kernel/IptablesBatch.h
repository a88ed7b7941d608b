#pragma once
// The iptables commands of a batch carried out as one nf_tables transaction
// (iptables-restore --noflush), each command's meaning kept: a "-C" test
// decides its "||" chain, a failing command fails as it would alone and the
// others still run.
//
// What each command does is worked out on a model of the mangle table
// (MangleModel.h): the commands that succeed on it go to a long-lived
// iptables-restore as one block, the others get the status and error text
// iptables would give them. After the commit the changed chains are listed
// and must equal the model. The model is kept while the nf_tables
// generation (NftGeneration.h) says nobody else changed the ruleset, and is
// read again from the kernel otherwise.

#include <cstdint>
#include <string>
#include <vector>

#include "kor/kernel/Batch.h"
#include "kor/kernel/MangleModel.h"
#include "kor/kernel/NftGeneration.h"
#include "kor/kernel/RestoreProcess.h"

namespace kor {
namespace kernel {

class IptablesBatch {
public:
    // Waits at most timeoutMs for iptables-restore and the kernel.
    explicit IptablesBatch(int timeoutMs = 30000);

    // Carries out the chains (every command an iptables command) in order
    // and fills one outcome per chain. False when they could not be carried
    // out as one transaction; then nothing of them has reached the kernel
    // and the caller runs them one at a time.
    bool run(const std::vector<const CommandChain*>& chains, std::vector<ChainOutcome>& outcomes);

private:
    struct Plan {
        MangleModel predicted;
        std::vector<ChainOutcome> outcomes;
        std::string block;                // the commit block, "" when nothing changes
        std::vector<std::string> listed;  // the chains listed after it
    };
    bool plan(const std::vector<const CommandChain*>& chains, Plan& plan);
    // The model matches the kernel's table, read again when it may not.
    bool current();
    bool commit(Plan& plan);
    void distrust(const char* why, const std::string& detail);
    const std::string& version();

    RestoreProcess restore_;
    NftGeneration generation_;
    int timeoutMs_;
    MangleModel model_;
    bool valid_ = false;
    uint32_t modelGeneration_ = 0;
    std::string version_;  // "iptables v1.8.9 (nf_tables)", once asked
    bool versionAsked_ = false;
    bool distrustLogged_ = false;
};

}  // namespace kernel
}  // namespace kor
