#pragma once
// What quorin and the platform's services say: quorin's state file
// (<PIDDIR>/quorin.state, replaced whole by the daemon after every change,
// removed at a clean stop) and cfgserver's status tables "StatusNetifWatch"
// (netstatd: each interface's address and link) and "UplinkHealth"
// (uplinkd: its probes' verdicts).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kor {
namespace status {

struct StateUplink {
    std::string device;
    int64_t share = 0;
    int64_t table = 0;  // routing table and mark; 0: none
    std::string address;
    bool in = false;
    std::string reason;  // "" when in; "address", "link", "probes", "refused"
    std::string detail;  // the daemon's own words for the reason
    int64_t since = 0;
};

struct StateGroup {
    int64_t id = 0;
    std::string chain;
    std::string client;
    bool sticky = false;
    std::string mode;  // "shares" or "equal"
    int64_t rulesSince = 0;  // when quorin last made all its service rules anew
    std::vector<StateUplink> uplinks;
};

struct Problem {
    std::string check;
    std::string text;
};

struct Refusal {
    std::string table;
    int64_t row = 0;
    std::string text;
};

struct QuorinState {
    int64_t version = 0;
    int64_t pid = 0;
    int64_t started = 0;
    int64_t written = 0;
    std::vector<Problem> problems;
    std::vector<StateGroup> groups;
    std::vector<Refusal> refused;
};

// False with the reason in error when the text is not a state file of
// version 1.
bool parseState(const std::string& text, QuorinState& out, std::string& error);
bool readState(const std::string& path, QuorinState& out, std::string& error);
// The process exists and has not ended.
bool processRunning(int64_t pid);

struct Health {
    std::string state;  // "up" or "down"
    std::string reason;
    int64_t lossPercent = 0;
    int64_t rttMs = 0;
    int64_t since = 0;
};

struct NetifStatus {
    std::string address;
    std::string link;  // "up", "down", or "" when the row has none
};

struct StatusTables {
    std::map<std::string, Health> health;      // by uplink device
    std::map<std::string, NetifStatus> netif;  // by interface
};

// Both tables at one moment; false with the reason in error when cfgserver
// cannot be reached or does not answer.
bool readStatusTables(const std::string& socket, StatusTables& out, std::string& error);

}  // namespace status
}  // namespace kor
