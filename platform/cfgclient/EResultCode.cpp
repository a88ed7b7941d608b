#include "moduna/protocol/EResultCode.h"

#include <sstream>

namespace moduna {
namespace protocol {

const char* EResultCode::name() const {
    switch (code_) {
    case RC_OK: return "RC_OK";
    case RC_ERROR: return "RC_ERROR";
    case RC_BUSY: return "RC_BUSY";
    case RC_UNAVAILABLE: return "RC_UNAVAILABLE";
    case RC_NOT_FOUND: return "RC_NOT_FOUND";
    case RC_DENIED: return "RC_DENIED";
    case RC_BAD_REQUEST: return "RC_BAD_REQUEST";
    default: return "RC_UNKNOWN";
    }
}

void EResultCode::put(std::ostream& out) const { out << code_ << " (" << name() << ")"; }

std::string EResultCode::toString() const {
    std::ostringstream out;
    put(out);
    return out.str();
}

}  // namespace protocol
}  // namespace moduna
