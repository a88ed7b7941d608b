// PID file, logging levels and formatting, the event dispatcher.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "kor/daemon.h"
#include "kor/sysloglevel.h"
#include "moduna/net/EventDispatcher.h"

namespace {

std::string makeTempDir() {
    char tmpl[] = "/tmp/kor-test.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "";
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(PidFile, HeldOnlyWhileALiveProcessOwnsIt) {
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    KOR_Daemon ours;
    KOR_Daemon_construct(&ours, "quorin", dir.c_str());
    EXPECT_EQ(std::string(ours.pidFile), dir + "/quorin.pid");
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0);

    // A child holds the PID file; we see it occupied until the child dies.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        KOR_Daemon d;
        KOR_Daemon_construct(&d, "quorin", dir.c_str());
        char ok = KOR_Daemon_createPidFile(&d) == 0 ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_NE(KOR_Daemon_occupiedPidFile(&ours), 0);
    {
        std::ifstream in(ours.pidFile);
        long pid = 0;
        in >> pid;
        EXPECT_EQ(pid, long(child));
    }
    // A foreground instance must not remove a file that a live process holds.
    KOR_Daemon_deletePidFile(&ours);
    EXPECT_TRUE(exists(ours.pidFile));

    // Killed without cleanup: the stale file no longer blocks a restart.
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(exists(ours.pidFile));
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0);

    EXPECT_EQ(KOR_Daemon_createPidFile(&ours), 0);
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0) << "our own file is not another instance";
    KOR_Daemon_deletePidFile(&ours);
    EXPECT_FALSE(exists(ours.pidFile));
    close(ready[0]);
    close(ready[1]);
    rmdir(dir.c_str());
}

namespace {

// Captures what the logging writes to standard error.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        path_ = makeTempDir() + "/err";
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    std::string finish() {
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        std::ifstream in(path_);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        unlink(path_.c_str());
        return all;
    }

private:
    int saved_;
    std::string path_;
};

}  // namespace

TEST(Logging, TraceAndDebugNeedTheirBits) {
    KOR_Sysloglevel_construct2("", "/usr/sbin/quorin");
    KOR_Sysloglevel_set(0);
    KOR_Modul m = KOR_Sysloglevel_registerModul("logtest");
    EXPECT_EQ(KOR_Sysloglevel_registerModul("logtest"), m);

    StderrCapture cap;
    KOR_Sysloglevel_error(m, "main", 10, "an error\n");
    KOR_Sysloglevel_info(m, "main", 11, "some info");
    KOR_Sysloglevel_debug(m, "main", 12, "hidden debug");
    KOR_Sysloglevel_trace(m, "main", 13, "hiddenTrace");
    KOR_Sysloglevel_changeTracelevel("logtest", 1023);
    KOR_Sysloglevel_debug(m, "quorin", 14, "shown debug");
    KOR_Sysloglevel_trace(m, "groups", 15, "commitToSystem");
    KOR_Sysloglevel_changeTracelevel("logtest", KOR_TRACE_DEBUG);
    KOR_Sysloglevel_trace(m, "groups", 16, "hiddenAgain");
    std::string out = cap.finish();

    EXPECT_NE(out.find(" ERROR logtest main:10 an error\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" INFO logtest main:11 some info\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" DEBUG logtest quorin:14 shown debug\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" TRACE logtest groups:15 commitToSystem\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    // One line per entry: the trailing line feed of "an error\n" is not doubled.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
}

TEST(Logging, VAStrKeepsEarlierResultsValid) {
    const char* a = VAStr("%s-%d", "first", 1);
    const char* b = VAStr("%05.1f|%x", 3.14159, 255);
    std::string longText(5000, 'x');
    const char* c = VAStr("%s", longText.c_str());
    EXPECT_STREQ(a, "first-1");
    EXPECT_STREQ(b, "003.1|ff");
    EXPECT_EQ(std::string(c), longText);
}

TEST(EventDispatcher, ReportsDescriptorsTimersAndPendingWork) {
    moduna::net::EventDispatcher d;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int seen = 0;
    d.addDescriptor(fds[0], POLLIN, [&](int fd, short) {
        char c;
        if (read(fd, &c, 1) == 1) ++seen;
    });
    EXPECT_EQ(d.handleEvents(0), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_NE(d.handleEvents(1000), 0);
    EXPECT_EQ(seen, 1);

    bool fired = false;
    d.addTimer(20, [&] { fired = true; });
    EXPECT_NE(d.handleEvents(1000), 0);
    EXPECT_TRUE(fired);

    bool pending = true;
    int id = d.addPendingCheck([&] { return pending; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(d.handleEvents(1000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    d.removePendingCheck(id);

    d.removeDescriptor(fds[0]);
    ASSERT_EQ(write(fds[1], "y", 1), 1);
    EXPECT_EQ(d.handleEvents(50), 0);
    close(fds[0]);
    close(fds[1]);
}

#include "kor/error/DefaultAssertHook.h"

TEST(AssertHook, FatalSignalLeavesOneLineAndStillKills) {
    // On standard error, and to a syslog daemon once the hook logs there.
    const std::string logSocket = makeTempDir() + "/log";
    int syslogd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", logSocket.c_str());
    ASSERT_EQ(bind(syslogd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    for (bool toSyslog : {false, true}) {
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(err[1], STDERR_FILENO);
            kor::error::DefaultAssertHook hook;
            if (toSyslog) hook.setSyslog(true, logSocket.c_str());
            raise(SIGSEGV);
            _exit(0);
        }
        close(err[1]);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        close(err[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGSEGV);
        const std::string text = "fatal signal 11 (Segmentation fault), process ends";
        if (toSyslog) {
            n = recv(syslogd, buf, sizeof buf, MSG_DONTWAIT);
            ASSERT_GT(n, 0);
            EXPECT_EQ(std::string(buf, size_t(n)), "<26>unit_tests[" + std::to_string(child) + "]: " + text);
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(out, "unit_tests: " + text + "\n");
        }
    }
    close(syslogd);
    unlink(logSocket.c_str());
}

TEST(PidFile, TwoStartsRacingForItNeverBothGetIt) {
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    // Each round two processes remove a stale file and create theirs at the
    // same time, as two daemons started together do; one holds it.
    for (int round = 0; round < 100; ++round) {
        int report[2], release[2];
        ASSERT_EQ(pipe(report), 0);
        ASSERT_EQ(pipe(release), 0);
        pid_t children[2];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(release[1]);
                KOR_Daemon d;
                KOR_Daemon_construct(&d, "quorin", dir.c_str());
                KOR_Daemon_deletePidFile(&d);
                char got = KOR_Daemon_createPidFile(&d) == 0 ? 'y' : 'n';
                char ignored;
                if (write(report[1], &got, 1) != 1 || read(release[0], &ignored, 1) < 0) _exit(2);
                _exit(0);
            }
        }
        int holders = 0;
        for (int i = 0; i < 2; ++i) {
            char got = 0;
            ASSERT_EQ(read(report[0], &got, 1), 1);
            holders += got == 'y';
        }
        close(release[1]);
        for (pid_t child : children) waitpid(child, nullptr, 0);
        for (int fd : {report[0], report[1], release[0]}) close(fd);
        ASSERT_EQ(holders, 1) << "round " << round;
    }
    unlink((dir + "/quorin.pid").c_str());
    rmdir(dir.c_str());
}

TEST(PidFile, ARelativeDirectoryIsTakenFromWhereTheProgramStarted) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    KOR_Daemon d;
    KOR_Daemon_construct(&d, "quorin", "run");
    EXPECT_EQ(std::string(d.pidFile), std::string(cwd) + "/run/quorin.pid");
}
