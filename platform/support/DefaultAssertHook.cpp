#include "kor/error/DefaultAssertHook.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace kor {
namespace error {

namespace {

const int kSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
const size_t kCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction g_previous[kCount];
volatile sig_atomic_t g_toSyslog = 0;
volatile sig_atomic_t g_installed = 0;
std::terminate_handler g_previousTerminate = nullptr;

// Everything the fatal-signal handler writes is prepared beforehand: the
// handler only copies bytes, asks for its PID and writes, all of which are
// async-signal-safe (strsignal and syslog are not).
char g_text[kCount][96];   // "fatal signal 11 (Segmentation fault), process ends"
char g_ident[32];          // the program's name
int g_logSocket = -1;      // datagram socket connected to the syslog daemon

void prepareTexts() {
    snprintf(g_ident, sizeof g_ident, "%s", program_invocation_short_name);
    for (size_t i = 0; i < kCount; ++i) {
        const char* what = strsignal(kSignals[i]);
        snprintf(g_text[i], sizeof g_text[i], "fatal signal %d (%s), process ends", kSignals[i], what ? what : "?");
    }
}

// Appends text to line (of size cap) at *len; async-signal-safe.
void append(char* line, size_t cap, size_t* len, const char* text) {
    size_t n = strlen(text);
    if (*len + n >= cap) n = cap - 1 - *len;
    memcpy(line + *len, text, n);
    *len += n;
}

void appendNumber(char* line, size_t cap, size_t* len, long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value && n < 23);
    char text[24];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    append(line, cap, len, text);
}

void report(int sig) {
    size_t index = 0;
    while (index < kCount && kSignals[index] != sig) ++index;
    if (index == kCount) return;
    char line[192];
    size_t len = 0;
    if (g_toSyslog && g_logSocket >= 0) {
        // "<26>" is LOG_DAEMON | LOG_CRIT.
        append(line, sizeof line, &len, "<26>");
        append(line, sizeof line, &len, g_ident);
        append(line, sizeof line, &len, "[");
        appendNumber(line, sizeof line, &len, long(getpid()));
        append(line, sizeof line, &len, "]: ");
        append(line, sizeof line, &len, g_text[index]);
        if (send(g_logSocket, line, len, MSG_NOSIGNAL) == ssize_t(len)) return;
        len = 0;
    }
    append(line, sizeof line, &len, g_ident);
    append(line, sizeof line, &len, ": ");
    append(line, sizeof line, &len, g_text[index]);
    append(line, sizeof line, &len, "\n");
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}

void onFatal(int sig) {
    report(sig);
    signal(sig, SIG_DFL);
    raise(sig);
}

void onTerminate() {
    const char* text = "uncaught exception";
    if (g_toSyslog) syslog(LOG_DAEMON | LOG_CRIT, "%s, process ends", text);
    else {
        const char* name = program_invocation_short_name;
        ssize_t ignored = write(STDERR_FILENO, name, strlen(name));
        ignored = write(STDERR_FILENO, ": uncaught exception, process ends\n", 35);
        (void)ignored;
    }
    // Keep abort() from logging a second line.
    signal(SIGABRT, SIG_DFL);
    abort();
}

}  // namespace

DefaultAssertHook::DefaultAssertHook() {
    if (g_installed) return;
    g_installed = 1;
    prepareTexts();
    for (size_t i = 0; i < kCount; ++i) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = onFatal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        sigaction(kSignals[i], &sa, &g_previous[i]);
    }
    g_previousTerminate = std::set_terminate(onTerminate);
}

DefaultAssertHook::~DefaultAssertHook() {
    if (!g_installed) return;
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    std::set_terminate(g_previousTerminate);
    g_installed = 0;
}

void DefaultAssertHook::setSyslog(bool on, const char* socketPath) {
    g_toSyslog = on ? 1 : 0;
    if (!on) return;
    openlog(program_invocation_short_name, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    if (g_logSocket >= 0) close(g_logSocket);
    g_logSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath);
    if (g_logSocket >= 0 && connect(g_logSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(g_logSocket);
        g_logSocket = -1;
    }
}

}  // namespace error
}  // namespace kor
