#include "VolatileTables.h"

namespace kor {
namespace cfg {

bool VolatileTables::changed(const nlohmann::json& req, uint64_t client, bool inTransaction) {
    if (inTransaction) {
        pending_.emplace_back(req, client);
        return false;
    }
    return apply(req, client);
}

bool VolatileTables::commit() {
    bool switched = false;
    for (const auto& change : pending_) switched |= apply(change.first, change.second);
    pending_.clear();
    return switched;
}

bool VolatileTables::apply(const nlohmann::json& req, uint64_t client) {
    const std::string op = req.value("op", "");
    if (op == "load") {
        bool switched = false;
        for (const auto& table : req.at("tables").items()) switched |= owner_.erase(table.key()) != 0;
        return switched;
    }
    if (op != "replace" && op != "drop") return false;
    const std::string table = req.at("table").get<std::string>();
    if (op == "drop") return owner_.erase(table) != 0;
    auto flag = req.find("volatile");
    if (flag != req.end() && flag->get<bool>()) {
        const bool switched = owner_.count(table) == 0;
        owner_[table] = client;
        return switched;
    }
    return owner_.erase(table) != 0;
}

std::set<std::string> VolatileTables::release(uint64_t client, CfgStore& store, CfgStore* work) {
    std::set<std::string> emptied;
    for (auto& entry : owner_) {
        if (entry.second != client) continue;
        entry.second = 0;
        const nlohmann::json empty{{"op", "replace"}, {"table", entry.first}, {"rows", nlohmann::json::array()}};
        if (store.hasRows(entry.first)) {
            store.change(empty);
            emptied.insert(entry.first);
        }
        if (work) work->change(empty);
    }
    return emptied;
}

CfgStore VolatileTables::persisted(const CfgStore& store) const {
    std::set<std::string> names;
    for (const auto& entry : owner_) names.insert(entry.first);
    return store.without(names);
}

}  // namespace cfg
}  // namespace kor
