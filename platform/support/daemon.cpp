#include "kor/daemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kor/error/DefaultAssertHook.h"
#include "kor/sysloglevel.h"

void KOR_Daemon_construct(KOR_Daemon* d, const char* name, const char* pidDirectory) {
    memset(d, 0, sizeof *d);
    d->lockFd = -1;
    snprintf(d->name, sizeof d->name, "%s", name ? name : "daemon");
    snprintf(d->pidDirectory, sizeof d->pidDirectory, "%s", pidDirectory ? pidDirectory : "/var/run");
    int n = snprintf(d->pidFile, sizeof d->pidFile, "%s/%s.pid", d->pidDirectory, d->name);
    if (n < 0 || size_t(n) >= sizeof d->pidFile) d->pidFile[0] = '\0';
}

namespace {
// 1 when another open file description holds the lock, 0 when free or absent.
int heldByOther(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    int held = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) held = 1;
    else flock(fd, LOCK_UN);
    close(fd);
    return held;
}
}  // namespace

int KOR_Daemon_occupiedPidFile(KOR_Daemon* d) {
    if (!d->pidFile[0] || d->lockFd >= 0) return 0;
    return heldByOther(d->pidFile);
}

int KOR_Daemon_daemonize(KOR_Daemon*) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    if (setsid() < 0) return -1;
    pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    umask(022);
    if (chdir("/") != 0) return -1;
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return -1;
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
    return 0;
}

int KOR_Daemon_createPidFile(KOR_Daemon* d) {
    if (!d->pidFile[0]) return -1;
    if (d->lockFd >= 0) return 0;
    int fd = open(d->pidFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    char buf[32];
    int n = snprintf(buf, sizeof buf, "%ld\n", long(getpid()));
    if (ftruncate(fd, 0) != 0 || write(fd, buf, size_t(n)) != n) {
        close(fd);
        return -1;
    }
    d->lockFd = fd;
    return 0;
}

void KOR_Daemon_deletePidFile(KOR_Daemon* d) {
    if (!d->pidFile[0]) return;
    if (d->lockFd >= 0) {
        unlink(d->pidFile);
        close(d->lockFd);
        d->lockFd = -1;
        return;
    }
    if (!heldByOther(d->pidFile)) unlink(d->pidFile);
}

int KOR_Daemon_background(KOR_Daemon* daemon, kor::error::DefaultAssertHook& hook, int logModule,
                          const char* sourceFile) {
    KOR_Sysloglevel_set(1);
    hook.setSyslog(true);
    if (KOR_Daemon_daemonize(daemon) != 0) {
        KOR_Sysloglevel_error(logModule, sourceFile, __LINE__, "daemonizing failed");
        return -1;
    }
    KOR_Daemon_deletePidFile(daemon);
    if (KOR_Daemon_createPidFile(daemon) != 0) {
        KOR_Sysloglevel_error(logModule, sourceFile, __LINE__, VAStr("cannot write the PID file %s", daemon->pidFile));
        return -1;
    }
    return 0;
}
