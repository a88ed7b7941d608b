#include "kor/cfg/SocketConfigAccess.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

using moduna::protocol::EResultCode;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

KOR_Modul logModul() {
    static const KOR_Modul modul = KOR_Sysloglevel_registerModul("cfgclient");
    return modul;
}


EResultCode malformed(const json& req, const char* what) {
    const std::string table = req.value("table", "");
    KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                          VAStr("malformed answer to %s%s%s: %s", req.value("op", "").c_str(),
                                table.empty() ? "" : " of ", table.c_str(), what));
    return EResultCode::RC_ERROR;
}

bool validValue(const json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>() <= uint64_t(LLONG_MAX);
    return value.is_string() || value.is_number_integer();
}

bool validRows(const json& rows) {
    if (!rows.is_array()) return false;
    moduna::NameList all;
    moduna::ValueList scratch;
    for (const auto& row : rows)
        if (!rowToValues(row, all, scratch)) return false;
    return true;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<long long>(0, left));
}

}  // namespace

bool rowToValues(const json& row, const moduna::NameList& names, moduna::ValueList& values) {
    if (!row.is_object()) return false;
    for (auto it = row.begin(); it != row.end(); ++it)
        if (it.key().empty() || !validValue(*it)) return false;
    for (auto it = row.begin(); it != row.end(); ++it) {
        if (!names.empty() && !names.contains(it.key())) continue;
        if (it->is_string()) values.setValue(it.key(), moduna::Value(it->get<std::string>()));
        else values.setValue(it.key(), moduna::Value(it->get<long long>()));
    }
    return true;
}

void SocketConfigAccess::setReconnect(std::function<bool()> reconnect, int pauseMs) {
    reconnect_ = std::move(reconnect);
    pauseMs_ = std::max(1, pauseMs);
}

json SocketConfigAccess::call(const json& req, bool repeatable) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    const bool retry = repeatable && reconnect_;
    json answer = {{"code", unsigned(EResultCode::RC_UNAVAILABLE)}, {"error", "not connected"}};
    if (!conn_.isOpen() && !(retry && reconnect_())) return answer;
    // Lost before the answer came: the same request on a new connection,
    // while there is time left to wait for its answer.
    for (int left; (left = msLeft(deadline)) > 0;) {
        if (conn_.isOpen()) {
            answer = conn_.request(req, left);
            if (conn_.isOpen() || !retry) return answer;
        } else if (!reconnect_()) {
            usleep(unsigned(std::min(left, pauseMs_)) * 1000);
        }
    }
    return answer;
}

bool SocketConfigAccess::refreshSnapshot() { return takeSnapshot(true); }

bool SocketConfigAccess::takeSnapshot(bool repeatable) {
    const json req = {{"op", "dump"}, {"tables", snapshotTables_}};
    json answer = call(req, repeatable);
    EResultCode rc = resultCode(answer);
    if (!rc.ok()) {
        KOR_Sysloglevel_error(logModul(), "cfgclient", __LINE__,
                              VAStr("cannot read the tables: %s %s", rc.toString().c_str(),
                                    answer.value("error", "").c_str()));
        return false;
    }
    auto tables = answer.find("tables");
    if (tables == answer.end() || !tables->is_object()) {
        malformed(req, "no tables object");
        return false;
    }
    std::map<std::string, Rows> next;
    for (const auto& name : snapshotTables_) {
        Rows& rows = next[name];
        auto table = tables->find(name);
        if (table == tables->end()) continue;  // a table that does not exist is empty
        if (!validRows(*table)) {
            malformed(req, VAStr("table %s is not a list of rows", name.c_str()));
            return false;
        }
        moduna::NameList all;
        for (const auto& row : *table) {
            rows.emplace_back();
            rowToValues(row, all, rows.back());
        }
    }
    snapshot_ = std::move(next);
    haveSnapshot_ = true;
    return true;
}

const SocketConfigAccess::Rows* SocketConfigAccess::snapshotTable(const std::string& table) const {
    auto it = snapshot_.find(table);
    return it == snapshot_.end() ? nullptr : &it->second;
}

namespace {
bool isSnapshotTable(const std::vector<std::string>& tables, const std::string& table) {
    return std::find(tables.begin(), tables.end(), table) != tables.end();
}

void copyColumns(const moduna::ValueList& row, const moduna::NameList& names, moduna::ValueList& values) {
    for (const auto& column : row.values())
        if (names.empty() || names.contains(column.first)) values.setValue(column.first, column.second);
}
}  // namespace

EResultCode SocketConfigAccess::getEntryCount(const std::string& table, unsigned& count) {
    if (isSnapshotTable(snapshotTables_, table)) {
        const Rows* rows = snapshotTable(table);
        if (!rows) return EResultCode::RC_UNAVAILABLE;
        count = unsigned(rows->size());
        return EResultCode::RC_OK;
    }
    const json req = {{"op", "count"}, {"table", table}};
    json answer = call(req, true);
    EResultCode rc = resultCode(answer);
    if (!rc.ok()) return rc;
    auto n = answer.find("count");
    if (n == answer.end() || !n->is_number_unsigned() || n->get<uint64_t>() > UINT_MAX)
        return malformed(req, "count is not a non-negative integer");
    count = n->get<unsigned>();
    return rc;
}

EResultCode SocketConfigAccess::readRow(const json& req, const moduna::NameList& names, moduna::ValueList& values) {
    json answer = call(req, true);
    EResultCode rc = resultCode(answer);
    if (!rc.ok()) return rc;
    auto row = answer.find("row");
    moduna::ValueList read;
    if (row == answer.end() || !rowToValues(*row, names, read))
        return malformed(req, "row is not an object of integers and texts");
    for (const auto& column : read.values()) values.setValue(column.first, column.second);
    return rc;
}

EResultCode SocketConfigAccess::readEntry(const std::string& table, unsigned index, moduna::NameList& names,
                                          moduna::ValueList& values) {
    if (!isSnapshotTable(snapshotTables_, table))
        return readRow({{"op", "read"}, {"table", table}, {"index", index}}, names, values);
    const Rows* rows = snapshotTable(table);
    if (!rows) return EResultCode::RC_UNAVAILABLE;
    if (index >= rows->size()) return EResultCode::RC_NOT_FOUND;
    copyColumns((*rows)[index], names, values);
    return EResultCode::RC_OK;
}

EResultCode SocketConfigAccess::findEntry(const std::string& table, const std::string& keyColumn,
                                          const std::string& keyValue, moduna::NameList& names,
                                          moduna::ValueList& values) {
    if (!isSnapshotTable(snapshotTables_, table))
        return readRow({{"op", "find"}, {"table", table}, {"column", keyColumn}, {"value", keyValue}}, names,
                       values);
    const Rows* rows = snapshotTable(table);
    if (!rows) return EResultCode::RC_UNAVAILABLE;
    // As the service compares: the text form of each value.
    for (const auto& row : *rows) {
        if (!row.has(keyColumn) || row.getValue(keyColumn).getText() != keyValue) continue;
        copyColumns(row, names, values);
        return EResultCode::RC_OK;
    }
    return EResultCode::RC_NOT_FOUND;
}

EResultCode SocketConfigAccess::startTransaction() {
    EResultCode rc = resultCode(call({{"op", "begin"}}, true));
    if (!rc.ok() || snapshotTables_.empty()) return rc;
    if (conn_.isOpen() && takeSnapshot(false)) return rc;
    // Without a snapshot the transaction would be read from stale tables.
    if (conn_.isOpen()) call({{"op", "end"}}, false);
    return EResultCode::RC_UNAVAILABLE;
}

EResultCode SocketConfigAccess::endTransaction() {
    // A transaction belongs to its connection: never repeated on a new one.
    return resultCode(call({{"op", "end"}}, false));
}

}  // namespace cfg
}  // namespace kor
