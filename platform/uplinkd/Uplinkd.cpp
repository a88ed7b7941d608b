#include "Uplinkd.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include "kor/sysloglevel.h"

namespace kor {
namespace uplinkd {

namespace {

const char* const kHealthTable = "UplinkHealth";

uint32_t addressOf(const std::string& text) {
    in_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ? address.s_addr : 0;
}

// "$$(LOGICAL)" as InterfaceMapping's PhysicalName for LogicalName LOGICAL.
std::string resolve(kor::cfg::IConfigAccess& access, const std::string& name) {
    const size_t open = name.find("$$(");
    const size_t close = open == std::string::npos ? open : name.find(')', open + 3);
    if (close == std::string::npos) return name;
    moduna::NameList names;
    moduna::ValueList values;
    if (access.findEntry("InterfaceMapping", "LogicalName", name.substr(open + 3, close - open - 3), names, values) ==
        0)
        return values.getValue("PhysicalName").getText();
    return name;
}

}  // namespace

Uplinkd::Uplinkd(moduna::net::EventDispatcher& events, const std::string& cfgSocket, bool verbose)
    : events_(events),
      log_(KOR_Sysloglevel_registerModul("uplinkd")),
      table_(events, cfgSocket, "uplinkd", verbose),
      nextIdentifier_(uint16_t(getpid())) {}

Uplinkd::~Uplinkd() {
    if (refreshTimer_) events_.cancelTimer(refreshTimer_);
}

void Uplinkd::start() {
    const int stale = netlink_.removeStale();
    if (stale > 0)
        KOR_Sysloglevel_info(log_, "uplinkd", __LINE__,
                             VAStr("removed %d policy rules that an earlier run left behind", stale));
    table_.set(kHealthTable, {}, true);
    refreshTimer_ = events_.addTimer(kRefreshMs, [this]() { refresh(); });
}

void Uplinkd::stop() {
    uplinks_.clear();
    table_.set(kHealthTable, {}, true);
    table_.flush(1000);
}

void Uplinkd::getTableNames(moduna::NameList& names) {
    names.add("UplinkTracking");
    names.add("StatusNetifWatch");
    names.add("DefaultWANGateway");
    names.add("InterfaceMapping");
}

UplinkPath Uplinkd::pathOf(kor::cfg::IConfigAccess& access, const std::string& device) {
    UplinkPath path;
    moduna::NameList names;
    moduna::ValueList values;
    path.ifindex = if_nametoindex(device.c_str());
    if (access.findEntry("StatusNetifWatch", "Name", device, names, values) == 0) {
        path.address = addressOf(values.getValue("Addr").getText());
        path.linkUp = values.getValue("Link").getText() != "down";
    }
    values.clear();
    if (access.findEntry("DefaultWANGateway", "InterfaceName", device, names, values) == 0)
        path.gateway = addressOf(values.getValue("GatewayAddress").getText());
    return path;
}

// Every table it follows bears on every uplink: each pass reads them all.
bool Uplinkd::loadFromConfig(kor::cfg::IConfigAccess& access, const std::string&) {
    unsigned count = 0;
    access.getEntryCount("UplinkTracking", count);
    std::vector<moduna::ValueList> rows(count);
    moduna::NameList names;
    for (unsigned i = 0; i < count; ++i) access.readEntry("UplinkTracking", i, names, rows[i]);
    std::vector<std::string> refusals;
    auto settings =
        readTracking(rows, [&access](const std::string& name) { return resolve(access, name); }, refusals);
    if (refusals != refusals_)
        for (const std::string& line : refusals) KOR_Sysloglevel_error(log_, "uplinkd", __LINE__, line.c_str());
    refusals_ = refusals;
    wanted_.clear();
    for (const auto& one : settings) wanted_.push_back({one, pathOf(access, one.interface)});
    return true;
}

void Uplinkd::commitToSystem(kor::cfg::IConfigAccess&, kor::cfg::ActionQueue&) {
    std::vector<std::unique_ptr<Uplink>> next;
    for (const Wanted& wanted : wanted_) {
        std::unique_ptr<Uplink> uplink;
        for (auto& old : uplinks_)
            if (old && old->settings() == wanted.settings) uplink = std::move(old);
        // Settings that changed start over, as a new uplink that is up.
        if (!uplink)
            uplink = std::make_unique<Uplink>(events_, netlink_, wanted.settings, nextIdentifier_++,
                                              [this](const Uplink& changed) { verdictChanged(changed); });
        next.push_back(std::move(uplink));
    }
    uplinks_.clear();  // the rows gone: their rules and tables with them
    uplinks_ = std::move(next);
    for (size_t i = 0; i < uplinks_.size(); ++i) uplinks_[i]->setPath(wanted_[i].path);
    publish();
}

void Uplinkd::verdictChanged(const Uplink& uplink) {
    const Verdict& v = uplink.verdict();
    const char* name = uplink.settings().interface.c_str();
    const HealthLimits& limits = uplink.settings().limits;
    if (v.up)
        KOR_Sysloglevel_info(log_, "uplinkd", __LINE__,
                             VAStr("uplink %s is up (loss %d %%, rtt %d ms)", name, v.lossPercent, v.rttMs));
    else if (v.reason == "probes")
        KOR_Sysloglevel_info(log_, "uplinkd", __LINE__,
                             VAStr("uplink %s is down (probes: %d failed rounds, loss %d %%, rtt %d ms)", name,
                                   limits.downAfter, v.lossPercent, v.rttMs));
    else if (v.reason == "loss")
        KOR_Sysloglevel_info(log_, "uplinkd", __LINE__,
                             VAStr("uplink %s is down (loss %d %% over 20 rounds, more than %d %%; rtt %d ms)", name,
                                   v.lossPercent, limits.maxLossPercent, v.rttMs));
    else
        KOR_Sysloglevel_info(log_, "uplinkd", __LINE__,
                             VAStr("uplink %s is down (latency: rtt %d ms over 20 rounds, more than %d ms; loss %d %%)",
                                   name, v.rttMs, limits.maxRttMs, v.lossPercent));
    publish();
}

void Uplinkd::publish() {
    kor::cfg::Rows rows;
    for (const auto& uplink : uplinks_) {
        const Verdict& v = uplink->verdict();
        rows.push_back({{"Name", uplink->settings().interface},
                        {"State", v.up ? "up" : "down"},
                        {"Reason", v.reason},
                        {"LossPercent", std::to_string(v.lossPercent)},
                        {"RttMs", std::to_string(v.rttMs)},
                        {"Since", std::to_string(static_cast<long long>(uplink->since()))}});
    }
    table_.set(kHealthTable, rows, true);
    table_.flush(0);
}

void Uplinkd::refresh() {
    refreshTimer_ = events_.addTimer(kRefreshMs, [this]() { refresh(); });
    publish();
}

}  // namespace uplinkd
}  // namespace kor
