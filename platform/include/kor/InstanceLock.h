#pragma once
// One instance of a program per network namespace (and per key, where one
// namespace may hold several, such as servers on different sockets).
//
// The lock is a listening UNIX socket in the abstract namespace, which the
// kernel keeps per network namespace and lets go of when its process ends,
// however it ends: nothing is left behind by a SIGKILL, and neither the PID
// directory nor -b has a part in it. A second instance learns the holder's
// PID from the socket's credentials.

#include <string>

namespace kor {

class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

    // Takes the lock of program (and key). False when it cannot: why then
    // says so, naming label (what the key stands for) and the PID of the
    // instance that holds it when the kernel tells.
    bool take(const std::string& program, const std::string& key, std::string& why,
              const std::string& label = "");
    // After a fork, so that a second instance names the process that now
    // holds the lock.
    void renew();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The key of a socket path: the same for every spelling of one place in one
// file system, different in another mount of /tmp.
std::string socketPathKey(const std::string& path);

}  // namespace kor
