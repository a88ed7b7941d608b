#pragma once
// Runs the command lines of the queue without a shell.
//
// A line is a list of commands separated by ";" (blanks around it optional, a
// trailing one allowed). A command is words separated by blanks, optionally
// followed by "2> /dev/null" (its error output is discarded) and optionally
// joined to the next by "||" (the next runs only when this one failed).
// Nothing is expanded: "$", "`", "*", quotes and backslashes are plain
// characters. Only iptables, ipset and ip (from the search path) and /sbin/ip
// are run, and "conntrack -D --mark MARK", which always runs in this process
// (ConntrackFlush.h; any other conntrack command is refused). A line holding any other program or any other shell operator
// ("|", "&&", "&", ">", "<", ...) is refused as a whole with an error log line.
//
// The lines of one batch (one process() of the queue, or everything a hold
// gathered) are carried out together, each command meaning what it means
// alone, in order: consecutive iptables commands as one nf_tables
// transaction (IptablesBatch.h), consecutive ipset commands as one "ipset
// restore" (IpsetBatch.h), consecutive in-process ip commands as rtnetlink
// requests sent many at a time. Removals (policy rules and routes deleted,
// tables flushed, conntrack entries deleted) that stand between two runs of
// iptables commands run behind the second, so that the two are one
// transaction. The command log marks the iptables and
// ipset commands of a batch with a tab and "batch". QUORIN_CMD_BATCH=0 runs
// one line at a time, one process per iptables and ipset command.
//
// Each command is killed when it still runs after the timeout (30 s, or
// QUORIN_CMD_TIMEOUT_MS milliseconds when set). When QUORIN_CMD_LOG names a
// file, every command run is appended to it as "<exit status> <words>",
// "killed" standing for the status of a command that was killed. With
// QUORIN_CMD_LOG_TIMES=1 as well, each line ends in a tab and the command's
// start and end in microseconds of the monotonic clock (CLOCK_MONOTONIC),
// after the in-process mark if there is one.
//
// The "ip rule" and "ip route" commands of the forms in IpNetlink.h run in
// this process over rtnetlink instead of starting ip (~5 ms each), with ip's
// exit status and error text; the command log marks them with a tab and
// "in-process" after the words. QUORIN_CMD_REAL_IP=1 runs the real ip for
// them as well. Any "ip" command naming table 0 (which ip reads as every
// table, or the main one) is refused with its line.

#include "kor/cfg/ActionQueue.h"
#include "kor/kernel/IpNetlink.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kor {
namespace kernel {

struct ParsedCommand {
    std::vector<std::string> words;
    bool discardStderr = false;
    // "||" follows it: its failure only runs the next command.
    bool orElse = false;
};

// Commands joined by "||": the first that succeeds ends the chain.
using CommandChain = std::vector<ParsedCommand>;

struct ParsedLine {
    bool ok = false;
    std::string error;                 // why the line was refused
    std::vector<CommandChain> chains;  // run in order, separated by ";"
};

// Splits a line into its commands and checks each against the allowed
// programs and forms.
ParsedLine parseCommandLine(const std::string& line);

class IptablesBatch;
class IpsetBatch;
struct CommandOutcome;

class CommandRunner : public cfg::ICommandExecutor {
public:
    CommandRunner();
    ~CommandRunner() override;
    void execute(const std::string& commandLine) override;
    void executeBatch(const std::vector<std::string>& lines) override;

    // Runs one command and returns its exit status; -1 when it could not be
    // started, -2 when it was killed after the timeout.
    int run(const ParsedCommand& command);

private:
    // How a batch carries out a chain of commands.
    enum class Kind { Iptables, Ipset, Ip, Single };
    Kind kindOf(const CommandChain& chain) const;
    // A policy rule or route deleted, a table flushed, conntrack entries
    // deleted: what a member that goes leaves for last.
    bool removal(const CommandChain& chain) const;
    // The chains in the order they run: removals between two iptables runs
    // wait behind the second.
    std::vector<const CommandChain*> withRemovalsBehindRules(const std::vector<const CommandChain*>& chains) const;
    // "||": the commands after the first that succeeds do not run.
    void runChain(const CommandChain& chain);
    void runSegment(Kind kind, const std::vector<const CommandChain*>& chains);
    void runIpSegment(const std::vector<const CommandChain*>& chains);
    int runProgram(const ParsedCommand& command);
    // One run: the exit status (128 + signal) with its error text, or a
    // negative value once the failure to run it has been logged.
    int runOnce(const ParsedCommand& command, std::string& errText);
    // Logs the command with its status and returns the status; how marks
    // the command log's line ("in-process", "batch" or ""). A failure is an
    // error line with the command, its status and its error text, unless
    // the line absorbs it ("2> /dev/null", or "||" after the command): then
    // it is a debug line.
    int report(const ParsedCommand& command, int code, std::string errText, const char* how);
    int report(const ParsedCommand& command, const CommandOutcome& outcome, const char* how);
    // The command log's time stamps of the command that runs, or "".
    std::string times() const;

    int timeoutMs_;
    std::unique_ptr<IpNetlink> netlink_;  // null when the real ip runs every command
    std::unique_ptr<IptablesBatch> iptables_;  // null when every line runs alone
    std::unique_ptr<IpsetBatch> ipset_;
    bool logTimes_ = false;               // QUORIN_CMD_LOG_TIMES=1
    std::chrono::steady_clock::time_point started_;
};

}  // namespace kernel
}  // namespace kor
