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

    void setSyslog(bool on);
};

}  // namespace error
}  // namespace kor
