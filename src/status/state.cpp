// Reading quorin's state file and cfgserver's status tables.

#include "state.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kor/cfg/CfgConnection.h"

namespace kor {
namespace status {

namespace {

using json = nlohmann::json;

const int kCfgTimeoutMs = 5000;

// The members of a JSON object, each read only when it has the right type:
// nothing a file or a peer holds can throw.
std::string text(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

// An integer, or a text of decimal digits (the status tables hold texts).
int64_t integer(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return 0;
    if (it->is_number_integer()) return it->get<int64_t>();
    if (it->is_string()) return strtoll(it->get<std::string>().c_str(), nullptr, 10);
    return 0;
}

bool flag(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

// The objects of a list member; none when it is not a list.
std::vector<json> objects(const json& object, const char* key) {
    std::vector<json> out;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) return out;
    for (const json& item : *it)
        if (item.is_object()) out.push_back(item);
    return out;
}

StateGroup readGroup(const json& g) {
    StateGroup group{integer(g, "id"), text(g, "chain"), text(g, "client"), flag(g, "sticky"), text(g, "mode"),
                     integer(g, "rules_since"), {}};
    for (const json& u : objects(g, "uplinks"))
        group.uplinks.push_back({text(u, "device"), integer(u, "share"), integer(u, "table"), text(u, "address"),
                                 flag(u, "in"), text(u, "reason"), text(u, "detail"), integer(u, "since")});
    return group;
}

}  // namespace

bool parseState(const std::string& content, QuorinState& out, std::string& error) {
    const json doc = json::parse(content, nullptr, false);
    if (!doc.is_object()) {
        error = "it is not a JSON object";
        return false;
    }
    out = QuorinState();
    out.version = integer(doc, "version");
    out.pid = integer(doc, "pid");
    if (out.version != 1 || out.pid <= 0) {
        error = "it has no version 1 and PID";
        return false;
    }
    out.started = integer(doc, "started");
    out.written = integer(doc, "written");
    for (const json& p : objects(doc, "problems")) out.problems.push_back({text(p, "check"), text(p, "text")});
    for (const json& g : objects(doc, "groups")) out.groups.push_back(readGroup(g));
    for (const json& r : objects(doc, "refused"))
        out.refused.push_back({text(r, "table"), integer(r, "row"), text(r, "text")});
    return true;
}

bool readState(const std::string& path, QuorinState& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno) + " (quorin is not running?)";
        return false;
    }
    std::stringstream content;
    content << in.rdbuf();
    if (parseState(content.str(), out, error)) return true;
    error = path + " is not a state file of quorin: " + error;
    return false;
}

bool processRunning(int64_t pid) {
    if (pid <= 0 || pid > INT32_MAX || (kill(pid_t(pid), 0) != 0 && errno != EPERM)) return false;
    // A zombie has ended; only its parent has not noticed yet.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');
    if (end == std::string::npos || end + 2 >= line.size()) return true;
    const char state = line[end + 2];
    return state != 'Z' && state != 'X';
}

bool readStatusTables(const std::string& socket, StatusTables& out, std::string& error) {
    kor::cfg::CfgConnection connection;
    if (!connection.open(socket)) {
        error = "cannot reach cfgserver at " + socket + ": " + connection.error();
        return false;
    }
    const json answer = connection.request(
        {{"op", "dump"}, {"tables", json::array({"StatusNetifWatch", "UplinkHealth"})}}, kCfgTimeoutMs);
    const moduna::protocol::EResultCode code = kor::cfg::resultCode(answer);
    const auto tables = answer.find("tables");
    if (!code.ok() || tables == answer.end() || !tables->is_object()) {
        error = "cfgserver at " + socket + " did not give its status tables: " + code.toString() + " " +
                text(answer, "error");
        return false;
    }
    out = StatusTables();
    for (const json& row : objects(*tables, "StatusNetifWatch"))
        out.netif[text(row, "Name")] = {text(row, "Addr"), text(row, "Link")};
    for (const json& row : objects(*tables, "UplinkHealth"))
        out.health[text(row, "Name")] = {text(row, "State"), text(row, "Reason"), integer(row, "LossPercent"),
                                         integer(row, "RttMs"), integer(row, "Since")};
    return true;
}

}  // namespace status
}  // namespace kor
