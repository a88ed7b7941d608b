#pragma once
// The check of the socket's directory that the server makes at start.

#include <string>

namespace kor {
namespace cfg {

// Whether nobody but root and us can swap the socket for another: the
// directory that holds it and every directory above must belong to one of the
// two and be writable by nobody else, unless sticky (as /tmp is), where
// others cannot rename or remove what is ours. False with the reason in error.
bool safeDirectory(const std::string& socketPath, std::string& error);

}  // namespace cfg
}  // namespace kor
