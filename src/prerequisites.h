#pragma once
// What the router must give quorin for its rules to balance anything:
//   - the mangle chain LOADB_PRE, reached from PREROUTING: quorin only puts
//     jumps into it, and without it no new connection meets a group chain;
//   - forwarding (net.ipv4.ip_forward);
//   - no strict reverse-path filter on an uplink: with rp_filter 1 a reply
//     that arrives on an uplink other than the one the main table routes its
//     sender through is dropped, and that is every reply balanced to a
//     second or third uplink.
// Each problem is one warning that says the fix, written when it appears,
// and one info line when it is gone; the current ones go into the state
// file.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kor/kernel/NftGeneration.h"

namespace kor {
namespace quorin {

// Where the checks read the router (the daemon's reads /proc/sys and lists
// the mangle table with iptables; tests fill one in).
class RouterState {
public:
    virtual ~RouterState() = default;
    // A value under /proc/sys ("net/ipv4/ip_forward"); false when there is
    // none such (a device that is gone).
    virtual bool sysctl(const std::string& name, int& value) = 0;
    // The mangle table as "iptables -t mangle -S" lists it; false with the
    // reason when it cannot be listed.
    virtual bool mangle(std::string& listing, std::string& error) = 0;
    // Somebody may have changed the ruleset since the last call (true when
    // that cannot be told).
    virtual bool rulesetChanged() = 0;
};

class KernelRouterState : public RouterState {
public:
    KernelRouterState();
    bool sysctl(const std::string& name, int& value) override;
    bool mangle(std::string& listing, std::string& error) override;
    // The nf_tables generation differs from the one of the last call.
    bool rulesetChanged() override;

private:
    kor::kernel::NftGeneration generation_;
    uint32_t last_ = 0;
    bool known_ = false;
};

struct Problem {
    std::string check;   // "chain", "hook", "forwarding" or "rp_filter"
    std::string device;  // the uplink of an rp_filter problem, else ""
    std::string text;    // the warning, fix included
};

class Prerequisites {
public:
    explicit Prerequisites(int logModule) : logModule_(logModule) {}
    // Checks forwarding and the uplinks' rp_filter, and, when listMangle,
    // the mangle table; logs each problem that appeared and each that went
    // (that of an uplink no longer given only when it was fixed). True when
    // the problems changed.
    bool check(RouterState& state, const std::vector<std::string>& uplinks, bool listMangle);
    const std::vector<Problem>& problems() const { return problems_; }
    // The last check listed the mangle table, and LOADB_PRE was there.
    bool chainListed() const { return listedNow_ && chainExists_; }
    // LOADB_PRE held the rule ("-i lan0 -j LOADBALANCING1") at that listing.
    bool ruleListed(const std::string& rule) const { return loadbPre_.count(rule) != 0; }

private:
    void readMangle(const std::string& listing);
    void mangleProblems(std::vector<Problem>& found) const;
    void systemProblems(RouterState& state, const std::vector<std::string>& uplinks,
                        std::vector<Problem>& found) const;
    void logChanges(const std::vector<Problem>& found, const std::vector<std::string>& uplinks) const;

    int logModule_;
    std::vector<Problem> problems_;
    bool listed_ = false;     // a listing has been read
    bool listedNow_ = false;  // by the last check
    bool chainExists_ = false;
    bool hooked_ = false;
    bool listingFails_ = false;
    std::set<std::string> loadbPre_;  // the rules of LOADB_PRE, without "-A LOADB_PRE "
};

}  // namespace quorin
}  // namespace kor
