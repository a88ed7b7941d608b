// The balancing controller: table dispatch, commit, routing-table numbers,
// the WAN2LAN chain, route propagation and the network-status events. Its
// configuration readers are in readers.cpp.

#include "quorin.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <vector>

#include "kor/sysloglevel.h"
#include "values.h"

namespace kor {
namespace quorin {

namespace {

// Routing-table numbers (and firewall marks) are handed out from here on.
const int32_t firstTableId = MemberNumbers::lowest;
// A commit that finds the counter at this value starts over at firstTableId.
const int32_t tableIdLimit = MemberNumbers::highestUsable + 1;

// "1 chain", "3 chains".
std::string counted(size_t n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

}  // namespace

quorin::quorin()
    : routeSyncPending(false),
      reconcilePending(false),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      quietTraceLevel(KOR_Sysloglevel_tracelevel(logModule)),
      configAccess(nullptr),
      debugMode(false),
      stickyTimeout(120),
      initialized(false),
      nextTableId(firstTableId),
      flushStates(true),
      actionQueue(nullptr),
      mainCopies(logModule),
      prerequisites(logModule) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "quorin");
}

quorin::~quorin() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "~quorin");
    const std::string removed = initialized && actionQueue ? footprint() : "";
    {
        // The whole teardown is one batch, one transaction of the kernel.
        kor::cfg::ActionQueue::Hold hold(actionQueue);
        // The groups go before WAN2LAN: with the chain flushed first, every
        // member's delete of its mark rule failed, and so did the delete of
        // the chain while the members' jumps from LOADB_PRE pointed into it.
        while (!groups.empty()) groups.pop_front();
        cleanup();
    }
    if (!removed.empty()) KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("stop: removed %s", removed.c_str()));
    state.remove();
    if (debugMode) KOR_Sysloglevel_changeTracelevel("quorin", quietTraceLevel);
}

void quorin::getTableNames(moduna::NameList& names) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "getTableNames");
    names.push_back("Balancing");
    names.push_back("BalancingGroups");
    names.push_back("BalancingInterfaces");
    names.push_back("BalancingServices");
    names.push_back("StatusNetifWatch");
    names.push_back("DefaultWANGateway");
    names.push_back("InterfaceMapping");
    // uplinkd's verdicts on the uplinks it probes.
    names.push_back("UplinkHealth");
}

bool quorin::loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& tableName) {
    // The refused rows may change.
    stateDue = true;
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("%s: Notification on table  %s received.", "loadFromConfig", tableName.c_str()));
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "loadFromConfig");

    configAccess = &access;

    // Every reader whose table is named runs, whatever the others returned.
    bool changed = false;
    if (tableName == "Balancing" || tableName.empty()) changed = ReadBalancingMain(&access);

    bool groupsChanged = false;
    if (tableName == "BalancingGroups" || tableName.empty()) {
        groupsChanged = ReadBalancingGroups(&access);
        changed = changed || groupsChanged;
    }

    // Interfaces and services attach to groups by group id, so a change of
    // groups reads them again.
    if (tableName == "BalancingInterfaces" || tableName == "StatusNetifWatch" ||
        tableName == "DefaultWANGateway" || tableName == "UplinkHealth" || groupsChanged) {
        const bool interfacesChanged = ReadBalancingInterfaces(&access);
        changed = changed || interfacesChanged;
    }

    if (tableName == "BalancingServices" || groupsChanged) {
        const bool servicesChanged = ReadBalancingServices(&access);
        changed = changed || servicesChanged;
    }

    return changed;
}

void quorin::commitToSystem(kor::cfg::IConfigAccess& /*access*/, kor::cfg::ActionQueue& queue) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "commitToSystem");
    if (debugMode) KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("%s: commitToSystem is called", "commitToSystem"));

    actionQueue = &queue;
    // The configuration client holds the queue around a notification's
    // loads and this commit; an event's re-read commits inside the event's
    // own hold. Held here too, a commit is never more than one batch.
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    mainCopies.forget();

    const bool first = !initialized;
    if (first) {
        init();
        initialized = true;
    }

    // Numbers are never searched for or reused; once the range is used up
    // the counter starts over.
    if (nextTableId >= tableIdLimit) {
        KOR_Sysloglevel_error(logModule, "quorin", __LINE__, "NEVER SHOULD COME HERE: all routing table ID's are used!!!");
        nextTableId = firstTableId;
    }

    for (auto& group : groups) {
        group.mainCopies = &mainCopies;
        if (group.chainCreated) continue;
        group.createChain(actionQueue);
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("group %ld: created (%s)", long(group.id), group.describe().c_str()));
        if (debugMode) group.setDebugMode(true);
    }

    numberMembers();
    for (auto& group : groups) {
        group.commit();
        routeSyncPending = routeSyncPending || group.routeSyncPending;
        group.routeSyncPending = false;
    }
    numbers.save();
    finishChange();
    prerequisitesDue = true;
    if (first) logStart();
}

void quorin::finishChange() {
    if (actionQueue) actionQueue->sync();
    for (auto& group : groups)
        for (OutInterface& member : group.interfaces) member.takeDueFingerprint();
    stateDue = true;
}

void quorin::publishState(time_t now) {
    if (!stateDue || !initialized) return;
    stateDue = false;
    state.publish(*this, now);
}

std::string quorin::footprint() const {
    unsigned chains = initialized ? 1 : 0, rules = initialized ? 3 : 0, policyRules = 0, tables = 0;
    std::vector<std::string> sets, jumps;
    const auto once = [](std::vector<std::string>& names, const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    for (const auto& group : groups) {
        if (group.chainCreated) {
            ++chains;
            rules += group.chainRules() + 1;  // its hook from LOADB_PRE
        }
        for (const OutInterface& member : group.interfaces) {
            if (member.ipsetCreated) once(sets, member.getName());
            if (!member.applied) continue;
            ++rules;  // its mark rule in WAN2LAN
            once(jumps, member.getName());
            policyRules += 2;
            ++tables;
        }
    }
    rules += unsigned(jumps.size());
    return counted(chains, "chain") + ", " + counted(rules, "mangle rule") + ", " + counted(policyRules, "policy rule") +
           ", " + counted(tables, "routing table") + ", " + counted(sets.size(), "set");
}

void quorin::logStart() const {
    unsigned in = 0;
    for (const auto& group : groups)
        for (const OutInterface& member : group.interfaces) in += member.applied ? 1 : 0;
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                         VAStr("start: %s, %s in the split; written %s", counted(groups.size(), "group").c_str(),
                               counted(in, "uplink").c_str(), footprint().c_str()));
}

void quorin::setNumbersFile(const std::string& path) {
    numbers.setFile(path);
    // Numbers from the counter stay clear of the remembered ones.
    const int32_t top = numbers.highest();
    if (top >= nextTableId && top < tableIdLimit - 1) nextTableId = top + 1;
}

bool quorin::numberHeld(int32_t number) const {
    for (const auto& group : groups) {
        for (const OutInterface& member : group.interfaces)
            if (member.tableId == number) return true;
        for (const OutInterface& member : group.leavers)
            if (member.tableId == number) return true;
    }
    return false;
}

void quorin::numberMembers() {
    for (auto& group : groups)
        for (OutInterface& member : group.interfaces) {
            if (member.tableId != 0) continue;
            int32_t number = numbers.find(group.id, member.getName());
            if (number == 0 || numberHeld(number)) {
                while (numberHeld(nextTableId)) ++nextTableId;
                number = nextTableId++;
            }
            member.tableId = number;
            numbers.remember(group.id, member.getName(), number);
        }
}

void quorin::setDebugMode(bool on) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "setDebugMode");
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, VAStr("%s: Debug mode is set to %d!", "setDebugMode", on ? 1 : 0));
    debugMode = on;
    // -d and "Verbose" switch the same lines: the model's debug-only info
    // lines and the module's debug and trace lines.
    KOR_Sysloglevel_changeTracelevel("quorin", on ? 1023 : quietTraceLevel);
    for (auto& group : groups) group.setDebugMode(on);
}

void quorin::setDebugOption(bool on) {
    debugOption = on;
    setDebugMode(on || verbose);
}

void quorin::removeLeftovers() {
    if (!leftoverLister) return;
    const std::vector<Removal> removals = findLeftovers(*leftoverLister);
    if (removals.empty()) return;
    for (const Removal& removal : removals) {
        actionQueue->addCommand(removal.command, 0);
        if (!removal.said.empty())
            KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                                 VAStr("start: %s, left by an earlier quorin", removal.said.c_str()));
    }
    // On their own, before the commit's lines: a batch would run the route
    // flushes behind the iptables lines that follow them, into the tables
    // the commit fills again.
    actionQueue->sync();
}

void quorin::init() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "init");
    // A quorin that did not end cleanly left its chains, rules, tables and
    // sets: a second restore-mark rule in WAN2LAN and a second jump to a
    // group chain would send every new connection through one uplink.
    removeLeftovers();
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, "init iptables system");
    // Both CONNMARK rules go to the head: restore-mark, save-mark, RETURN.
    // The interfaces' mark rules are inserted between the two.
    actionQueue->addCommand("iptables -t mangle -N WAN2LAN", 0);
    actionQueue->addCommand("iptables -t mangle -I WAN2LAN -j CONNMARK --save-mark", 0);
    actionQueue->addCommand("iptables -t mangle -I WAN2LAN -j CONNMARK --restore-mark", 0);
    actionQueue->addCommand("iptables -t mangle -A WAN2LAN -j RETURN", 0);
    actionQueue->process();
}

void quorin::cleanup() {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "cleanup");
    // Before the first commit there is neither a queue nor a chain. The
    // destructor calls it once the groups are gone.
    if (!initialized || !actionQueue) return;
    KOR_Sysloglevel_info(logModule, "quorin", __LINE__, "cleanup iptables system");
    actionQueue->addCommand("iptables -t mangle -F WAN2LAN", 0);
    actionQueue->addCommand("iptables -t mangle -X WAN2LAN", 0);
    actionQueue->process();
}

// --- Route propagation ------------------------------------------------------

void quorin::AddRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                      const std::string& device) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "AddRoute");
    if (KOR_Sysloglevel_debugOn(logModule))
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("will add route for destination %s to all sub tables", destination.c_str()));
    if (!copyableRoute("AddRoute", destination, prefixLength, gateway, device)) return;
    // Every group's copies of one route in one batch.
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    for (auto& group : groups) group.addRouteToAllTables(destination, prefixLength, gateway, device);
    noteCopiesWritten();
}

void quorin::DelRoute(const std::string& destination, const int& prefixLength, const std::string& gateway,
                      const std::string& device) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "DelRoute");
    if (KOR_Sysloglevel_debugOn(logModule))
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("will delete route for destination %s from all sub tables",
                                    destination.c_str()));
    if (!copyableRoute("DelRoute", destination, prefixLength, gateway, device)) return;
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    for (auto& group : groups) group.delRouteFromAllTables(destination, prefixLength, gateway, device);
    noteCopiesWritten();
}

void quorin::requestReconcile(const std::string& why) {
    if (!reconcilePending)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("routes: %s; the member tables will be compared with the main table", why.c_str()));
    reconcilePending = true;
}

void quorin::retakeFingerprints() {
    copiesUnsettled = false;
    signalsUnsettled = 0;
    for (auto& group : groups)
        for (OutInterface& member : group.interfaces) member.retakeFingerprint();
}

void quorin::noteCopiesWritten() {
    copiesUnsettled = true;
    ++signalsUnsettled;
    copiesWrittenAt = std::chrono::steady_clock::now();
}

void quorin::settleCopies(std::chrono::steady_clock::time_point now) {
    // A burst of route signals would otherwise list every table after each
    // pass of the loop.
    const auto rest = std::chrono::milliseconds(500);
    const size_t burst = 1000;
    if (!copiesUnsettled || now - copiesWrittenAt < rest) return;
    if (signalsUnsettled >= burst)
        requestReconcile(VAStr("a burst of %zu route changes came to rest", signalsUnsettled));
    else
        retakeFingerprints();
    copiesUnsettled = false;
    signalsUnsettled = 0;
}

bool quorin::copyableRoute(const char* operation, const std::string& destination, const int& prefixLength,
                           const std::string& gateway, const std::string& device) {
    // The kernel takes device names that the command runner would refuse or
    // read as something else ("a|b", "e"); such a route is left out.
    std::string why;
    if (!checks::isDottedQuad(destination)) why = "the destination is not a dotted quad";
    else if (!gateway.empty() && !checks::isDottedQuad(gateway)) why = "the gateway is not a dotted quad";
    else if (!device.empty()) why = checks::whyNotDeviceName(device);
    if (why.empty()) return true;
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                          VAStr("%s: route %s/%d via %s dev %s skipped: %s", operation, destination.c_str(),
                                prefixLength, gateway.c_str(), device.c_str(), why.c_str()));
    return false;
}

// --- Network-status events -------------------------------------------------

bool quorin::StartTransaction() {
    moduna::protocol::EResultCode result(0);
    int attempts = 0;
    const struct timespec pause = {0, 500000};
    for (;;) {
        result = configAccess->startTransaction();
        if (attempts > 0) nanosleep(&pause, nullptr);
        ++attempts;
        if (result.value() == 0) return true;
        if ((result.value() == 2 || result.value() == 3) && attempts < 10) continue;
        break;
    }
    std::ostringstream text;
    result.put(text);
    KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                          VAStr("%s: cannot start transaction after %d retries, result = %s", "StartTransaction",
                                attempts, text.str().c_str()));
    return false;
}

void quorin::refreshGroups(const std::string& interfaceName) {
    // Copies of route signals that have not come to rest yet are ours: they
    // must not count as a change of the table. (A table that lost its
    // default route keeps its old fingerprint all the same.)
    if (copiesUnsettled) retakeFingerprints();
    mainCopies.forget();
    for (auto& group : groups) {
        group.mainCopies = &mainCopies;
        group.refreshInterfaceRoutes(interfaceName);
        routeSyncPending = routeSyncPending || group.routeSyncPending;
        group.routeSyncPending = false;
    }
}

// Each event handler is one change of the router: its lines (a member taken
// down, the re-read's sweep, the commit after it) reach the kernel as one
// batch, and the fingerprints are taken once it has run.

void quorin::linkStatusEvent(const std::string& interfaceName, const bool& up) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: %s is in state %d", interfaceName.c_str(), up ? 1 : 0));
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    if (up) refreshGroups(interfaceName);
    else if (carriesTraffic(interfaceName))
        // A pulled cable or a rebooting modem keeps a static address for
        // good, and new connections sent through the dead link hang: its
        // members leave the split now rather than when the address goes.
        // netstatd writes the link's state into StatusNetifWatch before it
        // signals, so the re-read sees it; a status table that still says
        // the link is up keeps them.
        rereadInterfaces("linkStatusEvent", false);
    finishChange();
}

bool quorin::carriesTraffic(const std::string& interfaceName) const {
    for (const auto& group : groups)
        for (const OutInterface& member : group.interfaces)
            if (member.getName() == interfaceName && member.applied) return true;
    return false;
}

void quorin::newAddressEvent(const std::string& interfaceName, const std::string& address) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: New IP %s on %s", address.c_str(), interfaceName.c_str()));
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    refreshGroups(interfaceName);
    finishChange();
}

void quorin::removedAddressEvent(const std::string& interfaceName, const std::string& address) {
    if (debugMode)
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__,
                             VAStr("dbus event: removed IP %s from %s", address.c_str(), interfaceName.c_str()));
    // The leaver's rules go and the new split comes in one transaction.
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    for (auto& group : groups) group.markInterfaceDown(interfaceName);
    rereadInterfaces("removedAddressEvent", true);
    finishChange();
}

void quorin::rereadInterfaces(const char* operation, bool always) {
    // Before the first load and commit there is nobody to re-read the
    // interfaces through and no queue to commit to.
    if (!configAccess || !actionQueue) {
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__,
                              VAStr("%s: configuration not loaded and committed yet, no re-read", operation));
        return;
    }
    if (!StartTransaction()) return;
    const bool changed = loadFromConfig(*configAccess, "StatusNetifWatch");
    configAccess->endTransaction();
    if (changed || always) commitToSystem(*configAccess, *actionQueue);
}

}  // namespace quorin
}  // namespace kor
