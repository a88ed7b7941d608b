// Test tool: runs each argument, or each line of standard input, through
// the command queue, as the daemon's lines would run.

#include <iostream>
#include <string>

#include "kor/cfg/ActionQueue.h"
#include "kor/sysloglevel.h"

int main(int argc, char** argv) {
    KOR_Sysloglevel_construct2("", argv[0]);
    kor::cfg::ActionQueue queue;
    std::string line;
    for (int i = 1; i < argc; ++i) queue.addCommand(argv[i], 0);
    while (argc == 1 && std::getline(std::cin, line)) queue.addCommand(line, 0);
    queue.process();
    return 0;
}
