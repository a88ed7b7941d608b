#include "servicestatus.h"

#include "quorin.h"

namespace kor {
namespace quorin {

namespace {

std::string counted(size_t n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

}  // namespace

std::string statusLine(const quorin& controller) {
    size_t in = 0, out = 0;
    for (const BalancingGroup& group : controller.getGroups())
        for (const UplinkRow& row : controller.getUplinkRows()) {
            if (row.groupId != group.id || row.reason == "refused") continue;
            if (uplinkInSplit(group, row)) ++in;
            else ++out;
        }
    std::string line = counted(controller.getGroups().size(), "group") + ", " + counted(in, "uplink") + " in, " +
                       std::to_string(out) + " out";
    if (const size_t refused = controller.getRefusedRows().size()) line += ", " + counted(refused, "refused row");
    if (const size_t problems = controller.getPrerequisites().problems().size())
        line += ", " + counted(problems, "problem");
    return line;
}

void tellManager(kor::ServiceNotifier& manager, const quorin& controller) {
    if (controller.committed()) {
        manager.status(statusLine(controller));
        manager.ready();
    }
    manager.alive();
}

}  // namespace quorin
}  // namespace kor
