// Service rules: the MARK rules of one filter in the group chain, with the
// weighted random selection of the members.

#include "services.h"

#include <cmath>
#include <cstdio>

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "services";

bool isAnyAddress(const std::string& address) { return address.empty() || address == "0.0.0.0"; }
bool isAnyProtocol(const std::string& proto) { return proto.empty() || proto == "ALL"; }

// " --sport 1000", " --sport 1000:2000"; a range without start is written
// from port 0, which iptables accepts.
std::string portPiece(const char* option, int32_t start, int32_t end) {
    std::string piece;
    if (start != 0) piece += std::string(" ") + option + " " + std::to_string(start);
    if (end != 0 && end != start) {
        if (start == 0) piece += std::string(" ") + option + " 0";
        piece += ":" + std::to_string(end);
    }
    return piece;
}

}  // namespace

BalancingService::BalancingService(int32_t id, const std::string& srcIp, const std::string& dstIp,
                                   const std::string& proto, int32_t srcPortStart, int32_t srcPortEnd,
                                   int32_t dstPortStart, int32_t dstPortEnd)
    : id(id),
      srcIp(srcIp),
      dstIp(dstIp),
      proto(proto),
      srcPortStart(srcPortStart),
      srcPortEnd(srcPortEnd),
      dstPortStart(dstPortStart),
      dstPortEnd(dstPortEnd),
      obsolete(false),
      active(false),
      actionQueue(nullptr),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      debugMode(false) {}

BalancingService::~BalancingService() { deleteAllRules(); }

bool BalancingService::isSame(int32_t id, const std::string& srcIp, const std::string& dstIp,
                              const std::string& proto, int32_t srcPortStart, int32_t srcPortEnd,
                              int32_t dstPortStart, int32_t dstPortEnd) const {
    return this->id == id && this->srcIp == srcIp && this->dstIp == dstIp && this->proto == proto &&
           this->srcPortStart == srcPortStart && this->srcPortEnd == srcPortEnd &&
           this->dstPortStart == dstPortStart && this->dstPortEnd == dstPortEnd;
}

void BalancingService::activate(kor::cfg::ActionQueue* queue) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "activate");
    actionQueue = queue;
    active = queue != nullptr;
}

long BalancingService::selectionPercent(int32_t sharePercent, float remainingPercent) {
    // Single precision, the division first.
    const float q = (100.0f / remainingPercent) * static_cast<float>(sharePercent);
    const double d = q;
    // Nothing remaining with no share: nothing to take. Far out of range
    // values are clamped; they only need to stay out of range.
    if (std::isnan(d)) return 0;
    if (d >= 1000.0) return 1000;
    if (d <= -1000.0) return -1000;
    return static_cast<long>(d < 0 ? d - 0.5 : d + 0.5);
}

bool BalancingService::createRule(int32_t mark, int32_t sharePercent, int32_t groupId, int32_t baseMark,
                                  float remainingPercent, uint32_t memberCount) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "createRule");
    if (!active || !actionQueue) {
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("Service object ID %ld is not active! Rule creation will not work!",
                                   static_cast<long>(id)));
        return false;
    }

    std::string match;
    if (baseMark != 0) match += " -m mark --mark " + std::to_string(baseMark);
    if (!isAnyAddress(srcIp)) match += " -s " + srcIp;
    if (!isAnyAddress(dstIp)) match += " -d " + dstIp;
    if (!isAnyProtocol(proto)) {
        match += " -p " + proto;
        match += portPiece("--sport", srcPortStart, srcPortEnd);
        match += portPiece("--dport", dstPortStart, dstPortEnd);
    }
    if (memberCount >= 2) match += " -m state --state new ";
    if (baseMark != 0) {
        // 100 or more takes every packet still carrying the base mark: no
        // statistic match. Below 0 takes none.
        const long n = selectionPercent(sharePercent, remainingPercent);
        if (n < 100) {
            char probability[8];
            snprintf(probability, sizeof probability, "%02ld", n < 0 ? 0L : n);
            match += std::string(" -m statistic --mode random --probability 0.") + probability;
        }
    }
    match += " -j MARK --set-mark " + std::to_string(mark);

    const std::string chain = "LOADBALANCING" + std::to_string(groupId);
    const std::string addLine = " iptables  -t mangle -A " + chain + match;
    const std::string delLine = " iptables  -t mangle -D " + chain + match;

    for (const ServiceRule& rule : rules)
        if (rule.addLine == addLine) return false;

    actionQueue->addCommand(addLine, 0);
    actionQueue->process();
    rules.push_back(ServiceRule{mark, addLine, delLine});
    return true;
}

void BalancingService::deleteRules(int32_t mark) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "deleteRules");
    if (!active || !actionQueue) {
        KOR_Sysloglevel_info(logModule, logFile, __LINE__, "Service object is not active! Rule deletion will not work!");
        return;
    }
    for (auto it = rules.begin(); it != rules.end();) {
        if (it->mark != mark) {
            ++it;
            continue;
        }
        actionQueue->addCommand(it->delLine, 0);
        actionQueue->process();
        it = rules.erase(it);
    }
}

void BalancingService::deleteAllRules() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "deleteAllRules");
    if (!active || !actionQueue) return;
    for (const ServiceRule& rule : oldRules) actionQueue->addCommand(rule.delLine, 0);
    for (const ServiceRule& rule : rules) actionQueue->addCommand(rule.delLine, 0);
    actionQueue->process();
    oldRules.clear();
    rules.clear();
}

void BalancingService::beginRebuild() { oldRules.splice(oldRules.end(), rules); }

void BalancingService::endRebuild() {
    if (!active || !actionQueue || oldRules.empty()) return;
    // An old rule precedes its new twin of the same text: "-D" takes the
    // first one.
    for (const ServiceRule& rule : oldRules) actionQueue->addCommand(rule.delLine, 0);
    actionQueue->process();
    oldRules.clear();
}

}  // namespace quorin
}  // namespace kor
