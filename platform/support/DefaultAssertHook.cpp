#include "kor/error/DefaultAssertHook.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace kor {
namespace error {

namespace {

const int kSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];
volatile sig_atomic_t g_toSyslog = 0;
volatile sig_atomic_t g_installed = 0;
std::terminate_handler g_previousTerminate = nullptr;

// Only async-signal-safe calls here, but for syslog, which is the library's
// documented way of reporting from a dying daemon.
void report(int sig) {
    const char* what = strsignal(sig);
    if (g_toSyslog) {
        syslog(LOG_DAEMON | LOG_CRIT, "fatal signal %d (%s), process %d ends", sig, what ? what : "?", int(getpid()));
        return;
    }
    char line[160];
    // The program's own name: the hook serves every program of the platform.
    const char* parts[] = {program_invocation_short_name, ": fatal signal ", nullptr, " (", what ? what : "?",
                           "), process ends\n"};
    char num[16];
    int n = 0, v = sig;
    char rev[16];
    do { rev[n++] = char('0' + v % 10); v /= 10; } while (v && n < 15);
    for (int i = 0; i < n; ++i) num[i] = rev[n - 1 - i];
    num[n] = '\0';
    parts[2] = num;
    size_t len = 0;
    for (const char* p : parts) {
        size_t l = strlen(p);
        if (len + l >= sizeof line) l = sizeof line - 1 - len;
        memcpy(line + len, p, l);
        len += l;
    }
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
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
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
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    std::set_terminate(g_previousTerminate);
    g_installed = 0;
}

void DefaultAssertHook::setSyslog(bool on) {
    g_toSyslog = on ? 1 : 0;
    if (on) openlog(program_invocation_short_name, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

}  // namespace error
}  // namespace kor
