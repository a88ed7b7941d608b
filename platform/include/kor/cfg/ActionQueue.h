#pragma once
// The command queue: collects command lines and runs them in order.

#include <memory>
#include <string>
#include <vector>

namespace kor {
namespace cfg {

// Runs one queued command line. The real runner executes it; tests record it.
class ICommandExecutor {
public:
    virtual ~ICommandExecutor() = default;
    virtual void execute(const std::string& commandLine) = 0;
    // Called once at the end of every process(), also of one that ran
    // nothing.
    virtual void endOfBatch() {}
};

class ActionQueue {
public:
    // Without an executor the queue runs lines with the CommandRunner.
    ActionQueue();
    explicit ActionQueue(std::shared_ptr<ICommandExecutor> executor);

    // Appends one command line. flags is reserved and always 0.
    void addCommand(const std::string& commandLine, int flags);
    // Runs every queued line in order, each to its end, and empties the queue.
    void process();

    size_t pending() const { return lines_.size(); }
    ICommandExecutor& executor() { return *executor_; }

private:
    std::shared_ptr<ICommandExecutor> executor_;
    std::vector<std::string> lines_;
};

}  // namespace cfg
}  // namespace kor
