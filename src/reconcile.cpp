#include "reconcile.h"

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

void reconcileMemberTables(quorin& /*controller*/, int logModule) {
    KOR_Sysloglevel_trace(logModule, "main", __LINE__, "reconcileMemberTables");
}

}  // namespace quorin
}  // namespace kor
