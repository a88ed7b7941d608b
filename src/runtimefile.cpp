// Files of the PID directory, replaced whole.

#include "runtimefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kor/sysloglevel.h"

namespace kor {
namespace quorin {

namespace {

// Writes the whole text to path; false with errno set when it could not.
bool writeAll(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    const bool ok = done == text.size() && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& text) {
    const std::string next = path + ".new";
    if (writeAll(next, text) && rename(next.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    unlink(next.c_str());
    errno = saved;
    return false;
}

RuntimeFile::RuntimeFile(const char* what, const char* consequence)
    : what_(what), consequence_(consequence), logModule_(KOR_Sysloglevel_registerModul("quorin")) {}

bool RuntimeFile::write(const std::string& text) {
    if (!replaceFile(path_, text)) {
        if (!failing_)
            KOR_Sysloglevel_error(logModule_, "runtimefile", __LINE__,
                                  VAStr("%s: cannot write %s: %s; %s", what_, path_.c_str(), strerror(errno),
                                        consequence_));
        failing_ = true;
        return false;
    }
    if (failing_) KOR_Sysloglevel_info(logModule_, "runtimefile", __LINE__, VAStr("%s: %s written", what_, path_.c_str()));
    failing_ = false;
    return true;
}

}  // namespace quorin
}  // namespace kor
