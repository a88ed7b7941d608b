#pragma once
// What the runner's children have in common: an owned descriptor, a child
// that is killed and reaped when it is left behind, a program found on the
// search path, and a start with posix_spawn on given standard descriptors.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

extern char** environ;

namespace kor {
namespace kernel {

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A started child: killed and reaped when it is left behind, so that no path
// out of its caller leaves a running command or a zombie.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int ignored;
            reap(&ignored, true);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }

    // True when the child has ended and *status holds its wait status (-1
    // when the status was lost, e.g. SIGCHLD is ignored).
    bool reap(int* status, bool block) {
        for (;;) {
            const pid_t r = waitpid(pid_, status, block ? 0 : WNOHANG);
            if (r == 0) return false;
            if (r < 0 && errno == EINTR) continue;
            if (r != pid_) *status = -1;
            pid_ = -1;
            return true;
        }
    }

private:
    pid_t pid_;
};

// The program's absolute path: found on PATH (or the usual system
// directories when PATH is unset), or the path itself when it is absolute.
// Relative entries of PATH are skipped. Empty when not found.
inline std::string resolveProgram(const std::string& program) {
    if (!program.empty() && program[0] == '/') return program;
    const char* env = getenv("PATH");
    const std::string path = env ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/' && access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
        start = end + 1;
    }
    return "";
}

// Starts the program at path with in, out and err as its standard input,
// output and error, nothing else of ours, every signal at its default and
// none blocked (ignored signals would stay ignored across exec). -1 when it
// could not be started.
inline pid_t spawnWithStdio(const std::string& path, char* const* argv, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

}  // namespace kernel
}  // namespace kor
