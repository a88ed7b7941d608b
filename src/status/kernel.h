#pragma once
// Reading the kernel: the mangle table with its counters (iptables-save),
// the IPv4 policy rules (rtnetlink), the main table and the member tables
// (rtnetlink, through the daemon's route reader) and the sticky sets'
// entries (ipset).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shares.h"

namespace kor {
namespace status {

struct PolicyRule {
    bool hasMark = false;
    uint32_t mark = 0;
    bool hasSource = false;
    uint32_t source = 0;  // host byte order
    uint8_t sourceLength = 0;
    uint32_t table = 0;
};

// A member's table compared with the main table's routes that quorin
// copies.
struct MemberTable {
    bool hasDefault = false;
    size_t copies = 0;   // routes other than the default
    size_t missing = 0;  // copies the table lacks
    size_t stale = 0;    // routes it holds that are no copy of the main table
};

struct KernelView {
    MangleTable mangle;
    std::vector<PolicyRule> rules;
    size_t mainRoutes = 0;  // the main table's routes that quorin copies
    std::map<uint32_t, MemberTable> tables;
    std::map<std::string, int64_t> setEntries;  // by set name
};

// "iptables-save -t mangle -c".
bool readMangle(MangleTable& out, std::string& error);
bool readPolicyRules(std::vector<PolicyRule>& out, std::string& error);
// The main table and each of the tables given.
bool readTables(const std::vector<uint32_t>& tables, KernelView& view, std::string& error);
// "Number of entries" of every set "ipset list -t" lists.
bool readSetEntries(std::map<std::string, int64_t>& out, std::string& error);
// All of the above, the member tables given.
bool readKernel(const std::vector<uint32_t>& tables, KernelView& view, std::string& error);

}  // namespace status
}  // namespace kor
