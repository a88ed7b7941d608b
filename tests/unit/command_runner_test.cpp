// The command runner: its grammar, what it refuses, and how it runs lines.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/CommandRunner.h"

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

class RunnerEnv : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kor-runner.XXXXXX";
        dir = mkdtemp(tmpl);
        log = dir + "/audit.log";
        setenv("QUORIN_CMD_LOG", log.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUORIN_CMD_LOG");
        unsetenv("QUORIN_CMD_TIMEOUT_MS");
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string audit() {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void run(std::initializer_list<std::string> lines) {
        kor::cfg::ActionQueue q;
        for (const auto& l : lines) q.addCommand(l, 0);
        q.process();
        EXPECT_EQ(q.pending(), 0u);
    }
    bool exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }
    std::string dir, log;
};

}  // namespace

TEST(CommandGrammar, SeparatorsAlternativesAndDiscardedErrors) {
    EXPECT_EQ(shape("ip a ; ip b"), "ip a ; ip b");
    EXPECT_EQ(shape("ip a;ip b;"), "ip a ; ip b");
    EXPECT_EQ(shape("ip a ;; ip b ; "), "ip a ; ip b");
    EXPECT_EQ(shape("iptables -t mangle -C X -j Y 2> /dev/null || iptables -t mangle -A X -j Y"),
              "iptables -t mangle -C X -j Y! | iptables -t mangle -A X -j Y");
    EXPECT_EQ(shape("ip a 2>/dev/null || ip b || ip c ; ipset d"), "ip a! | ip b | ip c ; ipset d");
    EXPECT_EQ(shape("/sbin/ip route show table 256"), "/sbin/ip route show table 256");
    EXPECT_EQ(shape("   "), "");
    // Nothing is expanded: the words reach the program as written.
    EXPECT_EQ(shape("ip link show $(x) `y` * '\"q\"' a\\b $$(WAN1)"), "ip link show $(x) `y` * '\"q\"' a\\b $$(WAN1)");
}

TEST(CommandGrammar, RefusesOtherProgramsAndOperators) {
    for (const char* line : {"touch /tmp/x", "/usr/bin/touch x", "./ip a", "/usr/sbin/ip a", "sh -c ip",
                             "ip a; touch x", "ip a && ip b", "ip a & ip b", "ip a | ip b", "ip a > x", "ip a >> x",
                             "ip a < x", "ip a 2> x", "ip a 1> /dev/null", "ip a &> /dev/null", "ip a|ip b",
                             "ip a ||", "|| ip a", "ip a 2> /dev/null b", "2> /dev/null", "ip link show eth0&"})
        EXPECT_EQ(shape(line), "REFUSED") << line;
}

TEST_F(RunnerEnv, RunsInOrderAndHonoursAlternatives) {
    run({"ip -V", "ip nonsense-object 2> /dev/null || ip -V ; ip -V || ip nonsense-object", "ipset --version"});
    std::string a = audit();
    std::istringstream lines(a);
    std::string l1, l2, l3, l4, l5, rest;
    std::getline(lines, l1);
    std::getline(lines, l2);
    std::getline(lines, l3);
    std::getline(lines, l4);
    std::getline(lines, l5);
    EXPECT_EQ(l1, "0 ip -V");
    EXPECT_NE(l2, "0 ip nonsense-object");
    EXPECT_EQ(l2.substr(l2.find(' ')), " ip nonsense-object");
    EXPECT_EQ(l3, "0 ip -V");
    EXPECT_EQ(l4, "0 ip -V") << "the alternative after a success must not run";
    EXPECT_EQ(l5.substr(l5.find(' ')), " ipset --version");
    EXPECT_FALSE(std::getline(lines, rest));
}

TEST_F(RunnerEnv, InjectionAttemptsRunNothingElse) {
    std::string x = dir + "/x";
    run({"ip link show eth0;touch " + x, "ip link show $(touch " + x + ")", "ip link show `touch " + x + "`",
         "ip a && touch " + x, "ip a | touch " + x, "ip a > " + x, "ip a 2> " + x, "ip link show lo'; touch " + x});
    EXPECT_FALSE(exists("x"));
    // Only ip ran, with the odd words as plain arguments.
    std::istringstream lines(audit());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        std::string words = line.substr(line.find(' ') + 1);
        EXPECT_EQ(words.rfind("ip link show ", 0), 0u) << line;
    }
    EXPECT_EQ(count, 2) << audit();  // the two with $( and ` as plain words
}

TEST_F(RunnerEnv, RefusedLineDoesNotStopTheOthers) {
    run({"ip -V", "rm -rf " + dir, "ip -V"});
    EXPECT_EQ(audit(), "0 ip -V\n0 ip -V\n");
}

TEST_F(RunnerEnv, HangingCommandIsKilledAfterTheTimeout) {
    setenv("QUORIN_CMD_TIMEOUT_MS", "300", 1);
    auto start = std::chrono::steady_clock::now();
    run({"ip monitor", "ip -V"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_EQ(audit(), "killed ip monitor\n0 ip -V\n");
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
