#pragma once
// A long-lived "iptables-restore --noflush" that takes the blocks written
// to it one after the other, each committed as one nf_tables transaction.
// Its standard output is line-buffered (stdbuf -oL), so that what a "-S"
// line of a later block lists arrives as soon as that block is read: the
// listing both shows the table and tells that the blocks before it are
// committed. A block it refuses ends it (its line number on standard error);
// it is started again at the next use. Killed and reaped when destroyed.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kor {
namespace kernel {

// The first line "iptables -V" prints ("iptables v1.8.9 (nf_tables)"), the
// prefix of the kernel's refusals it reports; "" when it cannot be run.
std::string iptablesVersion(int timeoutMs);

class RestoreProcess {
public:
    explicit RestoreProcess(int timeoutMs) : timeoutMs_(timeoutMs) {}
    ~RestoreProcess() { stop(); }
    RestoreProcess(const RestoreProcess&) = delete;
    RestoreProcess& operator=(const RestoreProcess&) = delete;

    enum class Result { Listed, Ended, TimedOut, NotStarted };

    // Writes the commit block (may be empty) and then a block listing each
    // chain of lists ("" for the whole table), whose last two must be
    // "PREROUTING": what the listings print, but the last, goes to listing.
    // Ended: it ended before the listing was complete, what it said in
    // error; firstLine is the number its line count gives the commit
    // block's first line. TimedOut: it was killed after the timeout.
    Result run(const std::string& commitBlock, const std::vector<std::string>& lists, std::string& listing,
               std::string& error, size_t& firstLine);
    void stop();

private:
    bool start();
    Result exchange(const std::string& input, size_t headers, std::string& listing, std::string& error);

    int timeoutMs_;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    size_t lines_ = 0;  // lines written since it started
};

}  // namespace kernel
}  // namespace kor
