// The command runner's line parser with arbitrary lines. Besides crashes and
// sanitizer reports, a line it accepts must keep the runner's promises: only
// iptables, ipset, ip and /sbin/ip are started, none of them in a form that
// starts other programs, the only operators are ";", "||" and "2> /dev/null",
// and the words are the line's blank-separated pieces, unexpanded. Writing
// the accepted line out again in plain form must parse to the same commands.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "kor/cfg/CommandRunner.h"

using kor::cfg::ParsedLine;

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The pieces between blanks, with ";" always a piece of its own.
std::vector<std::string> pieces(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (!isBlank(c) && c != ';') {
            out.back() += c;
            continue;
        }
        if (!out.back().empty()) out.emplace_back();
        if (c == ';') {
            out.back() = ";";
            out.emplace_back();
        }
    }
    if (out.back().empty()) out.pop_back();
    return out;
}

// The words a shell would run, in order: the pieces without the operators.
std::vector<std::string> expectedWords(const std::string& line) {
    std::vector<std::string> all = pieces(line), words;
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string& p = all[i];
        if (p == ";" || p == "||" || p == "2>/dev/null") continue;
        if (p == "2>") {
            ++i;  // its "/dev/null"
            continue;
        }
        words.push_back(p);
    }
    return words;
}

// A non-empty prefix of full of at least minLen characters.
bool abbreviates(const std::string& word, const std::string& full, size_t minLen) {
    return word.size() >= minLen && full.compare(0, word.size(), word) == 0;
}

// Why one accepted command breaks the runner's promises; empty when it keeps them.
std::string brokenPromise(const kor::cfg::ParsedCommand& command) {
    const std::vector<std::string>& w = command.words;
    if (w.empty()) return "empty command";
    const bool ip = w[0] == "ip" || w[0] == "/sbin/ip";
    if (!ip && w[0] != "iptables" && w[0] != "ipset") return "program " + w[0];
    for (size_t i = 0; i < w.size(); ++i) {
        if (w[i].empty()) return "empty word";
        if (w[i].find_first_of(std::string(" \t;|&<>\n\r\0", 11)) != std::string::npos)
            return "operator or separator in word \"" + w[i] + "\"";
        if (i == 0) continue;
        // ip runs other programs with "exec" (any abbreviation) and reads
        // commands with -batch; iptables runs the program of --modprobe.
        if (ip && abbreviates(w[i], "exec", 1)) return "ip exec";
        if (ip && (abbreviates(w[i], "-batch", 2) || abbreviates(w[i], "--batch", 3))) return "ip -batch";
        if (w[0] == "iptables" && abbreviates(w[i].substr(0, w[i].find('=')), "--modprobe", 3))
            return "iptables --modprobe";
    }
    return "";
}

std::string plainForm(const ParsedLine& parsed) {
    std::string out;
    for (const auto& chain : parsed.chains) {
        for (size_t c = 0; c < chain.size(); ++c) {
            if (c > 0) out += " || ";
            for (size_t i = 0; i < chain[c].words.size(); ++i) out += (i ? " " : "") + chain[c].words[i];
            if (chain[c].discardStderr) out += " 2> /dev/null";
        }
        out += "; ";
    }
    return out;
}

bool sameCommands(const ParsedLine& a, const ParsedLine& b) {
    if (a.chains.size() != b.chains.size()) return false;
    for (size_t i = 0; i < a.chains.size(); ++i) {
        if (a.chains[i].size() != b.chains[i].size()) return false;
        for (size_t c = 0; c < a.chains[i].size(); ++c)
            if (a.chains[i][c].words != b.chains[i][c].words ||
                a.chains[i][c].discardStderr != b.chains[i][c].discardStderr)
                return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const ParsedLine parsed = kor::cfg::parseCommandLine(line);
    if (!parsed.ok) {
        FUZZ_CHECK(parsed.chains.empty(), "a refused line keeps commands: " + line);
        FUZZ_CHECK(!parsed.error.empty(), "a refused line without a reason: " + line);
        return 0;
    }
    FUZZ_CHECK(line.find_first_of(std::string("\n\r\0", 3)) == std::string::npos,
               "accepted a line break or NUL: " + line);
    std::vector<std::string> words;
    for (const auto& chain : parsed.chains) {
        FUZZ_CHECK(!chain.empty(), "an empty chain in: " + line);
        for (const auto& command : chain) {
            const std::string why = brokenPromise(command);
            FUZZ_CHECK(why.empty(), why + " in: " + line);
            words.insert(words.end(), command.words.begin(), command.words.end());
        }
    }
    FUZZ_CHECK(words == expectedWords(line), "the words are not the line's pieces: " + line);

    const std::string plain = plainForm(parsed);
    const ParsedLine again = kor::cfg::parseCommandLine(plain);
    FUZZ_CHECK(again.ok && sameCommands(parsed, again), "the plain form \"" + plain + "\" parses differently");
    return 0;
}
