#pragma once
// Result code of a configuration service request.

#include <ostream>
#include <string>

namespace moduna {
namespace protocol {

class EResultCode {
public:
    enum Code : unsigned {
        RC_OK = 0,           // done
        RC_ERROR = 1,        // failed
        RC_BUSY = 2,         // another client holds a transaction: retry
        RC_UNAVAILABLE = 3,  // no connection or no answer in time: retry
        RC_NOT_FOUND = 4,    // no such entry
        RC_DENIED = 5,       // the peer may not change tables
        RC_BAD_REQUEST = 6,  // malformed, oversized or incomplete request
    };

    EResultCode(unsigned code = RC_OK) : code_(code) {}
    EResultCode& operator=(unsigned code) { code_ = code; return *this; }

    unsigned value() const { return code_; }
    operator unsigned() const { return code_; }
    bool ok() const { return code_ == RC_OK; }
    // Worth trying again later: busy or unavailable.
    bool retryable() const { return code_ == RC_BUSY || code_ == RC_UNAVAILABLE; }

    // Symbolic name of the code, "RC_UNKNOWN" for codes outside the table.
    const char* name() const;
    // Writes the code as "<number> (<name>)".
    void put(std::ostream& out) const;
    std::string toString() const;

private:
    unsigned code_;
};

inline std::ostream& operator<<(std::ostream& out, const EResultCode& rc) {
    rc.put(out);
    return out;
}

}  // namespace protocol
}  // namespace moduna
