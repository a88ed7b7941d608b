#pragma once
// The health-probe daemon's controller: follows "UplinkTracking" and the
// status tables that say where each uplink's probes leave
// ("StatusNetifWatch", "DefaultWANGateway", "InterfaceMapping"), keeps one
// Uplink per usable row, and writes the verdicts to the volatile status
// table "UplinkHealth": at once when a verdict changes, and LossPercent and
// RttMs at most every kRefreshMs.

#include <memory>
#include <string>
#include <vector>

#include "PolicyRoutes.h"
#include "TrackingConfig.h"
#include "Uplink.h"
#include "kor/cfg/IConfigHandler.h"
#include "kor/cfg/StatusTableWriter.h"
#include "moduna/net/EventDispatcher.h"

namespace kor {
namespace uplinkd {

class Uplinkd : public kor::cfg::IConfigHandler {
public:
    static const int kRefreshMs = 5000;

    Uplinkd(moduna::net::EventDispatcher& events, const std::string& cfgSocket, bool verbose);
    ~Uplinkd() override;

    // Removes what a crashed run left in the kernel.
    void start();
    // Empties UplinkHealth and removes every rule and table.
    void stop();

    void getTableNames(moduna::NameList& names) override;
    bool loadFromConfig(kor::cfg::IConfigAccess& access, const std::string& tableName) override;
    void commitToSystem(kor::cfg::IConfigAccess& access, kor::cfg::ActionQueue& queue) override;

private:
    struct Wanted {
        UplinkSettings settings;
        UplinkPath path;
    };
    UplinkPath pathOf(kor::cfg::IConfigAccess& access, const std::string& device);
    void verdictChanged(const Uplink& uplink);
    void publish();
    void refresh();

    moduna::net::EventDispatcher& events_;
    const int log_;
    RtNetlink netlink_;
    kor::cfg::StatusTableWriter table_;
    std::vector<Wanted> wanted_;
    std::vector<std::string> refusals_;  // the last logged, so that each is logged once
    std::vector<std::unique_ptr<Uplink>> uplinks_;  // in UplinkTracking's order
    int refreshTimer_ = 0;
    uint16_t nextIdentifier_;
};

}  // namespace uplinkd
}  // namespace kor
