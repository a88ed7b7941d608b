#pragma once
// The fuzz targets' invariant check. A broken invariant is written to
// standard output (ctest runs the fuzzers with standard error closed, since
// the code under test logs there), bytes outside printable ASCII as \xNN,
// and aborts, which libFuzzer reports as a crash with the input that caused
// it. The message is only built when the check fails.

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzzCheckFailed(const char* file, int line, const std::string& what) {
    std::printf("invariant broken at %s:%d: ", file, line);
    for (unsigned char c : what) std::printf(c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x", c);
    std::printf("\n");
    std::fflush(stdout);
    std::abort();
}

#define FUZZ_CHECK(condition, what) ((condition) ? void() : fuzzCheckFailed(__FILE__, __LINE__, what))
