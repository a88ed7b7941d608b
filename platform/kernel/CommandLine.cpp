// The command lines of the queue, split into their commands without a shell
// and checked against the few programs and forms the daemon writes.

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "kor/kernel/CommandRunner.h"
#include "kor/kernel/ConntrackFlush.h"

namespace kor {
namespace kernel {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Words of a line, with ";" split off as a token of its own wherever it is.
std::vector<std::string> tokenize(const std::string& line) {
    std::vector<std::string> tokens;
    std::string word;
    auto flush = [&] {
        if (!word.empty()) tokens.push_back(word);
        word.clear();
    };
    for (char c : line) {
        if (isBlank(c)) {
            flush();
        } else if (c == ';') {
            flush();
            tokens.push_back(";");
        } else {
            word += c;
        }
    }
    flush();
    return tokens;
}

bool allowedProgram(const std::string& word) {
    return word == "iptables" || word == "ipset" || word == "ip" || word == "/sbin/ip" || word == "conntrack";
}

// The characters that would make a shell do more than run one program.
bool hasShellOperator(const std::string& word) { return word.find_first_of("|&<>") != std::string::npos; }

// word is an abbreviation of full of at least minLen characters.
bool abbreviates(const std::string& word, const std::string& full, size_t minLen) {
    return word.size() >= minLen && full.compare(0, word.size(), word) == 0;
}

// The allowed programs can themselves start others: "ip netns exec" and
// "ip vrf exec" run any program, "ip -batch" reads commands from a file and
// iptables runs the program given with --modprobe / -M. Such a command is
// refused like any other program; the daemon never writes these forms.
std::string startsOtherPrograms(const std::vector<std::string>& words) {
    bool isIp = words[0] != "iptables" && words[0] != "ipset";
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (isIp) {
            std::string opt = w.rfind("--", 0) == 0 ? w.substr(1) : w;  // ip takes "--x" for "-x"
            if (abbreviates(w, "exec", 1)) return "ip exec runs other programs";
            if (abbreviates(opt, "-batch", 2)) return "ip reads commands from a file with " + w;
        } else if (words[0] == "iptables") {
            if (abbreviates(w.substr(0, w.find('=')), "--modprobe", 3)) return "iptables runs the program of " + w;
            if (w.size() > 1 && w[0] == '-' && w[1] != '-' && w.find('M') != std::string::npos)
                return "iptables runs the program of -M";
        }
    }
    return "";
}


// "table 0" makes ip list or flush every table, and add to or delete from
// the main one; the daemon never means either. Refused in whatever way ip
// would read the number as 0.
std::string namesTableZero(const std::vector<std::string>& words) {
    if (words[0] == "iptables" || words[0] == "ipset") return "";
    for (size_t i = 1; i + 1 < words.size(); ++i) {
        if (words[i] != "table" && words[i] != "lookup") continue;
        const std::string& value = words[i + 1];
        char* end = nullptr;
        const unsigned long number = strtoul(value.c_str(), &end, 0);
        if (value == "unspec" || (isdigit(static_cast<unsigned char>(value[0])) && *end == '\0' && number == 0))
            return "table 0 stands for every table";
    }
    return "";
}

// Why a complete command is refused, or "".
std::string whyRefused(const std::vector<std::string>& words) {
    std::string why = startsOtherPrograms(words);
    if (why.empty()) why = namesTableZero(words);
    if (why.empty()) why = whyNotConntrackFlush(words);
    return why;
}

// Takes "2> /dev/null" or "2>/dev/null" at tokens[i] into cmd (i moves past
// its words); the reason when it is refused, else "".
std::string takeRedirect(const std::vector<std::string>& tokens, size_t& i, ParsedCommand& cmd) {
    if (cmd.words.empty() || cmd.discardStderr) return "misplaced \"2>\"";
    if (tokens[i] == "2>") {
        if (i + 1 >= tokens.size() || tokens[i + 1] != "/dev/null") return "error output may only go to /dev/null";
        ++i;
    }
    cmd.discardStderr = true;
    return "";
}

}  // namespace

ParsedLine parseCommandLine(const std::string& line) {
    ParsedLine out;
    auto fail = [&](const std::string& why) {
        out.ok = false;
        out.error = why;
        out.chains.clear();
        return out;
    };
    // A shell would end the command at a line break; a NUL would cut a word.
    if (line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        return fail("line break or NUL in the line");

    std::vector<std::string> tokens = tokenize(line);
    CommandChain chain;
    ParsedCommand cmd;
    bool afterOr = false;  // the last token was "||": a command must follow

    // Ends the current command; false with the reason set when it is refused.
    auto endCommand = [&]() -> bool {
        if (cmd.words.empty()) {
            if (afterOr) fail("\"||\" without a command after it");
            return !afterOr;
        }
        const std::string why = whyRefused(cmd.words);
        if (!why.empty()) {
            fail(why);
            return false;
        }
        chain.push_back(cmd);
        cmd = ParsedCommand();
        afterOr = false;
        return true;
    };

    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        if (t == ";") {
            if (!endCommand()) return out;
            if (!chain.empty()) out.chains.push_back(chain);
            chain.clear();
        } else if (t == "||") {
            if (cmd.words.empty()) return fail("\"||\" without a command before it");
            cmd.orElse = true;
            if (!endCommand()) return out;
            afterOr = true;
        } else if (t == "2>" || t == "2>/dev/null") {
            const std::string why = takeRedirect(tokens, i, cmd);
            if (!why.empty()) return fail(why);
        } else if (hasShellOperator(t)) {
            return fail("shell operator not supported: " + t);
        } else {
            if (cmd.discardStderr) return fail("words after \"2> /dev/null\"");
            if (cmd.words.empty() && !allowedProgram(t)) return fail("program not allowed: " + t);
            cmd.words.push_back(t);
        }
    }
    if (!endCommand()) return out;
    if (!chain.empty()) out.chains.push_back(chain);
    out.ok = true;
    return out;
}

}  // namespace kernel
}  // namespace kor
