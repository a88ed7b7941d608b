// Test tool: runs each argument, or each line of standard input, through
// the command queue, as the daemon's lines would run. With -t as the first
// argument it prints how long the queue took, in microseconds.

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/sysloglevel.h"

int main(int argc, char** argv) {
    KOR_Sysloglevel_construct2("", argv[0]);
    int first = 1;
    const bool timed = argc > 1 && strcmp(argv[1], "-t") == 0;
    if (timed) ++first;
    kor::cfg::ActionQueue queue;
    if (argc > first) {
        for (int i = first; i < argc; ++i) queue.addCommand(argv[i], 0);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) queue.addCommand(line, 0);
    }
    const auto start = std::chrono::steady_clock::now();
    queue.process();
    const auto took = std::chrono::steady_clock::now() - start;
    if (timed) std::cout << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << std::endl;
    return 0;
}
