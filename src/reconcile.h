#pragma once
// Reconciling the member tables with the main table: after route signals
// may have been lost, every member table is read back from the kernel and
// compared with the main table; the copies that are missing are added and
// the stale ones deleted, as ip route lines on the controller's queue.

#include "quorin.h"

namespace kor {
namespace quorin {

// Compares every numbered member's table with the main table now and
// queues the lines that make them equal (the default route aside).
void reconcileMemberTables(quorin& controller, int logModule);

}  // namespace quorin
}  // namespace kor
