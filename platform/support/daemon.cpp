#include "kor/daemon.h"

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kor/InstanceLock.h"
#include "kor/error/DefaultAssertHook.h"
#include "kor/sysloglevel.h"

void KOR_Daemon_construct(KOR_Daemon* d, const char* name, const char* pidDirectory) {
    memset(d, 0, sizeof *d);
    d->lockFd = -1;
    snprintf(d->name, sizeof d->name, "%s", name ? name : "daemon");
    if (!pidDirectory) pidDirectory = "/var/run";
    // Daemonizing changes to "/": a relative directory is taken relative to
    // the directory the program was started in, now.
    std::string directory = pidDirectory;
    char cwd[PATH_MAX];
    if (directory[0] != '/' && getcwd(cwd, sizeof cwd)) directory = std::string(cwd) + "/" + directory;
    // Too long: no PID file rather than another one.
    if (directory.size() >= sizeof d->pidDirectory) return;
    memcpy(d->pidDirectory, directory.c_str(), directory.size() + 1);
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

// The open file fd is the one that path names now.
bool sameFile(int fd, const char* path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
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
    // The file is ours once we hold its lock and it is still the one under
    // the name: another process may unlink a file that nobody holds yet (a
    // stale one, as it believes) between our open and our lock.
    int fd = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fd = open(d->pidFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return -1;
        }
        if (sameFile(fd, d->pidFile)) break;
        close(fd);
        fd = -1;
    }
    if (fd < 0) return -1;
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
    // Unlinked only by a holder of its lock, and only while the name still
    // leads to the file locked: checking first and unlinking by name later
    // could remove the file that another process has created and locked
    // meanwhile.
    int fd = d->lockFd;
    if (fd < 0) {
        fd = open(d->pidFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return;
        }
    }
    if (sameFile(fd, d->pidFile)) unlink(d->pidFile);
    close(fd);
    d->lockFd = -1;
}

bool KOR_Daemon_usablePidDirectory(const KOR_Daemon* d, std::string& why) {
    struct stat st;
    if (!d->pidFile[0]) why = "the PID directory's name is too long";
    else if (stat(d->pidDirectory, &st) != 0) why = std::string(strerror(errno));
    else if (!S_ISDIR(st.st_mode)) why = strerror(ENOTDIR);
    else if (access(d->pidDirectory, W_OK | X_OK) != 0) why = std::string(strerror(errno));
    else return true;
    why = std::string("cannot use the PID directory ") + d->pidDirectory + ": " + why;
    return false;
}

int KOR_Daemon_background(KOR_Daemon* daemon, kor::error::DefaultAssertHook& hook, int logModule,
                          const char* sourceFile) {
    // Checked before the fork, on standard error: once in the background the
    // daemon could only die of it, after its starter had exited with 0.
    std::string why;
    if (!KOR_Daemon_usablePidDirectory(daemon, why)) {
        KOR_Sysloglevel_error(logModule, sourceFile, __LINE__, why.c_str());
        return -1;
    }
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

int KOR_Daemon_start(KOR_Daemon* daemon, kor::InstanceLock& lock, const char* name, const char* pidDirectory,
                     bool daemonize, kor::error::DefaultAssertHook& hook, int logModule) {
    KOR_Sysloglevel_set(0);
    hook.setSyslog(false);
    KOR_Daemon_construct(daemon, name, pidDirectory);
    if (KOR_Daemon_occupiedPidFile(daemon) != 0) {
        KOR_Sysloglevel_error(logModule, name, __LINE__, VAStr("another %s is running; exiting", name));
        return -1;
    }
    std::string why;
    if (!lock.take(name, "", why)) {
        KOR_Sysloglevel_error(logModule, name, __LINE__, (why + "; exiting").c_str());
        return -1;
    }
    if (daemonize && KOR_Daemon_background(daemon, hook, logModule, name) != 0) return -1;
    lock.renew();
    return 0;
}

void KOR_Daemon_stopSignals(void (*handler)(int)) {
    signal(SIGINT, handler);
    signal(SIGTERM, handler);
    signal(SIGQUIT, handler);
    signal(SIGPIPE, SIG_IGN);
}
