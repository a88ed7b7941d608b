#pragma once
// What a program implements to follow configuration tables.

#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/IConfigAccess.h"
#include "moduna/NameList.h"

namespace kor {
namespace cfg {

class IConfigHandler {
public:
    virtual ~IConfigHandler() = default;
    // Appends the names of the tables the handler follows.
    virtual void getTableNames(moduna::NameList& names) = 0;
    // Reads the named table ("" for all); true when the handler's model changed.
    virtual bool loadFromConfig(IConfigAccess& access, const std::string& tableName) = 0;
    // Brings the system in line with the model through the queue.
    virtual void commitToSystem(IConfigAccess& access, ActionQueue& queue) = 0;
};

}  // namespace cfg
}  // namespace kor
