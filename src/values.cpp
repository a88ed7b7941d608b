// Checks of configured values before they become words of command lines.

#include "values.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

namespace kor {
namespace quorin {
namespace checks {

std::string whyNotDeviceName(const std::string& name) {
    if (name.empty() || name.size() > 15) return "not 1 to 15 characters long";
    if (name == "." || name == "..") return "not a device name";
    for (unsigned char c : name) {
        if (c == '/' || c == ':') return "holds a \"/\" or \":\"";
        if (c <= ' ' || c == 0x7f) return "holds a blank or a control character";
        // The command runner refuses shell operators and splits at ";".
        if (c == '|' || c == '&' || c == '<' || c == '>' || c == ';') return "holds a shell operator";
        if (c == '+') return "iptables reads \"+\" as a wildcard";
    }
    if (name[0] == '!') return "iptables reads a leading \"!\" as a negation";
    if (name[0] == '-') return "would be read as an option";
    // The runner refuses "ip ... exec" in any abbreviation.
    if (std::string("exec").compare(0, name.size(), name) == 0) return "ip reads it as \"exec\"";
    return "";
}

bool isDottedQuad(const std::string& text) {
    // inet_pton takes exactly four decimal parts, each 0 to 255.
    in_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool isAddressFilter(const std::string& text) {
    if (text.empty()) return true;
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return isDottedQuad(text);
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 2) return false;
    for (char c : length)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    return std::atoi(length.c_str()) <= 32 && isDottedQuad(text.substr(0, slash));
}

bool isProtocol(const std::string& text) {
    if (text.empty() || text == "ALL") return true;
    if (text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos)
        return std::atoi(text.c_str()) <= 255;
    for (unsigned char c : text)
        if (!isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    return getprotobyname(text.c_str()) != nullptr;
}

std::string Range::refusal() const {
    if (high == low + 1) return "is not " + std::to_string(low) + " or " + std::to_string(high);
    return "is not " + std::to_string(low) + " to " + std::to_string(high);
}

bool isNumber(const moduna::Value& value, const Range& range, long long& out) {
    long long number = 0;
    if (!value.getNumber(number) || number < range.low || number > range.high) return false;
    out = number;
    return true;
}

bool isColumnOf(const std::string& table, const std::string& column) {
    static const std::map<std::string, std::set<std::string>> columns = {
        {"Balancing", {"Verbose", "StickyTimeout", "FlushStates"}},
        {"BalancingGroups", {"Id", "Sticky", "ClientInterface", "Autobalance", "Enable"}},
        {"BalancingInterfaces", {"BalancingGroupId", "Interface", "UsagePercent"}},
        {"BalancingServices",
         {"Id", "BalancingGroupId", "SrcIP", "DstIP", "Proto", "SrcPortStart", "SrcPortEnd", "DstPortStart",
          "DstPortEnd"}},
    };
    const auto it = columns.find(table);
    return it != columns.end() && it->second.count(column) != 0;
}

}  // namespace checks
}  // namespace quorin
}  // namespace kor
