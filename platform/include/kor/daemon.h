#pragma once
// PID file handling and daemonizing.
//
// The PID file is "<name>.pid" in the PID directory. Its owner holds an
// exclusive flock(2) on it for as long as it lives, so a file left behind by
// a killed process never counts as occupied.

#include <climits>
#include <string>

namespace kor {
class InstanceLock;
namespace error {
class DefaultAssertHook;
}
}  // namespace kor

struct KOR_Daemon {
    char name[64];
    char pidDirectory[PATH_MAX];
    char pidFile[PATH_MAX];
    int lockFd;  // descriptor of our own PID file while we hold it, else -1
};

void KOR_Daemon_construct(KOR_Daemon* daemon, const char* name, const char* pidDirectory);
// Non-zero when a live process holds the PID file.
int KOR_Daemon_occupiedPidFile(KOR_Daemon* daemon);
// fork, setsid, fork, chdir "/", standard descriptors to /dev/null. Only the
// grandchild returns; returns 0 on success, -1 when a step failed.
int KOR_Daemon_daemonize(KOR_Daemon* daemon);
// Writes our PID into the PID file and keeps it locked. 0 on success.
int KOR_Daemon_createPidFile(KOR_Daemon* daemon);
// Removes our own PID file, or a stale one that nobody holds. A file that a
// live process holds is left alone.
void KOR_Daemon_deletePidFile(KOR_Daemon* daemon);

// The PID directory exists and we may create files in it; else false, with
// why naming the directory and the reason.
bool KOR_Daemon_usablePidDirectory(const KOR_Daemon* daemon, std::string& why);

// Goes to the background: a PID directory that cannot be used is refused
// first, still on standard error; then logging (and the assert hook's
// report) to syslog, daemonize, and the PID file written anew. Each step that fails is logged
// under logModule and sourceFile; returns 0 when every step succeeded.
int KOR_Daemon_background(KOR_Daemon* daemon, kor::error::DefaultAssertHook& hook, int logModule,
                          const char* sourceFile);

// The start that the platform's programs share: logging to standard error,
// the PID file of name in pidDirectory checked (a live instance holding it
// is logged as "another NAME is running; exiting"), the instance lock of
// name taken (foreground or not), and with daemonize the step to the
// background. 0 when the program may go on.
int KOR_Daemon_start(KOR_Daemon* daemon, kor::InstanceLock& lock, const char* name, const char* pidDirectory,
                     bool daemonize, kor::error::DefaultAssertHook& hook, int logModule);
// SIGINT, SIGTERM and SIGQUIT call handler; SIGPIPE is ignored.
void KOR_Daemon_stopSignals(void (*handler)(int));
