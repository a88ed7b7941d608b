#pragma once
// The volatile tables of the configuration service: a table written with
// {"op":"replace", ..., "volatile":true} holds rows that belong to the
// connection that wrote them. When that connection closes the server empties
// the table; its rows are never written to the store file, so a restarted
// server does not bring them back either. A plain replace or a load that
// names the table makes it an ordinary table again, a drop removes it; add,
// set and del leave it as it is.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CfgStore.h"

namespace kor {
namespace cfg {

class VolatileTables {
public:
    // A change request of that client was carried out. Inside the client's
    // transaction it takes effect at commit(). True when a table became
    // volatile or ordinary by it.
    bool changed(const nlohmann::json& req, uint64_t client, bool inTransaction);
    // The transaction's changes take effect; true when a table switched.
    bool commit();
    void rollback() { pending_.clear(); }

    // The client has gone: the tables whose rows were its own are emptied
    // in the store (and in the copy of a transaction held meanwhile) and
    // stay volatile, owned by nobody. Returns those that had rows.
    std::set<std::string> release(uint64_t client, CfgStore& store, CfgStore* work);

    // What the store file keeps of the store: every table but the volatile ones.
    CfgStore persisted(const CfgStore& store) const;

private:
    bool apply(const nlohmann::json& req, uint64_t client);

    std::map<std::string, uint64_t> owner_;  // volatile table -> client (0: nobody)
    std::vector<std::pair<nlohmann::json, uint64_t>> pending_;  // the transaction's changes
};

}  // namespace cfg
}  // namespace kor
