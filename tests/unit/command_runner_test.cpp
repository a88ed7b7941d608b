// The command runner: its grammar, what it refuses, and how it runs lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/CommandRunner.h"
#include "kor/sysloglevel.h"

using kor::cfg::parseCommandLine;

namespace {

// Each chain as "a b | c d" (| between the alternatives of "||"), chains
// separated by " ; ", "!" after a command whose error output is discarded.
std::string shape(const std::string& line) {
    auto p = parseCommandLine(line);
    if (!p.ok) return "REFUSED";
    std::string out;
    for (const auto& chain : p.chains) {
        if (!out.empty()) out += " ; ";
        for (size_t i = 0; i < chain.size(); ++i) {
            if (i) out += " | ";
            for (size_t j = 0; j < chain[i].words.size(); ++j) out += (j ? " " : "") + chain[i].words[j];
            if (chain[i].discardStderr) out += "!";
        }
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class RunnerEnv : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kor-runner.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log = dir + "/audit.log";
        setenv("QUORIN_CMD_LOG", log.c_str(), 1);
        if (const char* p = getenv("PATH")) savedPath = p;
    }
    void TearDown() override {
        unsetenv("QUORIN_CMD_LOG");
        unsetenv("QUORIN_CMD_TIMEOUT_MS");
        setenv("PATH", savedPath.c_str(), 1);
        KOR_Sysloglevel_changeTracelevel("cfgclient", 0);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string audit() { return readFile(log); }
    void run(std::initializer_list<std::string> lines) {
        kor::cfg::ActionQueue q;
        for (const auto& l : lines) q.addCommand(l, 0);
        q.process();
        EXPECT_EQ(q.pending(), 0u);
    }
    // Runs the lines with debug logging on and returns what was logged.
    std::string runLogged(std::initializer_list<std::string> lines) {
        KOR_Sysloglevel_changeTracelevel("cfgclient", KOR_TRACE_DEBUG);
        testing::internal::CaptureStderr();
        run(lines);
        return testing::internal::GetCapturedStderr();
    }
    // Puts a program named "ip" with that content first on the search path.
    void fakeIp(const std::string& content) {
        mkdir((dir + "/bin").c_str(), 0755);
        std::ofstream(dir + "/bin/ip") << content;
        chmod((dir + "/bin/ip").c_str(), 0755);
        setenv("PATH", (dir + "/bin:" + savedPath).c_str(), 1);
    }
    bool exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }
    std::string dir, log, savedPath;
};

}  // namespace

TEST(CommandGrammar, SeparatorsAlternativesAndDiscardedErrors) {
    EXPECT_EQ(shape("ip a ; ip b"), "ip a ; ip b");
    EXPECT_EQ(shape("ip a;ip b;"), "ip a ; ip b");
    EXPECT_EQ(shape("ip a ;; ip b ; "), "ip a ; ip b");
    EXPECT_EQ(shape("\tip\t a\t;ip  b"), "ip a ; ip b");
    EXPECT_EQ(shape("iptables -t mangle -C X -j Y 2> /dev/null || iptables -t mangle -A X -j Y"),
              "iptables -t mangle -C X -j Y! | iptables -t mangle -A X -j Y");
    EXPECT_EQ(shape("ip a 2>/dev/null || ip b || ip c ; ipset d"), "ip a! | ip b | ip c ; ipset d");
    EXPECT_EQ(shape("ip a 2>/dev/null;ip b"), "ip a! ; ip b");
    EXPECT_EQ(shape("/sbin/ip route show table 256"), "/sbin/ip route show table 256");
    EXPECT_EQ(shape("iptables -A C -m statistic --mode random --probability 0.5 -j MARK --set-mark 1"),
              "iptables -A C -m statistic --mode random --probability 0.5 -j MARK --set-mark 1");
    EXPECT_EQ(shape("   "), "");
    // Nothing is expanded: the words reach the program as written.
    EXPECT_EQ(shape("ip link show $(x) `y` * ?? '\"q\"' a\\b $$(WAN1) ~ {a,b}"),
              "ip link show $(x) `y` * ?? '\"q\"' a\\b $$(WAN1) ~ {a,b}");
}

TEST(CommandGrammar, RefusesOtherProgramsAndOperators) {
    for (const char* line :
         {"touch /tmp/x", "/usr/bin/touch x", "./ip a", "bin/ip a", "/usr/sbin/ip a", "sh -c ip", "ip a; touch x",
          "ip a || touch x", "ip a && ip b", "ip a & ip b", "ip a | ip b", "ip a|ip b", "ip a||ip b", "ip a > x",
          "ip a >> x", "ip a < x", "ip a 2> x", "ip a 2>x", "ip a 2>>/dev/null", "ip a 2>&1", "ip a 1> /dev/null",
          "ip a &> /dev/null", "ip a 2>", "ip a ||", "|| ip a", "ip a || ; ip b", "ip a 2> /dev/null b",
          "ip a 2> /dev/null 2> /dev/null", "2> /dev/null", "ip link show eth0&", "ip a\ntouch x"})
        EXPECT_EQ(shape(line), "REFUSED") << line;
}

TEST(CommandGrammar, RefusesAllowedProgramsStartingOthers) {
    for (const char* line : {"ip netns exec ns1 touch x", "ip -all netns exec touch x", "ip vrf exec v touch x",
                             "ip netn e ns1 touch x", "/sbin/ip -n x netns exec y touch x", "ip -batch cmds",
                             "ip --b cmds", "iptables --modprobe=/tmp/x -L", "iptables --modp /tmp/x -L",
                             "iptables -M /tmp/x -L", "iptables -nvM/tmp/x -L"})
        EXPECT_EQ(shape(line), "REFUSED") << line;
    EXPECT_EQ(shape("ip -br link show"), "ip -br link show");
}

TEST_F(RunnerEnv, RunsInOrderAndHonoursAlternatives) {
    run({"ip -V", "ip nonsense-object 2> /dev/null || ip -V ; ip -V || ip nonsense-object", "ipset --version"});
    std::istringstream lines(audit());
    std::vector<std::string> got;
    for (std::string l; std::getline(lines, l);) got.push_back(l.substr(0, 1) == "0" ? l : "F" + l.substr(l.find(' ')));
    EXPECT_EQ(got, (std::vector<std::string>{"0 ip -V", "F ip nonsense-object", "0 ip -V", "0 ip -V",
                                             "0 ipset --version"}))
        << audit();
}

TEST_F(RunnerEnv, InjectionAttemptsRunNothingElse) {
    std::string x = dir + "/x";
    run({"ip link show eth0;touch " + x, "ip link show $(touch " + x + ")", "ip link show `touch " + x + "`",
         "ip a && touch " + x, "ip a | touch " + x, "ip a > " + x, "ip a 2> " + x, "ip link show lo'; touch " + x});
    EXPECT_FALSE(exists("x"));
    // Only the two with $( and ` ran, those as plain words of ip (which fails).
    std::string words;
    std::istringstream lines(audit());
    for (std::string l; std::getline(lines, l);) words += (l[0] == '0' ? "ran " : "") + l.substr(l.find(' ') + 1) + "\n";
    EXPECT_EQ(words, "ip link show $(touch " + x + ")\nip link show `touch " + x + "`\n");
}

TEST_F(RunnerEnv, RefusedLineIsLoggedAndDoesNotStopTheOthers) {
    std::string logged = runLogged({"ip -V", "rm -rf " + dir, "ip -V"});
    EXPECT_EQ(audit(), "0 ip -V\n0 ip -V\n");
    EXPECT_NE(logged.find("refused command line: \"rm -rf " + dir + "\": program not allowed: rm"),
              std::string::npos)
        << logged;
}

TEST_F(RunnerEnv, FailureIsLoggedWithStatusAndErrorOutput) {
    fakeIp("#!/bin/sh\necho out-text\necho err-text-$1 >&2\nexit 3\n");
    std::string logged = runLogged({"ip a", "ip b 2> /dev/null"});
    EXPECT_EQ(audit(), "3 ip a\n3 ip b\n");
    EXPECT_NE(logged.find("command failed with status 3: ip a: err-text-a"), std::string::npos) << logged;
    EXPECT_NE(logged.find("command failed with status 3: ip b: \n"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("err-text-b"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("out-text"), std::string::npos) << logged;
}

TEST_F(RunnerEnv, ProgramIsSearchedOnPathAndMayFailToStart) {
    fakeIp("not a program\n");  // executable bit, but exec refuses the format
    run({"ip -V || /sbin/ip -V", "ipset --version"});
    EXPECT_EQ(audit(), "-1 ip -V\n0 /sbin/ip -V\n0 ipset --version\n");
    setenv("PATH", (dir + "/nowhere").c_str(), 1);
    run({"ip -V || /sbin/ip -V"});
    EXPECT_EQ(audit(), "-1 ip -V\n0 /sbin/ip -V\n0 ipset --version\n-1 ip -V\n0 /sbin/ip -V\n");
}

TEST_F(RunnerEnv, CommandGetsCleanDescriptorsAndSignals) {
    // Left open without close-on-exec and ignored, as a careless caller might.
    int leak = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(leak, 50), 50);
    close(leak);
    auto old = signal(SIGPIPE, SIG_IGN);
    fakeIp("#!/bin/sh\nls /proc/$$/fd > " + dir + "/fds\necho $(readlink /proc/$$/fd/0 /proc/$$/fd/1) > " + dir +
           "/std\ngrep '^SigIgn' /proc/$$/status > " + dir + "/sig\n");
    run({"ip x"});
    signal(SIGPIPE, old);
    close(50);
    EXPECT_EQ(audit(), "0 ip x\n");
    std::string fds = "\n" + readFile(dir + "/fds");
    EXPECT_NE(fds.find("\n2\n"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("\n50\n"), std::string::npos) << fds;
    EXPECT_EQ(readFile(dir + "/std"), "/dev/null /dev/null\n");
    EXPECT_EQ(readFile(dir + "/sig"), "SigIgn:\t0000000000000000\n");
}

TEST_F(RunnerEnv, HangingCommandIsKilledAndReaped) {
    setenv("QUORIN_CMD_TIMEOUT_MS", "300", 1);
    auto start = std::chrono::steady_clock::now();
    run({"ip monitor", "ip -V"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_EQ(audit(), "killed ip monitor\n0 ip -V\n");

    fakeIp("#!/bin/sh\necho $$ > " + dir + "/pid\nexec sleep 60\n");
    run({"ip x || ip y"});  // a killed command counts as failed
    EXPECT_EQ(audit(), "killed ip monitor\n0 ip -V\nkilled ip x\nkilled ip y\n");
    pid_t pid = atoi(readFile(dir + "/pid").c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), -1) << "the killed command is still there, or a zombie";
    EXPECT_EQ(errno, ESRCH);
}

TEST(ActionQueue, LinesGoToTheExecutorInOrder) {
    struct Collect : kor::cfg::ICommandExecutor {
        std::vector<std::string> seen;
        void execute(const std::string& l) override { seen.push_back(l); }
    };
    auto c = std::make_shared<Collect>();
    kor::cfg::ActionQueue q(c);
    q.addCommand("a", 0);
    q.addCommand("b", 0);
    EXPECT_EQ(q.pending(), 2u);
    q.process();
    q.process();
    EXPECT_EQ(c->seen, (std::vector<std::string>{"a", "b"}));
}
