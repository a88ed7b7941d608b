#include "TrackingConfig.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <set>
#include <sstream>

namespace kor {
namespace uplinkd {

namespace {

const char* const kReader = "ReadUplinkTracking";

struct Refusal {
    std::string column, value, why;
};

std::string refusalLine(unsigned index, const Refusal& refusal) {
    return std::string(kReader) + ": UplinkTracking row " + std::to_string(index) + " skipped: " + refusal.column +
           " \"" + refusal.value + "\" " + refusal.why;
}

// A whole number of at most 9 digits, optionally signed; anything else false.
bool decimal(const std::string& text, long long& out) {
    size_t start = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == start || text.size() - start > 9) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    out = std::atoll(text.c_str());
    return true;
}

// The column as an integer from low to high; absent (or empty) gives the
// default. False with the refusal when it is no such number.
bool integerColumn(const moduna::ValueList& row, const char* column, int fallback, long long low, long long high,
                   int& out, Refusal& refusal) {
    const moduna::Value value = row.getValue(column);
    const std::string text = value.getText();
    long long number = fallback;
    if (value.isInteger()) number = value.getLong();
    else if (!text.empty() && !decimal(text, number)) number = low - 1;
    if (number < low || number > high) {
        refusal = {column, text, "is not " + std::to_string(low) + " to " + std::to_string(high)};
        return false;
    }
    out = int(number);
    return true;
}

bool targetsColumn(const moduna::ValueList& row, std::vector<uint32_t>& out, Refusal& refusal) {
    const std::string text = row.getValue("Targets").getText();
    std::istringstream words(text);
    std::string word;
    bool quads = true;
    while (quads && words >> word) {
        in_addr address;
        quads = inet_pton(AF_INET, word.c_str(), &address) == 1;
        out.push_back(address.s_addr);
    }
    if (!quads || out.empty() || out.size() > kMaxTargets) {
        refusal = {"Targets", text, "is not 1 to " + std::to_string(kMaxTargets) + " blank-separated dotted quads"};
        return false;
    }
    return true;
}

bool readRow(const moduna::ValueList& row, const std::string& interface, UplinkSettings& out, Refusal& refusal) {
    out.interface = interface;
    // A "$$(LOGICAL)" that InterfaceMapping did not resolve.
    const std::string why =
        interface.find("$$(") != std::string::npos ? "has no InterfaceMapping row" : whyNotDeviceName(interface);
    if (!why.empty()) {
        refusal = {"Interface", interface, why};
        return false;
    }
    HealthLimits& limits = out.limits;
    if (!targetsColumn(row, out.targets, refusal) ||
        !integerColumn(row, "IntervalMs", 300, 50, 60000, out.intervalMs, refusal) ||
        !integerColumn(row, "TimeoutMs", std::min(300, out.intervalMs), 10, out.intervalMs, out.timeoutMs, refusal) ||
        !integerColumn(row, "DownAfter", 8, 1, 100, limits.downAfter, refusal) ||
        !integerColumn(row, "UpAfter", 5, 1, 100, limits.upAfter, refusal) ||
        !integerColumn(row, "Reliability", 1, 1, long(out.targets.size()), limits.reliability, refusal) ||
        !integerColumn(row, "MaxLossPercent", 0, 0, 100, limits.maxLossPercent, refusal) ||
        !integerColumn(row, "MaxRttMs", 0, 0, 60000, limits.maxRttMs, refusal))
        return false;
    return true;
}

}  // namespace

bool UplinkSettings::operator==(const UplinkSettings& o) const {
    return interface == o.interface && targets == o.targets && intervalMs == o.intervalMs &&
           timeoutMs == o.timeoutMs && limits.downAfter == o.limits.downAfter && limits.upAfter == o.limits.upAfter &&
           limits.reliability == o.limits.reliability && limits.maxLossPercent == o.limits.maxLossPercent &&
           limits.maxRttMs == o.limits.maxRttMs;
}

std::string whyNotDeviceName(const std::string& name) {
    if (name.empty() || name.size() > 15) return "is not 1 to 15 characters long";
    if (name == "." || name == "..") return "is not a device name";
    for (unsigned char c : name) {
        if (c == '/' || c == ':') return "holds a \"/\" or \":\"";
        if (c <= ' ' || c == 0x7f) return "holds a blank or a control character";
    }
    return "";
}

std::vector<UplinkSettings> readTracking(const std::vector<moduna::ValueList>& rows,
                                         const std::function<std::string(const std::string&)>& resolve,
                                         std::vector<std::string>& refusals) {
    std::vector<UplinkSettings> uplinks;
    std::set<std::string> seen;
    for (unsigned index = 0; index < rows.size(); ++index) {
        UplinkSettings settings;
        Refusal refusal;
        const std::string interface = resolve(rows[index].getValue("Interface").getText());
        if (!readRow(rows[index], interface, settings, refusal)) {
            refusals.push_back(refusalLine(index, refusal));
        } else if (!seen.insert(interface).second) {
            refusals.push_back(refusalLine(index, {"Interface", interface, "is tracked by an earlier row"}));
        } else {
            uplinks.push_back(settings);
        }
    }
    return uplinks;
}

}  // namespace uplinkd
}  // namespace kor
