#include "Uplink.h"

#include <arpa/inet.h>
#include <poll.h>

#include "kor/sysloglevel.h"

namespace kor {
namespace uplinkd {

Uplink::Uplink(moduna::net::EventDispatcher& events, RtNetlink& netlink, const UplinkSettings& settings,
               uint16_t identifier, std::function<void(const Uplink&)> verdictChanged)
    : events_(events),
      netlink_(netlink),
      settings_(settings),
      identifier_(identifier),
      verdictChanged_(std::move(verdictChanged)),
      log_(KOR_Sysloglevel_registerModul("uplinkd")),
      tracker_(settings.limits),
      since_(std::time(nullptr)) {}

Uplink::~Uplink() { stop(); }

void Uplink::stop() {
    if (nextRound_) events_.cancelTimer(nextRound_);
    if (roundTimeout_) events_.cancelTimer(roundTimeout_);
    nextRound_ = roundTimeout_ = 0;
    inFlight_ = false;
    roundDue_ = Clock::time_point();
    if (socket_.fd() >= 0) events_.removeDescriptor(socket_.fd());
    socket_.close();
}

void Uplink::failure(const std::string& what) {
    if (what == lastFailure_) return;
    lastFailure_ = what;
    if (!what.empty())
        KOR_Sysloglevel_error(log_, "uplinkd", __LINE__,
                              VAStr("uplink %s: %s", settings_.interface.c_str(), what.c_str()));
}

void Uplink::setPath(const UplinkPath& path) {
    const bool reopen = path.ifindex != path_.ifindex || path.address != path_.address || socket_.fd() < 0;
    if (!route_ || route_->ifindex() != path.ifindex) route_.reset();
    path_ = path;
    if (!path.ifindex || !path.address) {
        stop();
        route_.reset();
        failure("");
        return;
    }
    if (!route_) route_ = std::make_unique<UplinkRoute>(netlink_, path.ifindex);
    std::string error;
    // A link that is down takes no route; the table is written again when it is back.
    if (!route_->install(path.gateway, error) && path.linkUp) failure(error);
    if (!reopen) return;
    stop();
    if (!socket_.open(settings_.interface, route_->mark(), path.address, error)) {
        failure("probe socket: " + error);
        return;
    }
    if (error.empty()) failure("");
    events_.addDescriptor(socket_.fd(), POLLIN, [this](int, short) { onReplies(); });
    startRound();
}

void Uplink::startRound() {
    // With TimeoutMs equal to IntervalMs both timers are due together: the
    // round in flight ends before the next begins, whichever fires first.
    if (inFlight_) endRound();
    // Rounds keep to their schedule: a timer that fires a millisecond late
    // does not push every later round back, which would stretch the time
    // that DownAfter missed rounds take. After a longer stall it starts anew.
    const auto now = Clock::now();
    const auto interval = std::chrono::milliseconds(settings_.intervalMs);
    roundDue_ = roundDue_ == Clock::time_point() || now - roundDue_ >= interval ? now : roundDue_;
    roundDue_ += interval;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(roundDue_ - now).count();
    nextRound_ = events_.addTimer(int(wait), [this]() {
        nextRound_ = 0;
        startRound();
    });
    ++sequence_;
    const size_t count = settings_.targets.size();
    results_.assign(count, ProbeResult());
    sentAt_.assign(count, Clock::now());
    unanswered_ = int(count);
    for (size_t i = 0; i < count; ++i) {
        std::string error;
        sentAt_[i] = Clock::now();
        if (!socket_.sendEcho(settings_.targets[i], identifier_, sequence_, error) &&
            KOR_Sysloglevel_debugOn(log_))
            KOR_Sysloglevel_debug(log_, "uplinkd", __LINE__,
                                  VAStr("uplink %s: echo request not sent: %s", settings_.interface.c_str(),
                                        error.c_str()));
    }
    inFlight_ = true;
    // A timer due in the same pass as the next round's start runs even when
    // cancelled: it ends only its own round.
    const uint16_t round = sequence_;
    roundTimeout_ = events_.addTimer(settings_.timeoutMs, [this, round]() {
        roundTimeout_ = 0;
        if (inFlight_ && round == sequence_) endRound();
    });
}

void Uplink::onReplies() {
    const auto now = Clock::now();
    for (const EchoReply& reply : socket_.receive()) {
        if (!inFlight_ || reply.identifier != identifier_ || reply.sequence != sequence_) continue;
        for (size_t i = 0; i < results_.size(); ++i) {
            if (results_[i].answered || settings_.targets[i] != reply.source) continue;
            results_[i].answered = true;
            results_[i].rttMs =
                int(std::chrono::duration_cast<std::chrono::milliseconds>(now - sentAt_[i]).count());
            --unanswered_;
            break;
        }
    }
    if (inFlight_ && unanswered_ == 0) endRound();
}

void Uplink::endRound() {
    inFlight_ = false;
    if (roundTimeout_) events_.cancelTimer(roundTimeout_);
    roundTimeout_ = 0;
    if (KOR_Sysloglevel_debugOn(log_) && unanswered_ > 0)
        KOR_Sysloglevel_debug(log_, "uplinkd", __LINE__,
                              VAStr("uplink %s: round %u: %d of %zu targets did not answer",
                                    settings_.interface.c_str(), unsigned(sequence_), unanswered_,
                                    results_.size()));
    if (!tracker_.feed(results_)) return;
    since_ = std::time(nullptr);
    verdictChanged_(*this);
}

}  // namespace uplinkd
}  // namespace kor
