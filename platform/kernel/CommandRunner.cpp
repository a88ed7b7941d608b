// Runs queued command lines without a shell: the line is split into words
// here, checked against the few programs and forms the daemon writes, and each
// command is started with vfork + execv of its resolved absolute path: the
// child borrows the daemon's memory until its exec instead of copying it.

#include "kor/kernel/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kor/kernel/ConntrackFlush.h"
#include "kor/kernel/IpsetBatch.h"
#include "kor/kernel/IptablesBatch.h"
#include "kor/sysloglevel.h"
#include "Process.h"
#include "SetRelease.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace kor {
namespace kernel {

namespace {

const int kDefaultTimeoutMs = 30000;
const size_t kMaxErrorText = 64 * 1024;

KOR_Modul modul() {
    static KOR_Modul m = KOR_Sysloglevel_registerModul("cfgclient");
    return m;
}

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}


std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

void audit(const std::vector<std::string>& words, const std::string& status, const char* how,
           const std::string& times) {
    const char* file = getenv("QUORIN_CMD_LOG");
    if (!file || !*file) return;
    Fd fd(open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("cannot open command log %s: %s", file, strerror(errno)));
        return;
    }
    std::string line = status + " " + joinWords(words) + (*how ? std::string("\t") + how : "") + times + "\n";
    if (write(fd.get(), line.data(), line.size()) != ssize_t(line.size()))
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__, VAStr("cannot write command log %s", file));
}

// In the vfork child, which runs on the parent's memory until its exec: only
// async-signal-safe calls that change nothing but its own descriptors and
// signal state. Every signal is blocked when it starts (see runProgram), so
// no handler of the daemon runs here.
[[noreturn]] void execChild(const char* path, char* const* argv, int nullFd, int errFd, int execFd, long maxFd) {
    // Lift every descriptor we use above the standard ones first, so none of
    // them is overwritten below when the parent had 0, 1 or 2 closed.
    nullFd = fcntl(nullFd, F_DUPFD_CLOEXEC, 3);
    errFd = errFd >= 0 ? fcntl(errFd, F_DUPFD_CLOEXEC, 3) : nullFd;
    execFd = fcntl(execFd, F_DUPFD_CLOEXEC, 3);
    if (nullFd < 0 || errFd < 0 || execFd < 0) _exit(127);
    // dup2 to a different descriptor clears close-on-exec on the copy.
    if (dup2(nullFd, STDIN_FILENO) < 0 || dup2(nullFd, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0)
        _exit(127);
    // Nothing else of ours reaches the program: everything above 2 closes at
    // exec, the status pipe included, whose closing tells the parent that
    // the exec succeeded.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (long fd = 3; fd < maxFd; ++fd) fcntl(int(fd), F_SETFD, FD_CLOEXEC);
    // Handlers are reset by exec, ignored signals are not (the daemon's
    // SIGPIPE, for one); the signal mask is inherited too.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path, argv);
    int err = errno;
    ssize_t ignored = write(execFd, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

// Starts the child with vfork; the parent goes on once it has called exec
// or ended. Kept apart so that nothing of the caller's frame is live across
// vfork.
__attribute__((noinline)) pid_t spawnChild(const char* path, char* const* argv, int nullFd, int errFd, int execFd,
                                           long maxFd) {
    const pid_t pid = vfork();
    if (pid == 0) execChild(path, argv, nullFd, errFd, execFd, maxFd);
    return pid;
}

// Reads the command's error output (when errRead is open) until it ends or
// timeoutMs has passed. True when it ended by itself, with its wait status
// in status; false when it was killed after the timeout.
bool awaitEnd(Child& child, Fd& errRead, int timeoutMs, std::string& errText, int& status) {
    // A pidfd wakes us at its end; without one (old kernels) we look every
    // 10 ms.
#ifdef SYS_pidfd_open
    Fd pidFd(int(syscall(SYS_pidfd_open, child.pid(), 0)));
#else
    Fd pidFd;
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    auto readError = [&] {
        char buf[4096];
        ssize_t n = read(errRead.get(), buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        if (errText.size() < kMaxErrorText) errText.append(buf, size_t(n));
        return true;
    };
    for (;;) {
        const pid_t pid = child.pid();
        if (child.reap(&status, false)) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            child.reap(&status, true);
            killed = true;
            break;
        }
        pollfd fds[2];
        nfds_t n = 0;
        if (errRead.valid()) fds[n++] = pollfd{errRead.get(), POLLIN, 0};
        if (pidFd.valid()) fds[n++] = pollfd{pidFd.get(), POLLIN, 0};
        int wait = int(left.count());
        if (!pidFd.valid() && wait > 10) wait = 10;
        if (poll(fds, n, wait) > 0 && errRead.valid() && fds[0].revents && !readError()) errRead.reset();
    }
    // What is still in the pipe; a process the command left behind may hold
    // it open, so do not wait for its end.
    if (errRead.valid() && fcntl(errRead.get(), F_SETFL, O_NONBLOCK) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(errRead.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0 && errText.size() < kMaxErrorText) errText.append(buf, size_t(n));
    }
    return !killed;
}

}  // namespace

CommandRunner::CommandRunner() : timeoutMs_(kDefaultTimeoutMs) {
    if (const char* env = getenv("QUORIN_CMD_TIMEOUT_MS")) {
        char* end = nullptr;
        errno = 0;
        long v = strtol(env, &end, 10);
        if (errno == 0 && end != env && *end == '\0' && v > 0 && v <= INT_MAX)
            timeoutMs_ = int(v);
        else
            KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                                  VAStr("ignoring QUORIN_CMD_TIMEOUT_MS=\"%s\", using %d ms", env, timeoutMs_));
    }
    const char* times = getenv("QUORIN_CMD_LOG_TIMES");
    logTimes_ = times && strcmp(times, "1") == 0;
    const char* realIp = getenv("QUORIN_CMD_REAL_IP");
    if (!realIp || strcmp(realIp, "1") != 0) netlink_ = std::make_unique<IpNetlink>(timeoutMs_);
    const char* batch = getenv("QUORIN_CMD_BATCH");
    if (!batch || strcmp(batch, "0") != 0) {
        iptables_ = std::make_unique<IptablesBatch>(timeoutMs_);
        ipset_ = std::make_unique<IpsetBatch>(timeoutMs_);
    }
}

CommandRunner::~CommandRunner() = default;

void CommandRunner::execute(const std::string& commandLine) {
    ParsedLine parsed = parseCommandLine(commandLine);
    if (!parsed.ok) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("refused command line: \"%s\": %s", commandLine.c_str(), parsed.error.c_str()));
        return;
    }
    for (const auto& chain : parsed.chains) runChain(chain);
}

void CommandRunner::runChain(const CommandChain& chain) {
    for (const auto& cmd : chain) {
        if (run(cmd) == 0) break;  // "||": the rest runs only after a failure
    }
}

int CommandRunner::run(const ParsedCommand& command) {
    if (logTimes_) started_ = std::chrono::steady_clock::now();
    uint32_t mark = 0;
    if (parseConntrackFlush(command.words, mark)) {
        const ConntrackResult flushed = flushConntrackMark(mark);
        return report(command, flushed.status, command.discardStderr ? "" : flushed.error, "in-process");
    }
    IpRequest request;
    IpResult result;
    if (netlink_ && parseIpRequest(command.words, request) && netlink_->run(request, result))
        return report(command, result.status, command.discardStderr ? "" : result.error, "in-process");
    return runProgram(command);
}

namespace {

// The status pipe closes at a successful exec (0), or brings its errno.
int execError(const Fd& execRead) {
    int execErr = 0;
    ssize_t got;
    while ((got = read(execRead.get(), &execErr, sizeof execErr)) < 0 && errno == EINTR) {
    }
    return got > 0 ? execErr : 0;
}

}  // namespace

int CommandRunner::runProgram(const ParsedCommand& command) {
    SetRelease release;
    for (;;) {
        std::string errText;
        const int code = runOnce(command, errText);
        if (code < 0) return code;  // already told
        if (code != 0 && isSetDestroy(command.words) && release.waitAgain(errText)) continue;
        return report(command, code, errText, "");
    }
}

int CommandRunner::runOnce(const ParsedCommand& command, std::string& errText) {
    const std::string words = joinWords(command.words);
    auto cannotStart = [&](const char* why) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__, VAStr("cannot run %s: %s", words.c_str(), why));
        audit(command.words, "-1", "", times());
        return -1;
    };
    if (command.words.empty()) return cannotStart("empty command");
    std::string path = resolveProgram(command.words[0]);
    if (path.empty()) return cannotStart("program not found");

    // Everything the child needs is prepared here: after vfork it may only
    // make async-signal-safe calls.
    std::vector<char*> argv;
    for (const auto& w : command.words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd <= 0) maxFd = 1024;
    Fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    Fd errRead, errWrite, execRead, execWrite;
    if (!null.valid()) return cannotStart("cannot open /dev/null");
    if (!command.discardStderr && !makePipe(errRead, errWrite)) return cannotStart(strerror(errno));
    if (!makePipe(execRead, execWrite)) return cannotStart(strerror(errno));

    // All signals blocked across vfork: a handler must not run in the child,
    // which shares our memory. The child resets handlers and unblocks.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = spawnChild(path.c_str(), argv.data(), null.get(), errWrite.get(), execWrite.get(), maxFd);
    const int spawnErr = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) return cannotStart(strerror(spawnErr));
    Child child(pid);
    errWrite.reset();
    execWrite.reset();

    if (const int execErr = execError(execRead)) {
        int ignored;
        child.reap(&ignored, true);
        return cannotStart(strerror(execErr));
    }

    int status = 0;
    const bool killed = !awaitEnd(child, errRead, timeoutMs_, errText, status);
    if (killed) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("command killed after %d ms: %s", timeoutMs_, words.c_str()));
        audit(command.words, "killed", "", times());
        return -2;
    }
    if (status == -1) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__, VAStr("exit status lost: %s", words.c_str()));
        audit(command.words, "-1", "", times());
        return -1;
    }
    // A command ended by a signal counts as failed, with the shell's 128 + signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int CommandRunner::report(const ParsedCommand& command, int code, std::string errText, const char* how) {
    audit(command.words, std::to_string(code), how, times());
    if (code == 0) return code;
    // The line expects this failure: nothing is formatted for a debug line
    // that is not written.
    const bool absorbed = command.discardStderr || command.orElse;
    if (absorbed && !KOR_Sysloglevel_debugOn(modul())) return code;
    while (!errText.empty() && (errText.back() == '\n' || errText.back() == ' ')) errText.pop_back();
    // One log line: iptables adds a second line of usage hints.
    for (size_t at; (at = errText.find('\n')) != std::string::npos;) errText.replace(at, 1, "; ");
    const char* text =
        VAStr("command failed with status %d: %s: %s", code, joinWords(command.words).c_str(), errText.c_str());
    if (absorbed)
        KOR_Sysloglevel_debug(modul(), "actionqueue", __LINE__, text);
    else
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__, text);
    return code;
}

std::string CommandRunner::times() const {
    if (!logTimes_) return "";
    auto micros = [](std::chrono::steady_clock::time_point t) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
    };
    return "\t" + micros(started_) + " " + micros(std::chrono::steady_clock::now());
}

}  // namespace kernel
}  // namespace kor
