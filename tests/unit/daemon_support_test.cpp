// The PID file (held only by a live process, taken by one of two racing
// starts) and the logging levels.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "kor/daemon.h"
#include "kor/sysloglevel.h"

namespace {

class PidFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir), nullptr); }
    void TearDown() override {
        unlink((std::string(dir) + "/quorin.pid").c_str());
        rmdir(dir);
    }
    // A child that tries to take the PID file, reports 'y' or 'n' on
    // `report` and lives until the write end of `release` is closed.
    pid_t start(int report, const int release[2], bool removeFirst) {
        const pid_t child = fork();
        if (child != 0) return child;
        close(release[1]);
        KOR_Daemon d;
        KOR_Daemon_construct(&d, "quorin", dir);
        if (removeFirst) KOR_Daemon_deletePidFile(&d);
        char got = KOR_Daemon_createPidFile(&d) == 0 ? 'y' : 'n', ignored;
        if (write(report, &got, 1) != 1 || read(release[0], &ignored, 1) < 0) _exit(2);
        _exit(0);
    }
    char dir[32] = "/tmp/kor-pid.XXXXXX";
};

bool exists(const char* path) { return access(path, F_OK) == 0; }

}  // namespace

TEST_F(PidFile, HeldOnlyWhileALiveProcessOwnsIt) {
    KOR_Daemon ours;
    KOR_Daemon_construct(&ours, "quorin", dir);
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0);
    int report[2], release[2];
    ASSERT_EQ(pipe(report) | pipe(release), 0);
    const pid_t child = start(report[1], release, false);
    char got = 0;
    ASSERT_EQ(read(report[0], &got, 1), 1);
    ASSERT_EQ(got, 'y');
    EXPECT_NE(KOR_Daemon_occupiedPidFile(&ours), 0);
    long pid = 0;
    std::ifstream(ours.pidFile) >> pid;
    EXPECT_EQ(pid, long(child));
    KOR_Daemon_deletePidFile(&ours);
    EXPECT_TRUE(exists(ours.pidFile)) << "a file that a live process holds is not removed";

    // Killed without cleanup: the stale file no longer blocks a start.
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0);
    EXPECT_EQ(KOR_Daemon_createPidFile(&ours), 0);
    EXPECT_EQ(KOR_Daemon_occupiedPidFile(&ours), 0) << "our own file is not another instance";
    KOR_Daemon_deletePidFile(&ours);
    EXPECT_FALSE(exists(ours.pidFile));
    for (int fd : {report[0], report[1], release[0], release[1]}) close(fd);
}

TEST_F(PidFile, TwoStartsRacingForItNeverBothGetIt) {
    // Each round two processes remove a stale file and create theirs at the
    // same time, as two daemons started together do; one holds it.
    for (int round = 0; round < 100; ++round) {
        int report[2], release[2];
        ASSERT_EQ(pipe(report) | pipe(release), 0);
        const pid_t children[] = {start(report[1], release, true), start(report[1], release, true)};
        int holders = 0;
        for (char got = 0, i = 0; i < 2; ++i) holders += read(report[0], &got, 1) == 1 && got == 'y';
        close(release[1]);
        for (pid_t child : children) waitpid(child, nullptr, 0);
        for (int fd : {report[0], report[1], release[0]}) close(fd);
        ASSERT_EQ(holders, 1) << "round " << round;
    }
}

TEST(Logging, TraceAndDebugNeedTheirBits) {
    KOR_Sysloglevel_construct2("", "/usr/sbin/quorin");
    KOR_Sysloglevel_set(0);
    KOR_Modul m = KOR_Sysloglevel_registerModul("logtest");
    testing::internal::CaptureStderr();
    KOR_Sysloglevel_error(m, "main", 10, "an error\n");
    KOR_Sysloglevel_warning(m, "main", 11, "a warning");
    KOR_Sysloglevel_debug(m, "main", 12, "hidden debug");
    KOR_Sysloglevel_trace(m, "main", 13, "hidden trace");
    KOR_Sysloglevel_changeTracelevel("logtest", KOR_TRACE_DEBUG | KOR_TRACE_TRACE);
    KOR_Sysloglevel_debug(m, "quorin", 14, "shown debug");
    KOR_Sysloglevel_trace(m, "groups", 15, "shown trace");
    KOR_Sysloglevel_changeTracelevel("logtest", KOR_TRACE_TRACE);
    KOR_Sysloglevel_debug(m, "groups", 16, "hidden again");
    const std::string out = testing::internal::GetCapturedStderr();
    KOR_Sysloglevel_changeTracelevel("logtest", 0);
    EXPECT_NE(out.find(" ERROR logtest main:10 an error\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" WARNING logtest main:11 a warning\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" DEBUG logtest quorin:14 shown debug\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" TRACE logtest groups:15 shown trace\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << "the line feed of \"an error\\n\" is not doubled";
}
