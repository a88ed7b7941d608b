// The outgoing interface: its ipset, policy rules, default route, WAN2LAN
// mark rule and the fingerprint of its routing table.
//
// It logs nothing itself; the group logs on its behalf.

#include "outinterface.h"

#include <openssl/sha.h>

#include <cstdio>
#include <ctime>

#include "kor/sysloglevel.h"
#include "reconcile.h"

namespace kor {
namespace quorin {

namespace {

const char* const noAddress = "0.0.0.0";

bool hasGateway(const std::string& gatewayAddress) {
    return !gatewayAddress.empty() && gatewayAddress != noAddress;
}

// What the table listing is replaced with when it cannot be read: a text
// that differs from every fingerprint, so the table counts as changed.
std::string currentTimeText() {
    time_t now = time(nullptr);
    return asctime(localtime(&now));
}

}  // namespace

bool SharedUplinks::release(std::map<std::string, unsigned>& holds, const std::string& name) {
    auto found = holds.find(name);
    if (found == holds.end() || --found->second == 0) {
        if (found != holds.end()) holds.erase(found);
        return true;
    }
    return false;
}

OutInterface::OutInterface(const std::string& interfaceName, const std::string& gatewayAddress,
                           int32_t usagePercent, const std::string& addr, int32_t stickyTimeout)
    : interfaceName(interfaceName),
      gatewayAddress(gatewayAddress),
      usagePercent(usagePercent),
      addr(addr),
      obsolete(false),
      up(addr != noAddress),
      ipsetCreated(false),
      tableId(0),
      applied(false),
      debugMode(false),
      stickyTimeout(stickyTimeout),
      logModule(KOR_Sysloglevel_registerModul("quorin")),
      actionQueue(nullptr) {}

OutInterface::~OutInterface() {
    if (!ipsetCreated || !actionQueue) return;
    // A member that never got a number has no rules, route or table of its
    // own; only its ipset is left to destroy. Table 0 would be every table.
    // Another group's member of the uplink may still use the set.
    const bool lastSet = !shared || SharedUplinks::release(shared->sets, interfaceName);
    const std::string destroy = "ipset destroy lb_" + interfaceName;
    if (tableId == 0) {
        if (lastSet) actionQueue->addCommand(destroy, 0);
        actionQueue->process();
        return;
    }
    const std::string flush = "ip route flush table " + std::to_string(tableId);
    tableId = 0;
    // The undo lines only for what is there: a member that was taken down
    // has run them already, and each would fail again, as an error line.
    if (applied) queueUndo();
    actionQueue->addCommand(lastSet ? flush + "; " + destroy : flush, 0);
    actionQueue->process();
}

bool OutInterface::isSame(const std::string& interfaceName, const std::string& gatewayAddress,
                          int32_t usagePercent, const std::string& addr, int32_t stickyTimeout) const {
    return this->interfaceName == interfaceName && this->gatewayAddress == gatewayAddress &&
           this->usagePercent == usagePercent && this->addr == addr && this->stickyTimeout == stickyTimeout;
}

std::string OutInterface::ipsetCreateLine() const {
    // "-exist": the same interface in another group already made the set.
    return "ipset -exist create lb_" + interfaceName + " hash:ip,port,ip timeout " + std::to_string(stickyTimeout);
}

std::string OutInterface::jumpRule() const { return "-i " + interfaceName + " -j WAN2LAN"; }

std::string OutInterface::jumpAddLine() const {
    return "iptables -t mangle -C LOADB_PRE -i " + interfaceName + " -j WAN2LAN" + " || " +
           "iptables -t mangle -I LOADB_PRE -i " + interfaceName + " -j WAN2LAN";
}

void OutInterface::createIpset(kor::cfg::ActionQueue* queue) {
    actionQueue = queue;
    if (!actionQueue) return;
    actionQueue->addCommand(ipsetCreateLine(), 0);
    actionQueue->process();
    ipsetCreated = true;
    if (shared) ++shared->sets[interfaceName];
}

std::string OutInterface::routeLine(const char* verb) const {
    const std::string via = hasGateway(gatewayAddress) ? "via " + gatewayAddress : "";
    return std::string("ip route ") + verb + " table " + std::to_string(tableId) + " to default " + via + " dev " +
           interfaceName;
}

std::string OutInterface::routeDelLine() const { return routeLine("del") + " 2> /dev/null"; }

std::string OutInterface::ruleDelLine() const {
    const std::string t = std::to_string(tableId);
    return "ip rule del fwmark " + t + " table " + t + ";ip rule del from " + addr + " table " + t;
}

void OutInterface::apply(int32_t candidateTableId, MainTableCopies* copies) {
    // The number is taken whether or not the member is up, and kept for the
    // member's lifetime.
    if (tableId == 0) tableId = candidateTableId;
    if (tableId == 0) return;
    if (applied || !up) return;
    if (!actionQueue) return;

    const std::string t = std::to_string(tableId);
    const std::string ruleAdd = "ip rule add fwmark " + t + " table " + t + ";ip rule add from " + addr + " table " + t;
    // The mark rule goes to position 2 of WAN2LAN, between its restore-mark
    // and save-mark rules, so the new connection's mark is saved.
    const std::string markAdd = "iptables -t mangle -I WAN2LAN 2 -i  " + interfaceName +
                                " -m state --state NEW -j MARK --set-mark " + t + ";" + jumpAddLine() + ";";
    const std::string markDel =
        "iptables -t mangle -D WAN2LAN -i  " + interfaceName + " -m state --state NEW -j MARK --set-mark " + t + ";";
    // Removes a stale default route before the new one is added.
    const std::string routeClear = "ip route del table " + t + " to default 2> /dev/null";

    delRuleCommand = ruleDelLine();
    delRouteCommand = routeDelLine();
    delMarkCommand = markDel;

    // The table is complete before anything sends traffic to it: default
    // route, then the copies of the main table, then the policy rules, then
    // the mark rule (the group's service rules come after all of this).
    // With the rules first, a SYN that arrived on the uplink was marked and
    // its reply looked up a table that had only the default route: it found
    // no route back to the LAN for 42-70 ms, until the copies came, and the
    // client retried a second later.
    actionQueue->addCommand(routeClear, 0);
    actionQueue->addCommand(routeLine("add"), 0);
    if (copies) copies->queueInto(*actionQueue, tableId, appliedBefore);
    actionQueue->addCommand(ruleAdd, 0);
    actionQueue->addCommand(markAdd, 0);
    actionQueue->process();

    // The lines may wait in a hold: the listing is read once they have run.
    fingerprintDue = true;
    applied = true;
    appliedBefore = true;
    holdsJump = true;
    if (shared) ++shared->jumps[interfaceName];
}

void OutInterface::takeDueFingerprint() {
    if (!fingerprintDue) return;
    fingerprintDue = false;
    routeTableHash = computeRouteTableHash();
}

bool OutInterface::reconfigure(const std::string& gatewayAddress, int32_t usagePercent, const std::string& addr,
                               int32_t stickyTimeout) {
    const bool shareChanged = this->usagePercent != usagePercent;
    this->usagePercent = usagePercent;
    if (this->stickyTimeout != stickyTimeout) {
        this->stickyTimeout = stickyTimeout;
        replaceIpset();
    }
    const bool moved = this->addr != addr;
    const bool rerouted = this->gatewayAddress != gatewayAddress;
    const std::string oldAddr = this->addr;
    this->addr = addr;
    this->gatewayAddress = gatewayAddress;
    if (!applied || !actionQueue || (!moved && !rerouted)) return shareChanged;

    const std::string t = std::to_string(tableId);
    // The new source rule before the old one goes; the mark rule, which the
    // member's connections follow, stays all along.
    if (moved) {
        actionQueue->addCommand("ip rule add from " + addr + " table " + t, 0);
        actionQueue->addCommand("ip rule del from " + oldAddr + " table " + t, 0);
        delRuleCommand = ruleDelLine();
    }
    // One route in place of the other, never none.
    if (rerouted) {
        actionQueue->addCommand(routeLine("replace"), 0);
        delRouteCommand = routeDelLine();
    }
    actionQueue->process();
    // Only the route is in the table's listing; it is read once the lines
    // have run.
    if (rerouted) fingerprintDue = true;
    return shareChanged;
}

void OutInterface::replaceIpset() {
    if (!actionQueue || !ipsetCreated) return;
    // ":" is in no device name: the spare's name is never another member's.
    const std::string spare = "lb_" + interfaceName + ":n";
    actionQueue->addCommand("ipset -exist create " + spare + " hash:ip,port,ip timeout " + std::to_string(stickyTimeout),
                            0);
    actionQueue->addCommand("ipset swap lb_" + interfaceName + " " + spare, 0);
    actionQueue->addCommand("ipset destroy " + spare, 0);
    actionQueue->process();
}

void OutInterface::remove() {
    if (!applied || !actionQueue) return;
    queueUndo();
    actionQueue->process();
    applied = false;
}

void OutInterface::queueUndo() {
    actionQueue->addCommand(delRuleCommand, 0);
    actionQueue->addCommand(delRouteCommand, 0);
    const bool lastJump = holdsJump && (!shared || SharedUplinks::release(shared->jumps, interfaceName));
    holdsJump = false;
    actionQueue->addCommand(
        lastJump ? delMarkCommand + "iptables -t mangle -D LOADB_PRE " + jumpRule() + ";" : delMarkCommand, 0);
}

std::string OutInterface::computeRouteTableHash() const {
    std::string listing;
    if (!listTable(listing)) return currentTimeText();
    return fingerprint(listing);
}

namespace {
CommandLister commandLister;
KernelLister* tableLister = &commandLister;
}  // namespace

void OutInterface::setTableLister(KernelLister* lister) { tableLister = lister ? lister : &commandLister; }

bool OutInterface::listTable(std::string& listing) const {
    if (tableId == 0) return false;
    return tableLister->list({"ip", "route", "show", "table", std::to_string(tableId)}, listing);
}

bool OutInterface::retakeFingerprint() {
    std::string listing;
    if (!applied || !listTable(listing)) return false;
    if (listing.compare(0, 8, "default ") != 0 && listing.find("\ndefault ") == std::string::npos) return false;
    routeTableHash = fingerprint(listing);
    return true;
}

std::string OutInterface::fingerprint(const std::string& text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, text.data(), text.size());
    SHA256_Final(digest, &context);
#pragma GCC diagnostic pop

    static const char hexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * SHA256_DIGEST_LENGTH);
    for (unsigned char b : digest) {
        hex.push_back(hexDigits[b >> 4]);
        hex.push_back(hexDigits[b & 0x0f]);
    }
    return hex;
}

}  // namespace quorin
}  // namespace kor
