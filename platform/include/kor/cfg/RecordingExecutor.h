#pragma once
// An executor that records command lines instead of running them, for tests
// that compare the exact lines a model writes.

#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"

namespace kor {
namespace cfg {

class RecordingExecutor : public ICommandExecutor {
public:
    void execute(const std::string& commandLine) override { lines.push_back(commandLine); }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
    std::vector<std::string> lines;
};

}  // namespace cfg
}  // namespace kor
