// Test tool: runs each argument, or each line of standard input, through
// the command queue, as the daemon's lines would run: all of them as one
// batch, or a batch up to each empty line of standard input. With -t first
// it prints the microseconds that running the lines took.

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/sysloglevel.h"

int main(int argc, char** argv) {
    KOR_Sysloglevel_construct2("", argv[0]);
    kor::cfg::ActionQueue queue;
    const int first = argc > 1 && strcmp(argv[1], "-t") == 0 ? 2 : 1;
    for (int i = first; i < argc; ++i) queue.addCommand(argv[i], 0);
    const auto start = std::chrono::steady_clock::now();
    for (std::string line; argc == first && std::getline(std::cin, line);)
        if (line.empty())
            queue.process();
        else
            queue.addCommand(line, 0);
    queue.process();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (first == 2) std::cout << took.count() << "\n";
    return 0;
}
