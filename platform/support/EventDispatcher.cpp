#include "moduna/net/EventDispatcher.h"

#include <poll.h>

#include <algorithm>

namespace moduna {
namespace net {

using Clock = std::chrono::steady_clock;

void EventDispatcher::addDescriptor(int fd, short events, Callback callback) {
    for (auto& w : watches_) {
        if (w.fd == fd && !w.removed) {
            w.events = events;
            w.callback = std::move(callback);
            return;
        }
    }
    watches_.push_back({fd, events, std::move(callback), false});
}

void EventDispatcher::removeDescriptor(int fd) {
    // Marked only: a callback may remove descriptors while handleEvents walks
    // the list.
    for (auto& w : watches_)
        if (w.fd == fd) w.removed = true;
}

int EventDispatcher::addTimer(int delayMs, TimerCallback callback) {
    int id = nextTimerId_++;
    timers_.push_back({id, Clock::now() + std::chrono::milliseconds(delayMs), std::move(callback)});
    return id;
}

void EventDispatcher::cancelTimer(int id) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                  timers_.end());
}

int EventDispatcher::addPendingCheck(std::function<bool()> check) {
    int id = nextTimerId_++;
    checks_.emplace_back(id, std::move(check));
    return id;
}

void EventDispatcher::removePendingCheck(int id) {
    checks_.erase(std::remove_if(checks_.begin(), checks_.end(), [id](const auto& c) { return c.first == id; }),
                  checks_.end());
}

int EventDispatcher::handleEvents(int timeoutMs) {
    int pending = 0;
    for (const auto& c : checks_)
        if (c.second()) ++pending;
    if (pending) timeoutMs = 0;
    watches_.erase(std::remove_if(watches_.begin(), watches_.end(), [](const Watch& w) { return w.removed; }),
                   watches_.end());
    int wait = timeoutMs;
    auto now = Clock::now();
    for (const auto& t : timers_) {
        // Round up, so that the wait does not end just before the timer is due.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count();
        if (left < 0) left = 0;
        if (wait < 0 || left < wait) wait = int(left);
    }

    std::vector<pollfd> fds;
    fds.reserve(watches_.size());
    for (const auto& w : watches_) fds.push_back({w.fd, w.events, 0});
    int n = poll(fds.data(), fds.size(), wait);
    if (n < 0) return pending;

    int handled = pending;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        // Look the watch up by fd: callbacks may have changed the list.
        for (size_t j = 0; j < watches_.size(); ++j) {
            if (watches_[j].fd == fds[i].fd && !watches_[j].removed) {
                Callback cb = watches_[j].callback;
                cb(fds[i].fd, fds[i].revents);
                ++handled;
                break;
            }
        }
    }

    now = Clock::now();
    std::vector<Timer> due;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = timers_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& t : due) {
        t.callback();
        ++handled;
    }
    return handled;
}

}  // namespace net
}  // namespace moduna
