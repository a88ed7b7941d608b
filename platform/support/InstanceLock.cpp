#include "kor/InstanceLock.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>

namespace kor {
namespace {

// "\0kor.instance/PROGRAM/KEY", the key hashed when it would not fit.
socklen_t lockAddress(const std::string& program, const std::string& key, sockaddr_un& addr) {
    std::string name = "kor.instance/" + program;
    if (!key.empty()) name += "/" + key;
    if (name.size() >= sizeof addr.sun_path - 1) {
        char hashed[32];
        snprintf(hashed, sizeof hashed, "%016zx", std::hash<std::string>()(key));
        name = "kor.instance/" + program.substr(0, 64) + "/" + hashed;
    }
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// The PID of the process listening on addr, 0 when it cannot be learned.
pid_t holderOf(const sockaddr_un& addr, socklen_t length) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 0;
    pid_t pid = 0;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
        pid = credentials.pid;
    close(fd);
    return pid;
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);
}

bool InstanceLock::take(const std::string& program, const std::string& key, std::string& why,
                        const std::string& label) {
    if (fd_ >= 0) return true;
    sockaddr_un addr;
    const socklen_t length = lockAddress(program, key, addr);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("cannot make the instance lock: ") + strerror(errno);
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0 || listen(fd, 4) != 0) {
        const int err = errno;
        close(fd);
        if (err != EADDRINUSE) {
            why = std::string("cannot take the instance lock: ") + strerror(err);
            return false;
        }
        const pid_t holder = holderOf(addr, length);
        why = "another " + program + " runs in this network namespace" +
              (label.empty() ? std::string() : " for " + label) +
              (holder > 0 ? " (PID " + std::to_string(holder) + ")" : std::string());
        return false;
    }
    fd_ = fd;
    return true;
}

void InstanceLock::renew() {
    // listen() again records the credentials of the caller.
    if (fd_ >= 0) listen(fd_, 4);
}

std::string socketPathKey(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (stat(directory.c_str(), &st) != 0) return path;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + path.substr(slash + 1);
}

}  // namespace kor
