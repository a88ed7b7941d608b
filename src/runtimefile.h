#pragma once
// The files quorin keeps in its PID directory (the members' numbers, the
// state for quorin-status) are replaced whole: written beside the old one
// and renamed over it, so that a crash or a reader meets the old file or the
// new one, never half of one.

#include <string>

namespace kor {
namespace quorin {

// Writes text to path + ".new" and renames it to path; false with errno set
// (and nothing left beside it) when that failed.
bool replaceFile(const std::string& path, const std::string& text);

// One such file, whose failures are logged once until it can be written
// again: every commit would repeat them.
class RuntimeFile {
public:
    // what names the file in the log lines ("numbers"); consequence says
    // what a failure means.
    RuntimeFile(const char* what, const char* consequence);
    void setPath(const std::string& path) { path_ = path; }
    const std::string& path() const { return path_; }
    // Replaces the file with text; false when it could not.
    bool write(const std::string& text);

private:
    std::string path_;
    const char* what_;
    const char* consequence_;
    bool failing_ = false;
    int logModule_;
};

}  // namespace quorin
}  // namespace kor
