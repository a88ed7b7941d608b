#pragma once
// The command queue: collects command lines and runs them in order.

#include <memory>
#include <string>
#include <vector>

namespace kor {
namespace cfg {

// Runs queued command lines. The real runner executes them; tests record
// them.
class ICommandExecutor {
public:
    virtual ~ICommandExecutor() = default;
    virtual void execute(const std::string& commandLine) = 0;
    // Runs the lines of one batch in order, each as it would run alone. The
    // real runner hands the kernel a batch's lines together; by default each
    // line is executed in turn.
    virtual void executeBatch(const std::vector<std::string>& lines) {
        for (const auto& line : lines) execute(line);
    }
    // Called once at the end of every batch, also of one that ran nothing.
    virtual void endOfBatch() {}
};

class ActionQueue {
public:
    // Without an executor the queue runs lines with the kernel's command
    // runner.
    ActionQueue();
    explicit ActionQueue(std::shared_ptr<ICommandExecutor> executor);
    // Lines still queued (a hold that never ended) are run.
    ~ActionQueue();
    ActionQueue(const ActionQueue&) = delete;
    ActionQueue& operator=(const ActionQueue&) = delete;

    // Appends one command line. flags is reserved and always 0.
    void addCommand(const std::string& commandLine, int flags);
    // Runs every queued line in order, each to its end, as one batch, and
    // empties the queue. While a hold lasts it runs nothing: the lines wait
    // for the end of the outermost hold (or for sync()).
    void process();
    // Runs what is queued now, held or not: for a caller that is about to
    // read what the lines write.
    void sync();

    // While a Hold lives, the queue gathers the lines of every process() into
    // one batch, which runs when the outermost hold ends. One change of the
    // router (a commit, an event, a route signal) then reaches the kernel as
    // one batch, in one transaction where the kernel has them. A hold that
    // gathers more than maxHeldLines runs them as they stand (in order), so
    // that a copy of a large table is never held whole.
    class Hold {
    public:
        explicit Hold(ActionQueue* queue);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        ActionQueue* queue_;
    };
    static const size_t maxHeldLines = 16384;

    size_t pending() const { return lines_.size(); }
    bool held() const { return holds_ > 0; }
    ICommandExecutor& executor() { return *executor_; }

private:
    void run();

    std::shared_ptr<ICommandExecutor> executor_;
    std::vector<std::string> lines_;
    unsigned holds_ = 0;
};

}  // namespace cfg
}  // namespace kor
