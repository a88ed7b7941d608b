#pragma once
// What a quorin that did not end cleanly (a crash, SIGKILL) left in the
// kernel, and the command lines that remove it. The daemon removes it
// before its first commit; quorin-firewall removes it before the service
// starts and after it stops. Both use this one description, so the two
// cannot come to disagree about what is quorin's.
//
// quorin's are:
//   - the mangle chains WAN2LAN and LOADBALANCING<digits>, and the rules of
//     LOADB_PRE that jump to them;
//   - its members' numbers N (a member's mark is its table): every mark in
//     the range of the numbers that those chains set or match, and every N
//     of a policy rule "from all fwmark N lookup N";
//   - for those N: the policy rules "from all fwmark N lookup N" and
//     "from ADDRESS lookup N", and the routes of table N;
//   - the ipsets lb_<device> of type hash:ip,port,ip.
// Nothing else is touched: not the firewall's chains, not a rule or table of
// a number outside the range or without one of quorin's marks.

#include <string>
#include <vector>

namespace kor {
namespace quorin {

// Where the listings come from: the kernel's through its commands, a test's
// from its data.
class KernelLister {
public:
    virtual ~KernelLister() = default;
    // The output of a listing command ("iptables -t mangle -S",
    // "ip -N -4 rule show", "ip -4 route show table N", "ipset list -n",
    // "ipset list -t NAME"); false when it failed.
    virtual bool list(const std::vector<std::string>& argv, std::string& output) = 0;
};

class CommandLister : public KernelLister {
public:
    bool list(const std::vector<std::string>& argv, std::string& output) override;
};

struct Removal {
    std::string command;  // the line that removes it
    std::string said;     // what it removes, "removed chain WAN2LAN"; empty for a step
};

// In the order they must run: jumps before their chains, chains before the
// sets their rules name (neither can go while a rule refers to it).
std::vector<Removal> findLeftovers(KernelLister& lister);

}  // namespace quorin
}  // namespace kor
