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

}  // namespace quorin
}  // namespace kor
