#pragma once
// IConfigAccess over a connection to the configuration service.

#include "kor/cfg/CfgConnection.h"
#include "kor/cfg/IConfigAccess.h"

namespace kor {
namespace cfg {

class SocketConfigAccess : public IConfigAccess {
public:
    SocketConfigAccess(CfgConnection& connection, int timeoutMs) : conn_(connection), timeoutMs_(timeoutMs) {}

    moduna::protocol::EResultCode getEntryCount(const std::string& table, unsigned& count) override;
    moduna::protocol::EResultCode readEntry(const std::string& table, unsigned index, moduna::NameList& names,
                                            moduna::ValueList& values) override;
    moduna::protocol::EResultCode findEntry(const std::string& table, const std::string& keyColumn,
                                            const std::string& keyValue, moduna::NameList& names,
                                            moduna::ValueList& values) override;
    moduna::protocol::EResultCode startTransaction() override;
    moduna::protocol::EResultCode endTransaction() override;

private:
    nlohmann::json call(nlohmann::json req);
    CfgConnection& conn_;
    int timeoutMs_;
};

// Copies the columns of a JSON row into values; names, when not empty,
// restricts them.
void rowToValues(const nlohmann::json& row, const moduna::NameList& names, moduna::ValueList& values);

}  // namespace cfg
}  // namespace kor
