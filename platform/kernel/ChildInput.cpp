// A program fed on standard input: started with posix_spawn (glibc's runs
// the child on our memory until its exec, with every signal of ours reset),
// its input written through a socket with MSG_NOSIGNAL, so that a program
// that ends before reading all of it raises no SIGPIPE here, while its
// error output is read and its end awaited on a pidfd.

#include "ChildInput.h"

#include "Process.h"

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

namespace kor {
namespace kernel {

namespace {

const size_t kMaxErrorText = 64 * 1024;
// A listing of the mangle table with every rule of many groups.
const size_t kMaxOutput = 16 * 1024 * 1024;

// One round of the exchange: waits up to waitMs, then writes what the
// program takes of the input and reads what it wrote on standard error.
// Each end is closed when it is done with.
void pump(Fd& toChild, Fd& errRead, const Fd& pidFd, const std::string& input, size_t& written, std::string& error,
          size_t most, int waitMs) {
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
            if (got > 0 && error.size() < most) error.append(buf, size_t(got));
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

ChildResult runWithInput(const std::vector<std::string>& argv, const std::string& input, int timeoutMs,
                         bool withOutput) {
    ChildResult result;
    const std::string path = resolveProgram(argv[0]);
    int sv[2], pv[2];
    if (path.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return result;
    Fd toChild(sv[0]), childIn(sv[1]);
    if (pipe2(pv, O_CLOEXEC) != 0) return result;
    Fd errRead(pv[0]), errWrite(pv[1]);
    Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.valid()) return result;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid =
        spawnWithStdio(path, args.data(), childIn.get(), withOutput ? errWrite.get() : null.get(), errWrite.get());
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
    while (errRead.valid() || !child.reap(&status, !pidFd.valid())) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            child.reap(&status, true);
            result.status = -2;
            return result;
        }
        pump(toChild, errRead, pidFd, input, written, result.error, withOutput ? kMaxOutput : kMaxErrorText,
             int(left));
    }
    result.status = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace kernel
}  // namespace kor
