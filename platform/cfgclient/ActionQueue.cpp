#include "kor/cfg/ActionQueue.h"

#include "kor/kernel/CommandRunner.h"

namespace kor {
namespace cfg {

ActionQueue::ActionQueue() : executor_(std::make_shared<kernel::CommandRunner>()) {}

ActionQueue::ActionQueue(std::shared_ptr<ICommandExecutor> executor)
    : executor_(executor ? std::move(executor) : std::make_shared<kernel::CommandRunner>()) {}

ActionQueue::~ActionQueue() {
    if (!lines_.empty()) run();
}

void ActionQueue::addCommand(const std::string& commandLine, int) { lines_.push_back(commandLine); }

void ActionQueue::process() {
    if (holds_ > 0 && lines_.size() < maxHeldLines) return;
    run();
}

void ActionQueue::sync() {
    if (!lines_.empty()) run();
}

void ActionQueue::run() {
    // Lines queued by an executor while we run are kept for the next pass.
    std::vector<std::string> batch;
    batch.swap(lines_);
    executor_->executeBatch(batch);
    executor_->endOfBatch();
}

ActionQueue::Hold::Hold(ActionQueue* queue) : queue_(queue) {
    if (queue_) ++queue_->holds_;
}

ActionQueue::Hold::~Hold() {
    if (!queue_) return;
    if (--queue_->holds_ == 0 && !queue_->lines_.empty()) queue_->run();
}

}  // namespace cfg
}  // namespace kor
