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
    // Each process() call, with the number of lines it ran.
    void endOfBatch() override {
        batches.push_back(lines.size() - linesBefore);
        linesBefore = lines.size();
    }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(lines);
        batches.clear();
        linesBefore = 0;
        return out;
    }
    std::vector<std::string> lines;
    std::vector<size_t> batches;
    size_t linesBefore = 0;
};

}  // namespace cfg
}  // namespace kor
