#pragma once
// Read access to the configuration tables, and transactions.

#include <string>

#include "moduna/NameList.h"
#include "moduna/ValueList.h"
#include "moduna/protocol/EResultCode.h"

namespace kor {
namespace cfg {

class IConfigAccess {
public:
    virtual ~IConfigAccess() = default;
    // Number of entries of a table; a table that does not exist has 0.
    virtual moduna::protocol::EResultCode getEntryCount(const std::string& table, unsigned& count) = 0;
    // Entry number index (from 0). names lists the columns wanted, an empty
    // list asking for all; it is not changed. The columns are added to values.
    virtual moduna::protocol::EResultCode readEntry(const std::string& table, unsigned index,
                                                    moduna::NameList& names, moduna::ValueList& values) = 0;
    // First entry whose keyColumn has the text form keyValue; RC_NOT_FOUND
    // when there is none.
    virtual moduna::protocol::EResultCode findEntry(const std::string& table, const std::string& keyColumn,
                                                    const std::string& keyValue, moduna::NameList& names,
                                                    moduna::ValueList& values) = 0;
    // RC_BUSY while another client holds a transaction.
    virtual moduna::protocol::EResultCode startTransaction() = 0;
    virtual moduna::protocol::EResultCode endTransaction() = 0;
};

}  // namespace cfg
}  // namespace kor
