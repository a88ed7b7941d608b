#pragma once
// The rows of "UplinkTracking" as the settings of the uplinks to probe.
// A row that cannot be probed as it stands is refused with one error line
// (reader, table and row, column, value, why), the form quorin uses:
//   ReadUplinkTracking: UplinkTracking row 2 skipped: TimeoutMs "500" is not 10 to IntervalMs (300)
// and the other rows are probed.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HealthTracker.h"
#include "moduna/ValueList.h"

namespace kor {
namespace uplinkd {

struct UplinkSettings {
    std::string interface;          // device name, "$$(...)" resolved
    std::vector<uint32_t> targets;  // network byte order
    int intervalMs = 300;
    int timeoutMs = 300;
    HealthLimits limits;

    bool operator==(const UplinkSettings& other) const;
    bool operator!=(const UplinkSettings& other) const { return !(*this == other); }
};

// The most targets one uplink takes.
const size_t kMaxTargets = 16;

// Empty text when the name is a Linux device name (1 to 15 bytes, no "/",
// ":", blank or control character, not "." or ".."), else why not.
std::string whyNotDeviceName(const std::string& name);

// Reads the rows (in table order): the settings of the usable ones, and one
// error line for each refused row in refusals. resolve turns an Interface
// value into a device name (InterfaceMapping); a second row for the same
// device is refused.
std::vector<UplinkSettings> readTracking(const std::vector<moduna::ValueList>& rows,
                                         const std::function<std::string(const std::string&)>& resolve,
                                         std::vector<std::string>& refusals);

}  // namespace uplinkd
}  // namespace kor
