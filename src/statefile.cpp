// The state file for quorin-status: composed from the model, written when
// it changed.

#include "statefile.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>

#include "quorin.h"

namespace kor {
namespace quorin {

namespace {

const OutInterface* memberOf(const BalancingGroup& group, const std::string& device) {
    for (const OutInterface& member : group.interfaces)
        if (member.getName() == device) return &member;
    return nullptr;
}

}  // namespace

bool uplinkInSplit(const BalancingGroup& group, const UplinkRow& row) {
    const OutInterface* member = memberOf(group, row.device);
    return member && member->applied && row.reason != "refused";
}

StateFile::StateFile() : pid_(long(getpid())), started_(time(nullptr)) {}

void StateFile::setProcess(long pid, time_t started) {
    pid_ = pid;
    started_ = started;
}

void StateFile::setPath(const std::string& path) { file_.setPath(path); }

nlohmann::ordered_json StateFile::compose(const quorin& controller, time_t now) {
    nlohmann::ordered_json state = {{"version", 1}, {"pid", pid_}, {"started", started_}};
    state["problems"] = nlohmann::ordered_json::array();
    for (const Problem& problem : controller.getPrerequisites().problems())
        state["problems"].push_back({{"check", problem.check}, {"text", problem.text}});
    state["groups"] = nlohmann::ordered_json::array();
    seen_.clear();
    for (const BalancingGroup& group : controller.getGroups()) {
        nlohmann::ordered_json uplinks = nlohmann::ordered_json::array();
        for (const UplinkRow& row : controller.getUplinkRows())
            if (row.groupId == group.id) uplinks.push_back(uplink(controller, group, row, now));
        state["groups"].push_back({{"id", group.id},
                                   {"chain", "LOADBALANCING" + std::to_string(group.id)},
                                   {"client", group.clientInterface},
                                   {"sticky", group.sticky},
                                   {"mode", group.autobalance == 1 ? "equal" : "shares"},
                                   {"rules_since", rulesSince(group, now)},
                                   {"uplinks", uplinks}});
    }
    // A row that comes back later starts again.
    for (auto it = since_.begin(); it != since_.end();) it = seen_.count(it->first) ? std::next(it) : since_.erase(it);
    state["refused"] = nlohmann::ordered_json::array();
    for (const RefusedRow& refused : controller.getRefusedRows())
        state["refused"].push_back({{"table", refused.table}, {"row", refused.row}, {"text", refused.text}});
    return state;
}

nlohmann::ordered_json StateFile::uplink(const quorin& controller, const BalancingGroup& group, const UplinkRow& row,
                                         time_t now) {
    const OutInterface* member = memberOf(group, row.device);
    const bool in = uplinkInSplit(group, row);
    // A row that could carry traffic and is not in the split all the same
    // lost its address after the read.
    const std::string reason = in ? "" : row.reason.empty() ? "address" : row.reason;
    const std::string detail = in ? "" : row.reason.empty() ? "address" : row.detail;
    const auto key = std::make_pair(group.id, row.device);
    const std::string state = in ? "in" : reason == "refused" ? "refused" : "out";
    auto found = since_.find(key);
    if (found == since_.end() || found->second.state != state) since_[key] = Since{state, now};
    seen_.insert(key);
    return {{"device", row.device},
            {"share", row.share},
            {"table", member ? member->tableId : controller.getNumbers().find(group.id, row.device)},
            {"address", in ? member->addr : ""},
            {"in", in},
            {"reason", reason},
            {"detail", detail},
            {"since", since_[key].since}};
}

time_t StateFile::rulesSince(const BalancingGroup& group, time_t now) {
    auto found = rulesSince_.find(group.id);
    if (found == rulesSince_.end() || found->second.first != group.splitRebuilds)
        rulesSince_[group.id] = {group.splitRebuilds, now};
    return rulesSince_[group.id].second;
}

void StateFile::publish(const quorin& controller, time_t now) {
    if (file_.path().empty()) return;
    const nlohmann::ordered_json state = compose(controller, now);
    const std::string content = state.dump();
    if (content == last_) return;
    nlohmann::ordered_json written;
    for (auto it = state.begin(); it != state.end(); ++it) {
        written[it.key()] = it.value();
        if (it.key() == "started") written["written"] = now;
    }
    if (file_.write(written.dump(2) + "\n")) last_ = content;
}

void StateFile::remove() {
    if (!file_.path().empty()) unlink(file_.path().c_str());
}

}  // namespace quorin
}  // namespace kor
