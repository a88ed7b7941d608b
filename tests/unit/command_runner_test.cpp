// The command runner: its grammar (tests/data/unit-command-lines.txt), the
// ip commands it runs in-process (tests/data/unit-ip-requests.txt), and
// how it runs lines: in order, alternatives, failures, programs that cannot
// start or hang, and what a command inherits.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "data_file.h"
#include "kor/cfg/ActionQueue.h"
#include "kor/kernel/CommandRunner.h"
#include "kor/kernel/IpNetlink.h"
#include "kor/sysloglevel.h"

namespace {

// The shape of a line of the table, where "\t" and "\n" stand for a tab
// and a line feed.
std::string shape(std::string line) {
    for (const char* escape : {"\\t", "\\n"})
        for (size_t at; (at = line.find(escape)) != std::string::npos;)
            line.replace(at, 2, escape[1] == 't' ? "\t" : "\n");
    auto parsed = kor::kernel::parseCommandLine(line);
    if (!parsed.ok) return "REFUSED";
    std::string out;
    for (const auto& chain : parsed.chains)
        for (size_t i = 0; i < chain.size(); ++i) {
            out += out.empty() ? "" : i ? " | " : " ; ";
            for (size_t j = 0; j < chain[i].words.size(); ++j) out += (j ? " " : "") + chain[i].words[j];
            if (chain[i].discardStderr) out += "!";
        }
    return out;
}

std::string describe(const std::string& command) {
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string w; in >> w;) words.push_back(w);
    kor::kernel::IpRequest r;
    if (!kor::kernel::parseIpRequest(words, r)) return "ip";
    static const char* const kinds[] = {"rule-add", "rule-del", "route-add", "route-del", "route-flush", "route-replace"};
    auto address = [](uint32_t a) {
        const auto* b = reinterpret_cast<const unsigned char*>(&a);
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
    };
    std::string out = std::string(kinds[int(r.kind)]) + " table=" + std::to_string(r.table);
    if (r.hasMark) out += " mark=" + std::to_string(r.mark);
    if (r.hasSource) out += " from=" + address(r.source.address) + "/" + std::to_string(r.source.length);
    if (r.kind != kor::kernel::IpRequest::Kind::RuleAdd && r.kind != kor::kernel::IpRequest::Kind::RuleDel &&
        r.kind != kor::kernel::IpRequest::Kind::RouteFlush)
        out += " to=" + address(r.destination.address) + "/" + std::to_string(r.destination.length);
    if (r.hasGateway) out += " via=" + address(r.gateway);
    if (!r.device.empty()) out += " dev=" + r.device;
    return out;
}

// The level of the log line that holds text; "" when none does.
std::string levelOf(const std::string& log, const std::string& text) {
    const size_t at = log.find(text);
    if (at == std::string::npos) return "";
    const size_t start = log.rfind('\n', at) + 1;  // 0 for the first line
    std::istringstream line(log.substr(start, at - start));
    std::string date, time, level;
    line >> date >> time >> level;
    return level;
}

std::string readFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

}  // namespace

TEST(CommandGrammar, EachLineOfTheTableGetsItsShape) {
    EXPECT_GT(checkCases("unit-command-lines.txt", shape), 50u);
}

TEST(CommandGrammar, IpCommandsRunInProcessOnlyInTheFormsReadExactlyAsIpReadsThem) {
    EXPECT_GT(checkCases("unit-ip-requests.txt", describe), 35u);
}

TEST(CommandRunner, RunsLinesInOrderLogsFailuresKillsHangsAndPassesNothingOn) {
    char tmpl[] = "/tmp/kor-runner.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, savedPath = getenv("PATH");
    setenv("QUORIN_CMD_LOG", (dir + "/audit").c_str(), 1);
    setenv("QUORIN_CMD_TIMEOUT_MS", "300", 1);
    // An "ip" first on the search path: "fds" notes what it inherited,
    // "fail" fails with error output, "hang" hangs; else the real one runs.
    mkdir((dir + "/bin").c_str(), 0755);
    std::ofstream(dir + "/bin/ip") << "#!/bin/sh\ncase $1 in\n"
                                   << "fds) ls /proc/$$/fd | grep -qx 50 || echo no-50 >" << dir << "/fds\n"
                                   << "  echo $(readlink /proc/$$/fd/0 /proc/$$/fd/1) >>" << dir << "/fds\n"
                                   << "  grep ^SigIgn /proc/$$/status >>" << dir << "/fds ;;\n"
                                   << "fail) echo out-$2; echo err-$2 >&2; exit 3 ;;\n"
                                   << "hang) echo $$ >" << dir << "/pid; exec sleep 60 ;;\n"
                                   << "*) exec /sbin/ip \"$@\" ;;\nesac\n";
    chmod((dir + "/bin/ip").c_str(), 0755);
    setenv("PATH", (dir + "/bin:" + savedPath).c_str(), 1);
    // A descriptor left open across exec and an ignored signal, as a
    // careless caller might leave them.
    ASSERT_EQ(dup2(STDIN_FILENO, 50), 50);
    auto oldPipe = signal(SIGPIPE, SIG_IGN);
    KOR_Sysloglevel_changeTracelevel("cfgclient", KOR_TRACE_DEBUG);
    testing::internal::CaptureStderr();
    kor::cfg::ActionQueue queue;
    for (const std::string& line : std::vector<std::string>{"ip fds", "ip fail a", "rm -rf " + dir, "ip fail b 2> /dev/null || ip -V",
                                   "ip hang || ip -V ; ipset --version", "ip -V || ip fail c"})
        queue.addCommand(line, 0);
    queue.process();
    setenv("PATH", (dir + "/nowhere").c_str(), 1);
    queue.addCommand("ip -V || /sbin/ip -V", 0);
    queue.process();
    const std::string log = testing::internal::GetCapturedStderr();
    KOR_Sysloglevel_changeTracelevel("cfgclient", 0);
    signal(SIGPIPE, oldPipe);
    close(50);
    setenv("PATH", savedPath.c_str(), 1);
    unsetenv("QUORIN_CMD_LOG");
    unsetenv("QUORIN_CMD_TIMEOUT_MS");

    EXPECT_EQ(readFile(dir + "/audit"), "0 ip fds\n3 ip fail a\n3 ip fail b\n0 ip -V\nkilled ip hang\n0 ip -V\n"
                                        "0 ipset --version\n0 ip -V\n-1 ip -V\n0 /sbin/ip -V\n");
    EXPECT_EQ(readFile(dir + "/fds"), "no-50\n/dev/null /dev/null\nSigIgn:\t0000000000000000\n");
    // What a failure logs, with its error output unless discarded, is in
    // tests/data/runner-expected.txt; never its standard output. A failure
    // that its line absorbs is no error.
    EXPECT_EQ(levelOf(log, "command failed with status 3: ip fail a: err-a"), "ERROR") << log;
    EXPECT_EQ(levelOf(log, "command failed with status 3: ip fail b: "), "DEBUG") << log;
    EXPECT_EQ(log.find("out-"), std::string::npos) << log;
    const pid_t hung = atoi(readFile(dir + "/pid").c_str());
    ASSERT_GT(hung, 0);
    EXPECT_EQ(kill(hung, 0), -1) << "the killed command is still there, or a zombie";
    EXPECT_EQ(errno, ESRCH);
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}
