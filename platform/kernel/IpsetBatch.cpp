// The ipset commands of a batch as the input of "ipset restore", one line
// each, carried out in order as ipset carries them out alone. What restore
// does differently, and how it is undone here:
//
// - "-exist" on one line stays in force for every later line of the same
//   restore, and it changes what create and destroy do (an existing set is
//   no error for the one, a missing set none for the other; swap is the
//   same either way). A create or destroy without it after a line with it
//   starts a new restore.
// - The first failing line ends the restore: the lines before it are done,
//   the rest is not. Its error is printed as "ipset vX: Error in line N:
//   TEXT", where ipset alone prints "ipset vX: TEXT", with the same exit
//   status. The lines after it go to a new restore.
//
// Only the forms the daemon writes are taken, with names and numbers that
// read the same in both ways (restore splits its lines at blanks and takes
// quotes out):
//
//   ipset [-exist] create NAME hash:ip,port,ip [timeout 0..2147483]
//   ipset [-exist] destroy NAME
//   ipset [-exist] swap NAME NAME

#include "kor/kernel/IpsetBatch.h"

#include "SetRelease.h"

#include <cstring>
#include <string>

#include "ChildInput.h"

namespace kor {
namespace kernel {

namespace {

struct IpsetLine {
    std::string text;         // the restore line: the words after "ipset"
    bool exist = false;       // "-exist"
    bool existMatters = false;  // create and destroy
    bool destroy = false;
};

// At most 31 characters that restore reads as they are.
bool readName(const std::string& word) {
    if (word.empty() || word.size() > 31 || word[0] == '-') return false;
    for (char c : word)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("_.:+@-", c)) return false;
    return true;
}

bool readTimeout(const std::string& word) {
    if (word.empty() || word.size() > 7 || (word[0] == '0' && word.size() > 1)) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return std::stoul(word) <= 2147483;
}

bool readLine(const CommandChain& chain, IpsetLine& out) {
    if (chain.size() != 1) return false;
    const std::vector<std::string>& w = chain[0].words;
    size_t i = 1;
    out.exist = w.size() > 1 && w[1] == "-exist";
    if (out.exist) ++i;
    if (w.size() <= i) return false;
    const std::string& verb = w[i];
    const size_t n = w.size() - i;  // the verb and its arguments
    bool ok = false;
    if (verb == "create")
        ok = (n == 3 || (n == 5 && w[i + 3] == "timeout" && readTimeout(w[i + 4]))) && readName(w[i + 1]) &&
             w[i + 2] == "hash:ip,port,ip";
    else if (verb == "destroy")
        ok = n == 2 && readName(w[i + 1]);
    else if (verb == "swap")
        ok = n == 3 && readName(w[i + 1]) && readName(w[i + 2]);
    if (!ok) return false;
    out.existMatters = verb != "swap";
    out.destroy = verb == "destroy";
    out.text.clear();
    for (size_t k = 1; k < w.size(); ++k) out.text += (k > 1 ? " " : "") + w[k];
    return true;
}

// The line restore names in "Error in line N: ", and the text ipset alone
// prints for that failure. False when the error text is not of that form.
bool failedLine(const std::string& error, size_t& line, std::string& alone) {
    const std::string mark = "Error in line ";
    const size_t at = error.find(mark);
    if (at == std::string::npos) return false;
    size_t end = at + mark.size();
    size_t number = 0;
    while (end < error.size() && isdigit(static_cast<unsigned char>(error[end])) && number < 1000000)
        number = number * 10 + size_t(error[end++] - '0');
    if (number == 0 || error.compare(end, 2, ": ") != 0) return false;
    line = number;
    alone = error.substr(0, at) + error.substr(end + 2);
    return true;
}

}  // namespace

IpsetBatch::IpsetBatch(int timeoutMs) : timeoutMs_(timeoutMs) {}

bool IpsetBatch::run(const std::vector<const CommandChain*>& chains, std::vector<ChainOutcome>& outcomes) {
    std::vector<IpsetLine> lines(chains.size());
    for (size_t i = 0; i < chains.size(); ++i)
        if (!readLine(*chains[i], lines[i])) return false;
    outcomes.assign(chains.size(), ChainOutcome(1));
    size_t next = 0;
    // Each destroy that finds its set still held has its own wait.
    SetRelease release;
    size_t held = lines.size();
    while (next < lines.size()) {
        // One restore: up to the first create or destroy without "-exist"
        // after a line with it.
        size_t end = next;
        bool exist = false;
        std::string input;
        for (; end < lines.size() && !(exist && lines[end].existMatters && !lines[end].exist); ++end) {
            exist = exist || lines[end].exist;
            input += lines[end].text + "\n";
        }
        const ChildResult result = runWithInput({"ipset", "restore"}, input, timeoutMs_);
        if (!result.started && next == 0) return false;
        size_t failed = 0;
        std::string alone;
        if (result.started && result.status != 0 && failedLine(result.error, failed, alone) && failed <= end - next) {
            // Done up to the failing line; the rest goes to the next restore.
            for (size_t k = next; k < next + failed - 1; ++k) outcomes[k][0] = CommandOutcome{true, 0, ""};
            const size_t at = next + failed - 1;
            if (at != held) release = SetRelease();
            held = at;
            if (lines[at].destroy && release.waitAgain(alone)) {
                next = at;
                continue;
            }
            outcomes[next + failed - 1][0] = CommandOutcome{true, result.status, alone};
            next += failed;
            continue;
        }
        // Every line done, or an end that names no line: then what became of
        // each is unknown, and each fails with what restore said.
        for (size_t k = next; k < end; ++k)
            outcomes[k][0] = result.started && result.status == 0 ? CommandOutcome{true, 0, ""}
                                                                   : CommandOutcome{true, result.status, result.error};
        next = end;
    }
    return true;
}

}  // namespace kernel
}  // namespace kor
