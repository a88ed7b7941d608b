#include "reconcile.h"

#include <arpa/inet.h>

#include <algorithm>
#include <tuple>

#include "kor/sysloglevel.h"
#include "quorin.h"

namespace kor {
namespace quorin {

namespace {

const uint32_t mainTable = 254;
const size_t linesPerProcess = 4096;

std::string dotted(uint32_t hostOrder) {
    const uint32_t address = htonl(hostOrder);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

CopyKey keyOf(const TableRoute& route) { return {route.destination, route.length, route.gateway, route.device}; }

}  // namespace

std::string copyLine(const char* verb, int32_t table, const CopyKey& key, RouteTableReader& names) {
    std::string line = std::string("ip route ") + verb + " table " + std::to_string(table) + " " +
                       dotted(key.destination) + "/" + std::to_string(key.length);
    if (key.gateway != 0) line += " via " + dotted(key.gateway);
    const std::string device = names.deviceName(key.device);
    if (!device.empty()) line += " dev " + device;
    return line;
}

bool CopyKey::operator<(const CopyKey& other) const {
    return std::tie(destination, length, gateway, device) <
           std::tie(other.destination, other.length, other.gateway, other.device);
}

bool CopyKey::operator==(const CopyKey& other) const {
    return destination == other.destination && length == other.length && gateway == other.gateway &&
           device == other.device;
}

std::vector<CopyKey> wantedCopies(std::vector<TableRoute> mainRoutes) {
    // The default route is recognised by its destination alone, whatever
    // its prefix length, as the route signals are.
    mainRoutes.erase(std::remove_if(mainRoutes.begin(), mainRoutes.end(),
                                    [](const TableRoute& r) { return r.destination == 0; }),
                     mainRoutes.end());
    std::sort(mainRoutes.begin(), mainRoutes.end(), [](const TableRoute& a, const TableRoute& b) {
        return std::tie(a.destination, a.length, a.metric, a.gateway, a.device) <
               std::tie(b.destination, b.length, b.metric, b.gateway, b.device);
    });
    std::vector<CopyKey> wanted;
    wanted.reserve(mainRoutes.size());
    for (const TableRoute& route : mainRoutes) {
        if (!wanted.empty() && wanted.back().destination == route.destination && wanted.back().length == route.length)
            continue;
        wanted.push_back(keyOf(route));
    }
    return wanted;
}

ReconcilePlan planMemberTable(const std::vector<CopyKey>& wanted, const std::vector<TableRoute>& memberRoutes) {
    std::vector<CopyKey> held;
    held.reserve(memberRoutes.size());
    for (const TableRoute& route : memberRoutes)
        if (route.destination != 0) held.push_back(keyOf(route));
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    ReconcilePlan plan;
    std::set_difference(held.begin(), held.end(), wanted.begin(), wanted.end(), std::back_inserter(plan.stale));
    std::set_difference(wanted.begin(), wanted.end(), held.begin(), held.end(), std::back_inserter(plan.missing));
    return plan;
}

namespace {

// Queues the lines of one member's plan, in slices: a table of a million
// copies is never queued whole.
void queuePlan(kor::cfg::ActionQueue& queue, int32_t table, const ReconcilePlan& plan, RouteTableReader& names) {
    size_t queued = 0;
    auto put = [&](const char* verb, const CopyKey& key) {
        queue.addCommand(copyLine(verb, table, key, names), 0);
        if (++queued % linesPerProcess == 0) queue.process();
    };
    for (const CopyKey& key : plan.stale) put("del", key);
    for (const CopyKey& key : plan.missing) put("add", key);
    queue.process();
}

}  // namespace

void MainTableCopies::forget() {
    read_ = false;
    readable_ = false;
    wanted_.clear();
}

bool MainTableCopies::readMain() {
    if (read_) return readable_;
    read_ = true;
    std::vector<TableRoute> routes;
    std::string error;
    readable_ = reader_->read(mainTable, routes, error);
    if (!readable_) {
        KOR_Sysloglevel_error(logModule_, "quorin", __LINE__,
                              VAStr("routes: cannot read the main table (%s); the route sync fills the new "
                                    "member tables",
                                    error.c_str()));
        return false;
    }
    wanted_ = wantedCopies(std::move(routes));
    return true;
}

bool MainTableCopies::queueInto(kor::cfg::ActionQueue& queue, int32_t table, bool known) {
    if (!reader_ || table == 0 || !readMain()) return false;
    std::vector<TableRoute> held;
    std::string error;
    if (known && reader_->read(uint32_t(table), held, error)) {
        queuePlan(queue, table, planMemberTable(wanted_, held), *reader_);
        return true;
    }
    ReconcilePlan plan;
    plan.missing = wanted_;
    queuePlan(queue, table, plan, *reader_);
    return true;
}

bool quorin::reconcileMemberTables(RouteTableReader& reader, bool* mainRead, bool afterCommit) {
    KOR_Sysloglevel_trace(logModule, "quorin", __LINE__, "reconcileMemberTables");
    std::vector<TableRoute> routes;
    std::string error;
    const bool readable = reader.read(mainTable, routes, error);
    if (mainRead) *mainRead = readable;
    if (!readable) {
        KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                              VAStr("routes: cannot read the main table (%s); the member tables are compared later",
                                    error.c_str()));
        return false;
    }
    const size_t mainCount = routes.size();
    const std::vector<CopyKey> wanted = wantedCopies(std::move(routes));
    size_t tables = 0, added = 0, deleted = 0, unread = 0;
    // All the repairs are one batch (a large one runs in parts).
    kor::cfg::ActionQueue::Hold hold(actionQueue);
    for (BalancingGroup& group : groups) {
        if (!group.actionQueue) continue;
        for (OutInterface& member : group.interfaces) {
            if (member.tableId == 0) continue;
            if (!reader.read(uint32_t(member.tableId), routes, error)) {
                KOR_Sysloglevel_error(logModule, "quorin", __LINE__,
                                      VAStr("routes: cannot read table %ld of %s (%s)", long(member.tableId),
                                            member.getName().c_str(), error.c_str()));
                ++unread;
                continue;
            }
            const ReconcilePlan plan = planMemberTable(wanted, routes);
            queuePlan(*group.actionQueue, member.tableId, plan, reader);
            ++tables;
            added += plan.missing.size();
            deleted += plan.stale.size();
        }
    }
    // Anything to repair means that changes of the main table were lost on
    // their way here. Not after a commit: the signals of the routes the
    // kernel changed with the links (a link that came up brings its
    // network) are often still on their way, and a new member's table is
    // filled here.
    const std::string text = VAStr("routes: %zu member tables compared with %zu main routes: %zu copies added, %zu "
                                   "stale copies deleted",
                                   tables, mainCount, added, deleted);
    if (afterCommit)
        KOR_Sysloglevel_debug(logModule, "quorin", __LINE__, text.c_str());
    else if (added + deleted > 0)
        KOR_Sysloglevel_error(logModule, "quorin", __LINE__, text.c_str());
    else
        KOR_Sysloglevel_info(logModule, "quorin", __LINE__, text.c_str());
    // The listings are read once the repairs have run.
    if (actionQueue) actionQueue->sync();
    retakeFingerprints();
    return unread == 0;
}

bool quorin::syncRoutesFromKernel() {
    RouteTableReader* reader = mainCopies.reader();
    if (!reader) return false;
    bool mainRead = false;
    if (!reconcileMemberTables(*reader, &mainRead, true) && mainRead) requestReconcile("a table could not be read");
    return mainRead;
}

}  // namespace quorin
}  // namespace kor
