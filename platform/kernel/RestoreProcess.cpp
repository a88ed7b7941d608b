// The iptables-restore co-process: started with posix_spawn (vfork-like in
// glibc), its standard input a socket (written with MSG_NOSIGNAL, so its end
// raises no SIGPIPE here), its output and errors pipes read until the
// listing asked for is complete.

#include "kor/kernel/RestoreProcess.h"

#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kor {
namespace kernel {

namespace {

const char* const kHeader = "-P PREROUTING ";

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

bool startsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// Tells when the listing of the requests is complete: the last request is
// PREROUTING, listed once before it as well, so its rules are known when
// its header comes.
class ListingEnd {
public:
    explicit ListingEnd(size_t headers) : headers_(headers) {}
    // Takes one line; true once the listing is complete.
    bool take(const std::string& line) {
        if (seen_ == headers_) return --tail_ == 0;
        if (startsWith(line, kHeader)) {
            if (++seen_ == headers_) {
                cut_ = kept_.size();
                tail_ = rules_;
                return tail_ == 0;
            }
            rules_ = 0;
        } else if (startsWith(line, "-A PREROUTING ") || line == "-A PREROUTING") {
            ++rules_;
        }
        kept_ += line + "\n";
        return false;
    }
    std::string listing() const { return kept_.substr(0, cut_); }

private:
    size_t headers_, seen_ = 0, rules_ = 0, tail_ = 0, cut_ = 0;
    std::string kept_;
};

}  // namespace

std::string iptablesVersion(int timeoutMs) {
    int out[2];
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return "";
    if (pipe2(out, O_CLOEXEC) != 0) return close(null), "";
    char* argv[] = {const_cast<char*>("iptables"), const_cast<char*>("-V"), nullptr};
    const pid_t pid = spawnWithStdio(resolveProgram(argv[0]), argv, null, out[1], null);
    close(null);
    close(out[1]);
    std::string text;
    char buf[256];
    pollfd pfd{out[0], POLLIN, 0};
    while (pid > 0 && poll(&pfd, 1, timeoutMs) > 0) {
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    close(out[0]);
    int status = 0;
    if (pid > 0) kill(pid, SIGKILL);
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    text = text.substr(0, text.find('\n'));
    return startsWith(text, "iptables v") ? text : "";
}

bool RestoreProcess::start() {
    int in[2], out[2], err[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return close(in[0]), close(in[1]), false;
    if (pipe2(err, O_CLOEXEC) != 0) return close(in[0]), close(in[1]), close(out[0]), close(out[1]), false;
    char* argv[] = {const_cast<char*>("stdbuf"), const_cast<char*>("-oL"), const_cast<char*>("iptables-restore"),
                    const_cast<char*>("--noflush"), nullptr};
    pid_ = spawnWithStdio(resolveProgram(argv[0]), argv, in[1], out[1], err[1]);
    close(in[1]);
    close(out[1]);
    close(err[1]);
    in_ = in[0];
    out_ = out[0];
    err_ = err[0];
    lines_ = 0;
    if (pid_ < 0) {
        stop();
        return false;
    }
    for (int fd : {in_, out_, err_}) fcntl(fd, F_SETFL, O_NONBLOCK);
    return true;
}

void RestoreProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
}

RestoreProcess::Result RestoreProcess::run(const std::string& commitBlock, const std::vector<std::string>& lists,
                                           std::string& listing, std::string& error, size_t& firstLine) {
    if (pid_ < 0 && !start()) return Result::NotStarted;
    std::string input = commitBlock + "*mangle\n";
    size_t headers = 0;
    for (const auto& chain : lists) {
        input += chain.empty() ? "-S\n" : "-S " + chain + "\n";
        if (chain.empty() || chain == "PREROUTING") ++headers;
    }
    input += "COMMIT\n";
    firstLine = lines_ + 1;
    for (char c : input) lines_ += c == '\n';
    const Result result = exchange(input, headers, listing, error);
    if (result != Result::Listed) stop();
    return result;
}

RestoreProcess::Result RestoreProcess::exchange(const std::string& input, size_t headers, std::string& listing,
                                                std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    ListingEnd end(headers);
    size_t written = 0;
    std::string partial;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Result::TimedOut;
        pollfd fds[3] = {{out_, short(outOpen ? POLLIN : 0), 0}, {err_, short(errOpen ? POLLIN : 0), 0},
                         {in_, short(written < input.size() ? POLLOUT : 0), 0}};
        if (poll(fds, 3, int(left.count()) + 1) < 0 && errno != EINTR) return Result::TimedOut;
        char buf[65536];
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            const ssize_t n = send(in_, input.data() + written, input.size() - written, MSG_NOSIGNAL);
            if (n > 0) written += size_t(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();  // it has ended
        }
        if (fds[1].revents) {
            const ssize_t n = read(err_, buf, sizeof buf);
            if (n > 0) error.append(buf, size_t(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) errOpen = false;
        }
        if (!fds[0].revents) continue;
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) outOpen = false;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                partial += buf[i];
                continue;
            }
            if (end.take(partial)) return (listing = end.listing()), Result::Listed;
            partial.clear();
        }
    }
    return Result::Ended;
}

}  // namespace kernel
}  // namespace kor
