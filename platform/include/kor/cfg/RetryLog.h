#pragma once
// Log lines of something retried every 500 ms: the first failure of a run
// is logged with its reason, the next success ends the run and is logged
// too; the failures between them would only fill the log.

#include <string>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

class RetryLog {
public:
    // module: the program's logging module, which the lines are logged under.
    RetryLog(const char* module, const char* what)
        : module_(module), what_(what), log_(KOR_Sysloglevel_registerModul(module)) {}

    void failed(const std::string& why) {
        if (failing_) return;
        failing_ = true;
        KOR_Sysloglevel_error(log_, module_.c_str(), __LINE__, (what_ + ": " + why + "; retrying").c_str());
    }

    // Returns whether this success ended a run of failures (and was logged).
    bool succeeded(const char* text) {
        if (!failing_) return false;
        failing_ = false;
        KOR_Sysloglevel_info(log_, module_.c_str(), __LINE__, (what_ + ": " + text).c_str());
        return true;
    }

private:
    const std::string module_;
    const std::string what_;
    const KOR_Modul log_;
    bool failing_ = false;
};

}  // namespace cfg
}  // namespace kor
