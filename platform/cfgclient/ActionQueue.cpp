#include "kor/cfg/ActionQueue.h"

#include "kor/kernel/CommandRunner.h"

namespace kor {
namespace cfg {

ActionQueue::ActionQueue() : executor_(std::make_shared<kernel::CommandRunner>()) {}

ActionQueue::ActionQueue(std::shared_ptr<ICommandExecutor> executor)
    : executor_(executor ? std::move(executor) : std::make_shared<kernel::CommandRunner>()) {}

void ActionQueue::addCommand(const std::string& commandLine, int) { lines_.push_back(commandLine); }

void ActionQueue::process() {
    // Lines queued by an executor while we run are kept for the next pass.
    std::vector<std::string> batch;
    batch.swap(lines_);
    for (const auto& line : batch) executor_->execute(line);
    executor_->endOfBatch();
}

}  // namespace cfg
}  // namespace kor
