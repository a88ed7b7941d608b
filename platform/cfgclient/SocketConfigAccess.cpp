#include "kor/cfg/SocketConfigAccess.h"

namespace kor {
namespace cfg {

using moduna::protocol::EResultCode;
using nlohmann::json;

namespace {
EResultCode codeOf(const json& answer) {
    if (answer.contains("code") && answer["code"].is_number_unsigned()) return EResultCode(answer["code"].get<unsigned>());
    return EResultCode(EResultCode::RC_ERROR);
}
}  // namespace

void rowToValues(const json& row, const moduna::NameList& names, moduna::ValueList& values) {
    if (!row.is_object()) return;
    for (auto it = row.begin(); it != row.end(); ++it) {
        if (!names.empty() && !names.contains(it.key())) continue;
        if (it->is_number_integer()) values.setValue(it.key(), moduna::Value(it->get<long long>()));
        else if (it->is_string()) values.setValue(it.key(), moduna::Value(it->get<std::string>()));
    }
}

json SocketConfigAccess::call(json req) { return conn_.request(std::move(req), timeoutMs_); }

EResultCode SocketConfigAccess::getEntryCount(const std::string& table, unsigned& count) {
    json answer = call({{"op", "count"}, {"table", table}});
    EResultCode rc = codeOf(answer);
    if (rc.ok() && answer.contains("count") && answer["count"].is_number_unsigned())
        count = answer["count"].get<unsigned>();
    return rc;
}

EResultCode SocketConfigAccess::readEntry(const std::string& table, unsigned index, moduna::NameList& names,
                                          moduna::ValueList& values) {
    json answer = call({{"op", "read"}, {"table", table}, {"index", index}});
    EResultCode rc = codeOf(answer);
    if (rc.ok() && answer.contains("row")) rowToValues(answer["row"], names, values);
    return rc;
}

EResultCode SocketConfigAccess::findEntry(const std::string& table, const std::string& keyColumn,
                                          const std::string& keyValue, moduna::NameList& names,
                                          moduna::ValueList& values) {
    json answer = call({{"op", "find"}, {"table", table}, {"column", keyColumn}, {"value", keyValue}});
    EResultCode rc = codeOf(answer);
    if (rc.ok() && answer.contains("row")) rowToValues(answer["row"], names, values);
    return rc;
}

EResultCode SocketConfigAccess::startTransaction() { return codeOf(call({{"op", "begin"}})); }

EResultCode SocketConfigAccess::endTransaction() { return codeOf(call({{"op", "end"}})); }

}  // namespace cfg
}  // namespace kor
