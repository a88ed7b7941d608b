#pragma once
// A poll(2) based event dispatcher: descriptors with callbacks, and timers.

#include <chrono>
#include <functional>
#include <vector>

namespace moduna {
namespace net {

class EventDispatcher {
public:
    using Callback = std::function<void(int fd, short revents)>;
    using TimerCallback = std::function<void()>;

    // Watches fd for the poll events (POLLIN, POLLOUT...); the callback runs
    // inside handleEvents. Adding a watched fd again replaces its entry.
    void addDescriptor(int fd, short events, Callback callback);
    void removeDescriptor(int fd);

    // A one-shot timer; returns its id. The callback runs inside handleEvents.
    int addTimer(int delayMs, TimerCallback callback);
    void cancelTimer(int id);

    // A check run before every wait: while it returns true, handleEvents does
    // not wait and reports an event (work was left over from a previous pass,
    // such as messages already read from a socket). Returns its id.
    int addPendingCheck(std::function<bool()> check);
    void removePendingCheck(int id);

    // Waits at most timeoutMs for descriptor events or due timers and runs
    // their callbacks. Returns non-zero when it handled any. An interrupted
    // wait (a signal) returns 0 at once.
    int handleEvents(int timeoutMs);

private:
    struct Watch {
        int fd;
        short events;
        Callback callback;
        bool removed;
    };
    struct Timer {
        int id;
        std::chrono::steady_clock::time_point due;
        TimerCallback callback;
    };
    std::vector<Watch> watches_;
    std::vector<Timer> timers_;
    std::vector<std::pair<int, std::function<bool()>>> checks_;
    int nextTimerId_ = 1;
};

}  // namespace net
}  // namespace moduna
