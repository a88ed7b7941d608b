#pragma once
// The fuzz targets' invariant check. A broken invariant is written to
// standard output (ctest runs the fuzzers with standard error closed, since
// the code under test logs there) and aborts, which libFuzzer reports as a
// crash with the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The text with bytes outside printable ASCII as \xNN.
inline std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += escaped;
    }
    return out;
}

}  // namespace fuzz

#define FUZZ_CHECK(condition, what)                                                              \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::printf("invariant broken at %s:%d: %s\n", __FILE__, __LINE__,                   \
                        fuzz::printable(what).c_str());                                          \
            std::fflush(stdout);                                                                 \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)
