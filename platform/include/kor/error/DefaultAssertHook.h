#pragma once
// Makes a failed assertion, an uncaught exception or a fatal signal leave one
// log line (standard error, or syslog after setSyslog(true)) before the
// process dies with the signal's usual effect.

namespace kor {
namespace error {

class DefaultAssertHook {
public:
    DefaultAssertHook();
    ~DefaultAssertHook();
    DefaultAssertHook(const DefaultAssertHook&) = delete;
    DefaultAssertHook& operator=(const DefaultAssertHook&) = delete;

    // With on, the report goes to the syslog daemon at socketPath (standard
    // error when it cannot be reached).
    void setSyslog(bool on, const char* socketPath = "/dev/log");
};

}  // namespace error
}  // namespace kor
