#include "SocketDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kor {
namespace cfg {

bool safeDirectory(const std::string& socketPath, std::string& error) {
    size_t slash = socketPath.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : socketPath.substr(0, slash);
    char* real = realpath(dir.c_str(), nullptr);
    if (!real) {
        error = "cannot resolve the directory " + dir + ": " + strerror(errno);
        return false;
    }
    std::string path = real;
    free(real);
    for (;;) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            error = "cannot inspect " + path + ": " + strerror(errno);
            return false;
        }
        bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0 && st.st_gid != getegid());
        if (st.st_uid != 0 && st.st_uid != geteuid())
            error = "the directory " + path + " belongs to uid " + std::to_string(st.st_uid);
        else if (othersWrite && !(st.st_mode & S_ISVTX))
            error = "others may write the directory " + path + " and it is not sticky";
        if (!error.empty()) {
            error += ": another user could put a socket of theirs in the place of " + socketPath;
            return false;
        }
        if (path == "/") return true;
        slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

}  // namespace cfg
}  // namespace kor
