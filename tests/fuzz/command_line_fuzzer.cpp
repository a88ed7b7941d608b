// The command runner's line parser with arbitrary lines. Besides crashes and
// sanitizer reports, a line it accepts must keep the runner's promises: only
// iptables, ipset, ip and /sbin/ip are started, none of them in a form that
// starts other programs, the only operators are ";", "||" and "2> /dev/null",
// the words are the line's blank-separated pieces, unexpanded, and none
// holds a line break or NUL. Writing the accepted line out again in plain
// form must parse to the same commands.

#include <algorithm>
#include <cstdint>

#include "fuzz_check.h"
#include "kor/kernel/CommandRunner.h"

namespace {

// The words a shell would run, in order: the pieces between blanks, ";"
// always a piece of its own, without the operators.
std::vector<std::string> expectedWords(const std::string& line) {
    std::vector<std::string> pieces(1), words;
    for (char c : line) {
        if (c == ';') pieces.push_back(";");
        if (c == ' ' || c == '\t' || c == ';') pieces.emplace_back();
        else pieces.back() += c;
    }
    pieces.erase(std::remove(pieces.begin(), pieces.end(), ""), pieces.end());
    for (size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i] == "2>") ++i;  // and its "/dev/null"
        else if (pieces[i] != ";" && pieces[i] != "||" && pieces[i] != "2>/dev/null") words.push_back(pieces[i]);
    return words;
}

// Whether the words of one accepted command keep the runner's promises.
// ip runs other programs with "exec" (any abbreviation) and reads commands
// with -batch; iptables runs the program of --modprobe.
bool keepsPromises(const std::vector<std::string>& w) {
    // A non-empty prefix of full of at least minLen characters.
    auto prefix = [](const std::string& word, const char* full, size_t minLen) {
        return word.size() >= minLen && std::string(full).compare(0, word.size(), word) == 0;
    };
    const bool ip = !w.empty() && (w[0] == "ip" || w[0] == "/sbin/ip");
    if (w.empty() || (!ip && w[0] != "iptables" && w[0] != "ipset")) return false;
    for (size_t i = 0; i < w.size(); ++i)
        if (w[i].empty() || w[i].find_first_of(std::string(" \t;|&<>\n\r\0", 11)) != std::string::npos ||
            (i > 0 && ip && (prefix(w[i], "exec", 1) || prefix(w[i], "-batch", 2) || prefix(w[i], "--batch", 3))) ||
            (i > 0 && w[0] == "iptables" && prefix(w[i].substr(0, w[i].find('=')), "--modprobe", 3)))
            return false;
    return true;
}

// The commands in plain form. Their words hold no blank nor operator
// (keepsPromises), so two lines with the same plain form hold the same
// commands, and the plain form's pieces are their words.
std::string plainForm(const kor::kernel::ParsedLine& parsed, const std::string& line) {
    std::string out;
    for (const auto& chain : parsed.chains) {
        for (size_t c = 0; c < chain.size(); ++c) {
            FUZZ_CHECK(keepsPromises(chain[c].words), "a command breaks the runner's promises in: " + line);
            for (const std::string& word : chain[c].words) out += word + " ";
            out += std::string(chain[c].discardStderr ? "2> /dev/null " : "") + (c + 1 < chain.size() ? "|| " : "; ");
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const kor::kernel::ParsedLine parsed = kor::kernel::parseCommandLine(line);
    FUZZ_CHECK(parsed.ok || (parsed.chains.empty() && !parsed.error.empty()),
               "a refused line keeps commands or has no reason: " + line);
    if (!parsed.ok) return 0;
    const std::string plain = plainForm(parsed, line);
    FUZZ_CHECK(expectedWords(plain) == expectedWords(line), "the words are not the line's pieces: " + line);
    const kor::kernel::ParsedLine again = kor::kernel::parseCommandLine(plain);
    FUZZ_CHECK(again.ok && plainForm(again, plain) == plain, "the plain form \"" + plain + "\" parses differently");
    return 0;
}
