#pragma once
// Service rules: one packet filter of a balancing group, and the rules it
// puts into the group chain to spread the filter's new connections over the
// group's members.
//
// For every member that is up the service appends one MARK rule to the
// chain "LOADBALANCING<group>". The first up member (the base) marks every
// matching packet; each later member re-marks, with a computed probability,
// the packets that still carry the base mark. The service remembers every
// rule it wrote together with the line that deletes it, so it can take the
// rules of one mark down, or all of them, and never writes a rule twice.
//
// An active service deletes its rules in its destructor; services are built
// in place in their group's list and never copied.

#include <cstdint>
#include <list>
#include <string>

#include "kor/cfg/ActionQueue.h"

namespace kor {
namespace quorin {

// One rule of a service in the kernel.
struct ServiceRule {
    int32_t mark;         // the mark the rule sets: the member's table number
    std::string addLine;  // the line that created it; also its identity
    std::string delLine;  // the line that deletes it
};

class BalancingService {
public:
    BalancingService(int32_t id, const std::string& srcIp, const std::string& dstIp, const std::string& proto,
                     int32_t srcPortStart, int32_t srcPortEnd, int32_t dstPortStart, int32_t dstPortEnd);
    // Deletes every rule of the service (when active).
    ~BalancingService();
    // Built in place in the group's list: a copy would delete the same
    // rules twice.
    BalancingService(const BalancingService&) = delete;
    BalancingService& operator=(const BalancingService&) = delete;

    // All eight configured values equal (strings by content).
    bool isSame(int32_t id, const std::string& srcIp, const std::string& dstIp, const std::string& proto,
                int32_t srcPortStart, int32_t srcPortEnd, int32_t dstPortStart, int32_t dstPortEnd) const;
    void setObsolete(bool flag) { obsolete = flag; }
    // Hands the service the group's queue; only then does it write rules.
    void activate(kor::cfg::ActionQueue* queue);
    void setDebugMode(bool flag) { debugMode = flag; }

    // Appends the rule that sets mark for this filter in chain
    // LOADBALANCING<groupId>. baseMark 0 makes it the base rule; otherwise it
    // re-marks the share of the packets carrying baseMark that sharePercent
    // is of remainingPercent. True when a new rule was queued.
    bool createRule(int32_t mark, int32_t sharePercent, int32_t groupId, int32_t baseMark, float remainingPercent,
                    uint32_t memberCount);
    // Deletes every rule that sets mark.
    void deleteRules(int32_t mark);
    // Deletes every rule, those of a rebuild under way included.
    void deleteAllRules();
    // A rebuild without a moment in which no rule decides: the rules written
    // so far become old ones and stay in the chain while the new set is
    // appended behind them (a new set's base rule overrides every mark the
    // old set gave); endRebuild then deletes the old ones, each the first
    // rule of its text in the chain.
    void beginRebuild();
    void endRebuild();

    // The percentage of the packets still carrying the base mark that a
    // member of share sharePercent takes when remainingPercent is left,
    // rounded half away from zero.
    static long selectionPercent(int32_t sharePercent, float remainingPercent);

    // Fields.
    int32_t id;
    std::string srcIp;
    std::string dstIp;
    std::string proto;
    int32_t srcPortStart;
    int32_t srcPortEnd;
    int32_t dstPortStart;
    int32_t dstPortEnd;
    bool obsolete;
    bool active;
    std::list<ServiceRule> rules;
    std::list<ServiceRule> oldRules;  // of a rebuild under way
    kor::cfg::ActionQueue* actionQueue;
    int logModule;
    bool debugMode;
};

}  // namespace quorin
}  // namespace kor
