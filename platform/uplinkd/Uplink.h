#pragma once
// One probed uplink: its probe socket, its rule and table, its rounds and
// its verdict. A round sends one echo request to each target at once and
// ends when all have answered or TimeoutMs has passed; rounds start every
// IntervalMs, and TimeoutMs <= IntervalMs keeps them from overlapping. All
// uplinks share the one event loop: nothing here blocks.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HealthTracker.h"
#include "PolicyRoutes.h"
#include "ProbeSocket.h"
#include "TrackingConfig.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace uplinkd {

// Where the uplink's probes leave, from the status tables and the kernel.
struct UplinkPath {
    unsigned ifindex = 0;  // 0: no such device
    uint32_t address = 0;  // StatusNetifWatch Addr; 0: none yet
    uint32_t gateway = 0;  // DefaultWANGateway GatewayAddress; 0: "dev" route
    bool linkUp = true;    // StatusNetifWatch Link

    bool operator==(const UplinkPath& o) const {
        return ifindex == o.ifindex && address == o.address && gateway == o.gateway && linkUp == o.linkUp;
    }
    bool operator!=(const UplinkPath& o) const { return !(*this == o); }
};

class Uplink {
public:
    // verdictChanged is called after a round that changed the state.
    Uplink(moduna::net::EventDispatcher& events, RtNetlink& netlink, const UplinkSettings& settings,
           uint16_t identifier, std::function<void(const Uplink&)> verdictChanged);
    ~Uplink();
    Uplink(const Uplink&) = delete;
    Uplink& operator=(const Uplink&) = delete;

    // Writes the rule and route again and (re)opens the socket as the path
    // says; without a device or an address, probing pauses.
    void setPath(const UplinkPath& path);

    const UplinkSettings& settings() const { return settings_; }
    const Verdict& verdict() const { return tracker_.verdict(); }
    std::time_t since() const { return since_; }
    bool probing() const { return socket_.fd() >= 0; }

private:
    using Clock = std::chrono::steady_clock;
    void stop();
    void startRound();
    void endRound();
    void onReplies();
    // Logs a failure once until the next success or another failure.
    void failure(const std::string& what);

    moduna::net::EventDispatcher& events_;
    RtNetlink& netlink_;
    const UplinkSettings settings_;
    const uint16_t identifier_;
    const std::function<void(const Uplink&)> verdictChanged_;
    const int log_;
    HealthTracker tracker_;
    std::time_t since_;
    UplinkPath path_;
    std::unique_ptr<UplinkRoute> route_;
    ProbeSocket socket_;
    int nextRound_ = 0;    // timer of the next round's start
    int roundTimeout_ = 0; // timer of the round in flight
    bool inFlight_ = false;
    uint16_t sequence_ = 0;
    std::vector<ProbeResult> results_;
    std::vector<Clock::time_point> sentAt_;
    // When the round in flight was due: the next is due one interval later.
    Clock::time_point roundDue_{};
    int unanswered_ = 0;
    std::string lastFailure_;
};

}  // namespace uplinkd
}  // namespace kor
