// The split of a group's new connections: what each member's rule takes,
// by the shares of the members that are up.

#include "groups.h"

#include <algorithm>

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

std::vector<BalancingGroup::SplitPart> BalancingGroup::splitParts() const {
    const uint32_t memberCount = static_cast<uint32_t>(interfaces.size());
    // A share is a percentage: bounded before it is summed, a runaway value
    // can neither overflow the sum nor turn it negative.
    const auto shareOf = [&](const OutInterface& member) {
        if (autobalance == 1) return static_cast<int32_t>(100 / memberCount);
        return std::min(std::max(member.usagePercent, 0), 100);
    };
    int32_t total = 0;
    int32_t upCount = 0;
    for (const OutInterface& member : interfaces) {
        if (!member.up) continue;
        total += shareOf(member);
        ++upCount;
    }
    // Nothing to weigh by: the members that are up take equal parts.
    const bool equal = total == 0;
    if (equal) total = upCount;
    std::vector<SplitPart> parts;
    bool base = true;
    int32_t taken = 0;
    for (const OutInterface& member : interfaces) {
        if (!member.up) {
            parts.push_back({0, 0.0f});
            continue;
        }
        const int32_t share = equal ? 1 : shareOf(member);
        parts.push_back({share, static_cast<float>(total - taken)});
        if (!base) taken += share;
        base = false;
    }
    return parts;
}

std::string BalancingGroup::sharesText() const {
    // What the rules do: the base keeps what no later member re-marks, and
    // each later member re-marks its percentage of what is left.
    const std::vector<SplitPart> parts = splitParts();
    double baseLeft = 100.0;
    std::vector<std::pair<std::string, double>> taken;
    auto part = parts.begin();
    for (const OutInterface& member : interfaces) {
        const SplitPart p = *part++;
        if (!member.up) continue;
        if (taken.empty()) {
            taken.emplace_back(member.getName(), 0.0);
            continue;
        }
        const long percent = BalancingService::selectionPercent(p.share, p.remaining);
        const double share = baseLeft * static_cast<double>(std::min(std::max(percent, 0L), 100L)) / 100.0;
        baseLeft -= share;
        taken.emplace_back(member.getName(), share);
    }
    if (taken.empty()) return "none";
    taken.front().second = baseLeft;
    std::string text;
    for (const auto& member : taken)
        text += (text.empty() ? "" : ", ") + member.first + " " + VAStr("%.0f", member.second) + " %";
    return text;
}

}  // namespace quorin
}  // namespace kor
