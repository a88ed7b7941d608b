#pragma once
// Reconciling the member tables with the main table. Route signals can be
// lost (the route service missed kernel events, the bus went away, the
// route service restarted), and nothing else would repair a table that
// missed a copy. Each member table is read back from the kernel and compared
// with the main table; the copies that are missing are added and the stale
// ones deleted, as ip route lines on the group's queue. The default route
// of a member table is its own and never compared.
//
// Where the main table holds several routes to one destination and prefix
// (different metrics), a copy table can hold one of them: the one of the
// lowest metric, which the main table itself uses.

#include <cstdint>
#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "routetables.h"

namespace kor {
namespace quorin {

// A route as a copy carries it.
struct CopyKey {
    uint32_t destination;
    uint8_t length;
    uint32_t gateway;
    uint32_t device;
    bool operator<(const CopyKey& other) const;
    bool operator==(const CopyKey& other) const;
};

// The copies every member table should hold: the main table's routes but
// the default route, one per destination and prefix, sorted.
std::vector<CopyKey> wantedCopies(std::vector<TableRoute> mainRoutes);

// What makes one member table hold exactly the wanted copies (its default
// route aside): the stale copies to delete and the missing ones to add, each
// in address order. The deletes go first, so that a copy replaced by one
// through another gateway is never refused as already there.
struct ReconcilePlan {
    std::vector<CopyKey> stale;
    std::vector<CopyKey> missing;
};
ReconcilePlan planMemberTable(const std::vector<CopyKey>& wanted, const std::vector<TableRoute>& memberRoutes);

// "ip route add|del table T DEST/LEN [via GW] [dev DEV]": the same text as
// a copy made from a route signal.
std::string copyLine(const char* verb, int32_t table, const CopyKey& key, RouteTableReader& names);

// The main table's routes as the copies a member table is filled with when
// the member is applied, before its policy rules point at the table. The
// main table is read at most once per change of the router (the first time
// a member is applied; forget() starts the next change), through the
// controller's reader. Without a reader, or when the main table cannot be
// read, nothing is queued and the route sync after the commit fills the
// table.
class MainTableCopies {
public:
    explicit MainTableCopies(int logModule) : logModule_(logModule) {}
    void setReader(RouteTableReader* reader) { reader_ = reader; }
    RouteTableReader* reader() const { return reader_; }
    void forget();
    // Queues the copies into table T. A member that held the table before
    // (known) gets only what its table, as the kernel holds it now, lacks or
    // holds stale; a new member's table is taken as empty (lines queued for
    // it may not have run yet). False when nothing could be queued.
    bool queueInto(kor::cfg::ActionQueue& queue, int32_t table, bool known);

private:
    bool readMain();

    int logModule_;
    RouteTableReader* reader_ = nullptr;
    bool read_ = false;
    bool readable_ = false;
    std::vector<CopyKey> wanted_;
};

}  // namespace quorin
}  // namespace kor
