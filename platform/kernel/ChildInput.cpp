// A program fed on standard input: started with posix_spawn (glibc's runs
// the child on our memory until its exec, with every signal of ours reset),
// its input written through a socket with MSG_NOSIGNAL, so that a program
// that ends before reading all of it raises no SIGPIPE here, while its
// error output is read and its end awaited on a pidfd.

#include "ChildInput.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace kor {
namespace kernel {

namespace {

const size_t kMaxErrorText = 64 * 1024;

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

// A started child, killed and reaped when it is left behind.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int ignored;
            wait(&ignored, true);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // True when the child has ended; status is then its wait status (-1 when lost).
    bool wait(int* status, bool block) {
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

std::string findProgram(const std::string& name) {
    const char* env = getenv("PATH");
    const std::string path = env ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/' && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
        start = end + 1;
    }
    return "";
}

pid_t spawn(const std::string& path, const std::vector<std::string>& argv, int in, int out, int err) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // Ignored signals stay ignored across exec, the mask is inherited.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, &attr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// One round of the exchange: waits up to waitMs, then writes what the
// program takes of the input and reads what it wrote on standard error.
// Each end is closed when it is done with.
void pump(Fd& toChild, Fd& errRead, const Fd& pidFd, const std::string& input, size_t& written, std::string& error,
          int waitMs) {
    pollfd fds[3];
    nfds_t n = 0;
    if (errRead.valid()) fds[n++] = pollfd{errRead.get(), POLLIN, 0};
    if (toChild.valid()) fds[n++] = pollfd{toChild.get(), POLLOUT, 0};
    if (pidFd.valid() && !errRead.valid()) fds[n++] = pollfd{pidFd.get(), POLLIN, 0};
    if (poll(fds, n, waitMs) <= 0) return;
    for (nfds_t k = 0; k < n; ++k) {
        if (!fds[k].revents) continue;
        if (fds[k].fd == errRead.get()) {
            char buf[4096];
            const ssize_t got = read(errRead.get(), buf, sizeof buf);
            if (got > 0 && error.size() < kMaxErrorText) error.append(buf, size_t(got));
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) errRead.reset();
        } else if (fds[k].fd == toChild.get()) {
            const ssize_t sent = send(toChild.get(), input.data() + written, input.size() - written, MSG_NOSIGNAL);
            if (sent > 0) written += size_t(sent);
            // The program left its input unread: the rest is not for it.
            if (sent < 0 && errno != EINTR && errno != EAGAIN) written = input.size();
        }
    }
    if (written == input.size()) toChild.reset();  // the end of its input
}

}  // namespace

ChildResult runWithInput(const std::vector<std::string>& argv, const std::string& input, int timeoutMs) {
    ChildResult result;
    const std::string path = findProgram(argv[0]);
    int sv[2], pv[2];
    if (path.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return result;
    Fd toChild(sv[0]), childIn(sv[1]);
    if (pipe2(pv, O_CLOEXEC) != 0) return result;
    Fd errRead(pv[0]), errWrite(pv[1]);
    Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.valid()) return result;
    const pid_t pid = spawn(path, argv, childIn.get(), null.get(), errWrite.get());
    if (pid < 0) return result;
    Child child(pid);
    result.started = true;
    childIn.reset();
    errWrite.reset();
    Fd pidFd(int(syscall(SYS_pidfd_open, pid, 0)));
    fcntl(toChild.get(), F_SETFL, O_NONBLOCK);
    size_t written = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    // Its end is awaited once its error output has closed, on the pidfd
    // (without one, old kernels, by a blocking wait).
    while (errRead.valid() || !child.wait(&status, !pidFd.valid())) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            child.wait(&status, true);
            result.status = -2;
            return result;
        }
        pump(toChild, errRead, pidFd, input, written, result.error, int(left));
    }
    result.status = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace kernel
}  // namespace kor
