// Runs queued command lines without a shell.

#include "kor/cfg/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kor/sysloglevel.h"

namespace kor {
namespace cfg {

namespace {

const int kDefaultTimeoutMs = 30000;

KOR_Modul modul() {
    static KOR_Modul m = KOR_Sysloglevel_registerModul("cfgclient");
    return m;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Words of a line, with ";" split off as a token of its own wherever it is.
std::vector<std::string> tokenize(const std::string& line) {
    std::vector<std::string> tokens;
    std::string word;
    auto flush = [&] {
        if (!word.empty()) tokens.push_back(word);
        word.clear();
    };
    for (char c : line) {
        if (isBlank(c) || c == '\n' || c == '\r') {
            flush();
        } else if (c == ';') {
            flush();
            tokens.push_back(";");
        } else {
            word += c;
        }
    }
    flush();
    return tokens;
}

bool allowedProgram(const std::string& word) {
    return word == "iptables" || word == "ipset" || word == "ip" || word == "/sbin/ip";
}

// The characters that would make a shell do more than run one program.
bool hasShellOperator(const std::string& word) { return word.find_first_of("|&<>") != std::string::npos; }

std::string resolve(const std::string& program) {
    if (program[0] == '/') return program;
    const char* env = getenv("PATH");
    std::string path = env && *env ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') {
            std::string candidate = dir + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return "";
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

void audit(const std::vector<std::string>& words, const std::string& status) {
    const char* file = getenv("QUORIN_CMD_LOG");
    if (!file || !*file) return;
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string line = status + " " + joinWords(words) + "\n";
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

}  // namespace

ParsedLine parseCommandLine(const std::string& line) {
    ParsedLine out;
    std::vector<std::string> tokens = tokenize(line);
    CommandChain chain;
    ParsedCommand cmd;
    bool afterOr = false;  // the last token was "||": a command must follow

    auto fail = [&](const std::string& why) {
        out.ok = false;
        out.error = why;
        out.chains.clear();
        return out;
    };
    auto endCommand = [&]() -> bool {
        if (cmd.words.empty()) return !afterOr && !cmd.discardStderr;
        if (!allowedProgram(cmd.words[0])) return false;
        chain.push_back(cmd);
        cmd = ParsedCommand();
        afterOr = false;
        return true;
    };

    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        if (t == ";") {
            if (!cmd.words.empty() && !allowedProgram(cmd.words[0]))
                return fail("program not allowed: " + cmd.words[0]);
            if (!endCommand()) return fail("incomplete command before \";\"");
            if (!chain.empty()) out.chains.push_back(chain);
            chain.clear();
        } else if (t == "||") {
            if (cmd.words.empty()) return fail("\"||\" without a command before it");
            if (!allowedProgram(cmd.words[0])) return fail("program not allowed: " + cmd.words[0]);
            endCommand();
            afterOr = true;
        } else if (t == "2>" || t == "2>/dev/null") {
            if (cmd.words.empty() || cmd.discardStderr) return fail("misplaced \"2>\"");
            if (t == "2>") {
                if (i + 1 >= tokens.size() || tokens[i + 1] != "/dev/null")
                    return fail("error output may only go to /dev/null");
                ++i;
            }
            cmd.discardStderr = true;
        } else if (hasShellOperator(t)) {
            return fail("shell operator not supported: " + t);
        } else {
            if (cmd.discardStderr) return fail("words after \"2> /dev/null\"");
            if (cmd.words.empty() && !allowedProgram(t)) return fail("program not allowed: " + t);
            cmd.words.push_back(t);
        }
    }
    if (afterOr && cmd.words.empty()) return fail("\"||\" without a command after it");
    if (!cmd.words.empty() || cmd.discardStderr) {
        if (!endCommand()) return fail("incomplete command");
    }
    if (!chain.empty()) out.chains.push_back(chain);
    out.ok = true;
    return out;
}

CommandRunner::CommandRunner() : timeoutMs_(kDefaultTimeoutMs) {
    if (const char* env = getenv("QUORIN_CMD_TIMEOUT_MS")) {
        int v = atoi(env);
        if (v > 0) timeoutMs_ = v;
    }
}

void CommandRunner::execute(const std::string& commandLine) {
    ParsedLine parsed = parseCommandLine(commandLine);
    if (!parsed.ok) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("refused command line: \"%s\": %s", commandLine.c_str(), parsed.error.c_str()));
        return;
    }
    for (const auto& chain : parsed.chains) {
        for (const auto& cmd : chain) {
            if (run(cmd) == 0) break;  // "||": the rest runs only after a failure
        }
    }
}

int CommandRunner::run(const ParsedCommand& command) {
    std::string path = resolve(command.words[0]);
    if (path.empty()) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("program not found: %s", command.words[0].c_str()));
        audit(command.words, "-1");
        return -1;
    }
    int errPipe[2] = {-1, -1};
    if (!command.discardStderr && pipe2(errPipe, O_CLOEXEC) != 0) return -1;

    std::vector<char*> argv;
    for (const auto& w : command.words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        if (errPipe[0] >= 0) {
            close(errPipe[0]);
            close(errPipe[1]);
        }
        audit(command.words, "-1");
        return -1;
    }
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(command.discardStderr ? null : errPipe[1], STDERR_FILENO);
        // Nothing of ours leaks into the command.
        long maxFd = sysconf(_SC_OPEN_MAX);
        if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
            for (long fd = 3; fd < (maxFd > 0 ? maxFd : 1024); ++fd) close(int(fd));
        execv(path.c_str(), argv.data());
        _exit(127);
    }

    std::string errText;
    bool killed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    auto leftMs = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return int(left.count() < 0 ? 0 : left.count());
    };
    if (errPipe[1] >= 0) close(errPipe[1]);
    if (errPipe[0] >= 0) {
        for (;;) {
            pollfd p{errPipe[0], POLLIN, 0};
            int n = poll(&p, 1, leftMs());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                kill(pid, SIGKILL);
                killed = true;
                break;
            }
            char buf[4096];
            ssize_t got = read(errPipe[0], buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            if (errText.size() < 65536) errText.append(buf, size_t(got));
        }
        close(errPipe[0]);
    }
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) break;
        if (killed) continue;
        if (leftMs() == 0) {
            killed = true;
            kill(pid, SIGKILL);
            continue;
        }
        usleep(1000);
    }
    if (killed) {
        KOR_Sysloglevel_error(modul(), "actionqueue", __LINE__,
                              VAStr("command killed after %d ms: %s", timeoutMs_, joinWords(command.words).c_str()));
        audit(command.words, "killed");
        return -2;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    audit(command.words, std::to_string(code));
    if (code != 0) {
        while (!errText.empty() && (errText.back() == '\n' || errText.back() == ' ')) errText.pop_back();
        KOR_Sysloglevel_debug(modul(), "actionqueue", __LINE__,
                              VAStr("command failed with status %d: %s: %s", code,
                                    joinWords(command.words).c_str(), errText.c_str()));
    }
    return code;
}

}  // namespace cfg
}  // namespace kor
