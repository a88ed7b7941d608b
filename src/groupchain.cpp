// The group chain: its creation, the commit that applies the members and
// builds the service rules of the split, and the sticky rules at its head.
//
// Steady content of a sticky group's chain with members A then B:
//   restore the connection mark
//   tuple in lb_B: set B's mark          (sticky match, B)
//   tuple in lb_A: set A's mark          (sticky match, A)
//   packet already marked: return        (early return)
//   service rules
//   mark A: record the tuple in lb_A     (re-record, A)
//   mark B: record the tuple in lb_B     (re-record, B)
//   save the packet mark into the connection
//   return
// A group that is not sticky, or has fewer than two members, has neither
// sticky match nor re-record rules.

#include "groups.h"

#include <algorithm>

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

namespace {

const char* const logFile = "groups";

}  // namespace

void BalancingGroup::createChain(kor::cfg::ActionQueue* queue) {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "createChain");
    if (!queue) {
        KOR_Sysloglevel_error(logModule, logFile, __LINE__, "createChain: no command queue");
        return;
    }
    actionQueue = queue;
    chainCreated = true;
    const std::string chain = chainName();
    actionQueue->addCommand("iptables -t mangle -N " + chain, 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --restore-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j RETURN", 0);
    actionQueue->addCommand(hookLine(), 0);
    actionQueue->process();
}

void BalancingGroup::commit() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "commit");
    if (!actionQueue) {
        KOR_Sysloglevel_error(logModule, logFile, __LINE__,
                              VAStr("commit: Group ID %ld has no chain yet", static_cast<long>(id)));
        return;
    }

    activateMembers();
    if (interfaces.empty()) {
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("WARNING! Group ID %ld with client Interface %s has no active upstream "
                                   "interfaces assigned",
                                   static_cast<long>(id), clientInterface.c_str()));
        for (BalancingService& service : services) service.deleteAllRules();
        updateStickyRules();
        releaseLeavers();
        shareChanges.clear();
        return;
    }

    // Changed membership changes every share: build all rules again, the
    // new ones behind the old until they are complete.
    if (membersChanged) {
        membersChanged = false;
        ++splitRebuilds;
        for (BalancingService& service : services) service.beginRebuild();
    }

    std::vector<std::string> joined;
    const bool anyRuleCreated = applySplit(joined);
    if (anyRuleCreated) moveChainTail();
    // The new rules decide from here on: what left goes first, then what
    // nothing reaches any more.
    releaseLeavers();
    if (anyRuleCreated) finishChainTail();
    for (BalancingService& service : services) service.endRebuild();
    updateStickyRules();
    logJoiners(joined);
    logShareChanges();
}

void BalancingGroup::activateMembers() {
    for (BalancingService& service : services) {
        if (service.active) continue;
        service.activate(actionQueue);
        if (debugMode) service.setDebugMode(true);
    }
    // Every member gets its set, sticky group or not.
    for (OutInterface& member : interfaces) {
        if (member.ipsetCreated) continue;
        member.createIpset(actionQueue);
        if (debugMode) member.setDebugMode(true);
    }
}

bool BalancingGroup::applySplit(std::vector<std::string>& joined) {
    // The first up member is the base: it marks every matching packet. Each
    // later member re-marks its share of what still carries the base mark.
    const uint32_t memberCount = static_cast<uint32_t>(interfaces.size());
    const std::vector<SplitPart> parts = splitParts();
    auto part = parts.begin();
    int32_t baseMark = 0;
    bool first = true;
    bool anyRuleCreated = false;
    for (OutInterface& member : interfaces) {
        const SplitPart p = *part++;
        const bool wasApplied = member.applied;
        member.apply(member.tableId, mainCopies);
        if (!wasApplied && member.applied) joined.push_back(member.getName());
        routeSyncPending = true;

        if (member.up) {
            for (BalancingService& service : services)
                if (service.createRule(member.tableId, p.share, id, baseMark, p.remaining, memberCount))
                    anyRuleCreated = true;
            if (first) baseMark = member.tableId;
            first = false;
        } else {
            for (BalancingService& service : services) service.deleteRules(member.tableId);
        }
    }
    return anyRuleCreated;
}

void BalancingGroup::moveChainTail() {
    const std::string chain = chainName();
    // Delete and append again: the re-record rules move behind the service
    // rules just appended.
    if (hasStickyRules())
        for (OutInterface& member : interfaces) {
            if (member.tableId == 0) continue;
            const std::string rule = reRecordLine(member);
            actionQueue->addCommand("iptables -t mangle -D " + chain + rule + ";" + "iptables -t mangle -A " + chain +
                                        rule + ";",
                                    0);
            member.reRecordPlaced = true;
        }
    // A second save behind them before the first one goes: a connection
    // that started while the save was missing kept its first packet's mark
    // to itself, and its later packets left unmarked. Without the old return
    // the new rules decide; the end of the chain returns as a RETURN would.
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -j RETURN", 0);
    actionQueue->process();
}

void BalancingGroup::finishChainTail() {
    const std::string chain = chainName();
    // The old save is the first in the chain.
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A " + chain + " -j RETURN", 0);
    actionQueue->process();
}

void BalancingGroup::releaseLeavers() {
    while (!leavers.empty()) {
        OutInterface& leaver = leavers.front();
        for (BalancingService& service : services) service.deleteRules(leaver.tableId);
        deleteStickyRules(leaver);
        const int32_t mark = leaver.tableId;
        leavers.pop_front();
        // Its flows go only once its rules are gone, or their next packets
        // would be given its mark again.
        flushLeaver(mark);
    }
}

void BalancingGroup::logJoiners(const std::vector<std::string>& joined) const {
    if (joined.empty()) return;
    const std::string shares = sharesText();
    for (const std::string& name : joined)
        KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                             VAStr("group %ld: %s joins the split; shares now %s", static_cast<long>(id),
                                   name.c_str(), shares.c_str()));
}

void BalancingGroup::logShareChanges() {
    if (shareChanges.empty()) return;
    std::string what;
    for (const std::string& change : shareChanges) what += (what.empty() ? "" : ", ") + change;
    shareChanges.clear();
    KOR_Sysloglevel_info(logModule, logFile, __LINE__,
                         VAStr("group %ld: share change applied (%s); shares now %s", static_cast<long>(id),
                               what.c_str(), sharesText().c_str()));
}

void BalancingGroup::updateStickyRules() {
    KOR_Sysloglevel_trace(logModule, logFile, __LINE__, "updateStickyRules");
    if (!actionQueue) return;
    const std::string chain = chainName();
    // The early return goes back to position 2, behind the restore rule.
    actionQueue->addCommand("iptables -t mangle -D " + chain + " -m mark ! --mark 0x0 -j RETURN 2> /dev/null", 0);
    actionQueue->addCommand("iptables -t mangle -I " + chain + " 2 -m mark ! --mark 0x0 -j RETURN", 0);
    // Each match rule is inserted at position 2 in turn: the last member's
    // ends up first, the early return behind all of them. Members that are
    // down keep theirs, so recorded tuples keep their mark until they expire.
    // A rule that is not in the chain yet is only inserted: its delete
    // failed, an error line at every first commit.
    if (hasStickyRules())
        for (OutInterface& member : interfaces) {
            if (member.tableId == 0) continue;
            const std::string rule = stickyMatchLine(member);
            const std::string insert = "iptables -t mangle -I " + chain + " 2" + rule;
            actionQueue->addCommand(
                member.stickyMatchPlaced ? "iptables -t mangle -D " + chain + rule + ";" + insert : insert, 0);
            member.stickyMatchPlaced = true;
        }
    actionQueue->process();
}

}  // namespace quorin
}  // namespace kor
