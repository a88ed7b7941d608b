// Test tool: the tools' own cost of running command lines. Reads one command
// per line on standard input, splits it into words at blanks and starts its
// program directly (posix_spawnp: a vfork-like start, no shell), one after
// the other, each waited for to its end. With -s each line runs as
// "/bin/sh -c LINE" instead. The programs' output goes to /dev/null.
// Prints for every command its exit status (128 + signal for a signalled
// one, 127 when it could not start) and the microseconds it took, one
// command a line, then "us N": the microseconds from the first start to the
// last end.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// The descriptor of /dev/null that every child gets as its output.
class DevNull {
public:
    DevNull() : fd_(open("/dev/null", O_RDWR | O_CLOEXEC)) {}
    ~DevNull() {
        if (fd_ >= 0) close(fd_);
    }
    DevNull(const DevNull&) = delete;
    DevNull& operator=(const DevNull&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int runOne(const std::vector<std::string>& words, const posix_spawn_file_actions_t& actions) {
    if (words.empty()) return 127;
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return 127;
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    const bool viaShell = argc > 1 && strcmp(argv[1], "-s") == 0;
    std::vector<std::vector<std::string>> commands;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::string> words;
        if (viaShell) {
            words = {"/bin/sh", "-c", line};
        } else {
            std::istringstream split(line);
            for (std::string w; split >> w;) words.push_back(w);
        }
        if (!words.empty()) commands.push_back(words);
    }
    DevNull null;
    if (null.get() < 0) {
        std::cerr << "spawnlines: cannot open /dev/null\n";
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) posix_spawn_file_actions_adddup2(&actions, null.get(), fd);

    using Clock = std::chrono::steady_clock;
    auto micros = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::microseconds>(d).count(); };
    std::vector<std::pair<int, Clock::duration>> results;
    const auto start = Clock::now();
    for (const auto& words : commands) {
        const auto began = Clock::now();
        const int status = runOne(words, actions);
        results.emplace_back(status, Clock::now() - began);
    }
    const auto took = Clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);

    for (const auto& r : results) std::cout << r.first << " " << micros(r.second) << "\n";
    std::cout << "us " << micros(took) << "\n";
    return 0;
}
