// The controller fed with random configuration tables and network events.
// Starting from a working configuration of the seven tables it follows, the
// fuzz input decodes into a sequence of edits of their rows, loads, commits,
// link, address and route events. The values come from texts and numbers
// that matter to it (names that clash or resolve through InterfaceMapping,
// texts that are no device name or address, numbers at and beyond the ends
// of their ranges). The configuration is in memory and the command lines
// are recorded, not run.
//
// No crash, no sanitizer report, no command line that names routing table 0
// (every table, for ip) and none that the command runner would refuse.
//
// The one thing the controller runs itself is "/sbin/ip route show table N"
// through popen(), to fingerprint a member's table. This target is linked
// with popen and pclose wrapped (-Wl,--wrap): those listings come from
// memory, made up per table, so the fuzzer starts no process and the route
// events can make a table look changed.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz_check.h"
#include "kor/cfg/CommandRunner.h"
#include "kor/cfg/RecordingExecutor.h"
#include "model_fixtures.h"
#include "quorin.h"

using moduna::Value;
using quorin_test::MemoryAccess;
using quorin_test::Row;

// --- Table listings ----------------------------------------------------------

namespace {

const char kListingCommand[] = "/sbin/ip route show table ";

// Per table number: how often its listing changed, and whether it cannot be
// read (popen fails).
std::map<long, unsigned> listingVersion;
std::map<long, bool> listingUnreadable;
std::string listingText;
FILE* listingFile = nullptr;

}  // namespace

extern "C" FILE* __real_popen(const char* command, const char* mode);
extern "C" int __real_pclose(FILE* stream);

extern "C" FILE* __wrap_popen(const char* command, const char* mode) {
    if (strncmp(command, kListingCommand, sizeof kListingCommand - 1) != 0) return __real_popen(command, mode);
    FUZZ_CHECK(listingFile == nullptr, "two table listings open at once");
    const long table = strtol(command + sizeof kListingCommand - 1, nullptr, 10);
    FUZZ_CHECK(table != 0, std::string("listing of table 0: ") + command);
    if (listingUnreadable[table]) return nullptr;
    listingText = "default dev uplink scope link version " + std::to_string(listingVersion[table]) + "\n";
    listingFile = fmemopen(&listingText[0], listingText.size(), "r");
    return listingFile;
}

extern "C" int __wrap_pclose(FILE* stream) {
    if (stream != listingFile || !stream) return __real_pclose(stream);
    listingFile = nullptr;
    fclose(stream);
    return 0;
}

// --- Decoding ------------------------------------------------------------------

namespace {

enum class Kind { Name, Address, Protocol, Id, Flag, Percent, Port, Seconds };

// The values of each kind: those of a working router first (an input that
// runs out of bytes picks them), then texts that are no device name or
// address and numbers at and beyond the ends of their ranges.
const std::vector<std::string> kNames = {
    "wan1", "wan2", "wan3", "lan0", "lan1", "$$(WAN2)", "$$(LAN)", "WAN2", "LAN", "$$(none)", "$$(WAN2",
    "pre$$(WAN2)post", "", "e", "exec", "-b", "+", "wan+", "!wan1", "a|b", "a&b", "a>b", "a;b", "wan1 table main",
    "tab\tx", "wan1/0", "wan:1", ".", "abcdefghijklmnopq", "w\xc3\xa4n", "x\x7f", "-j", "--modprobe=/bin/sh"};
const std::vector<std::string> kAddresses = {
    "10.1.0.2", "10.2.0.2", "10.3.0.2", "10.1.0.1", "0.0.0.0", "", "192.168.1.0/24", "1.2.3.4 table 0", "all",
    "e", "255.255.255.255", "1.2.3", "256.1.1.1", "host.example", "-j", "0/0", "10.0.0.1;ip", "!1.2.3.4"};
const std::vector<std::string> kProtocols = {"tcp", "udp", "", "icmp", "all", "ALL", "6", "256", "-1",
                                             "tcp;udp", "e", "tcp udp", "!tcp"};
const std::vector<long long> kIds = {1, 2, 3, 0, -1, 2147483647, -2147483648LL, 4294967297LL};
const std::vector<long long> kFlags = {0, 1, 2, -1, 4294967296LL};
const std::vector<long long> kPercents = {50, 40, 60, 0, 100, 101, -1, 2147483647, -2147483648LL};
const std::vector<long long> kPorts = {80, 0, 443, 1024, 65535, 65536, -1, 2147483647};
const std::vector<long long> kSeconds = {120, 0, 1, 2147483, 2147484, -1, 2147483647, -9223372036854775807LL};

struct Column {
    const char* name;
    Kind kind;
};

struct Table {
    const char* name;
    std::vector<Column> columns;
};

// The tables and columns as the controller reads them.
const std::vector<Table> kTables = {
    {"Balancing", {{"Verbose", Kind::Flag}, {"StickyTimeout", Kind::Seconds}}},
    {"BalancingGroups",
     {{"Id", Kind::Id},
      {"ClientInterface", Kind::Name},
      {"Enable", Kind::Flag},
      {"Sticky", Kind::Flag},
      {"Autobalance", Kind::Flag}}},
    {"BalancingInterfaces",
     {{"BalancingGroupId", Kind::Id}, {"Interface", Kind::Name}, {"UsagePercent", Kind::Percent}}},
    {"BalancingServices",
     {{"Id", Kind::Id},
      {"BalancingGroupId", Kind::Id},
      {"SrcIP", Kind::Address},
      {"DstIP", Kind::Address},
      {"Proto", Kind::Protocol},
      {"SrcPortStart", Kind::Port},
      {"SrcPortEnd", Kind::Port},
      {"DstPortStart", Kind::Port},
      {"DstPortEnd", Kind::Port}}},
    {"StatusNetifWatch", {{"Name", Kind::Name}, {"Addr", Kind::Address}}},
    {"DefaultWANGateway", {{"InterfaceName", Kind::Name}, {"GatewayAddress", Kind::Address}}},
    {"InterfaceMapping", {{"LogicalName", Kind::Name}, {"PhysicalName", Kind::Name}}},
};

// Every input starts from a router that works: two groups, one of them
// sticky, sharing the uplink wan1, names resolved through InterfaceMapping,
// and a service each.
void baseline(MemoryAccess& db) {
    db.tables["Balancing"] = {{{"Verbose", Value(0)}, {"StickyTimeout", Value(120)}}};
    db.tables["BalancingGroups"] = {quorin_test::group(1, "lan0"), quorin_test::group(2, "$$(LAN)", 1, 1, 1)};
    db.tables["BalancingInterfaces"] = {quorin_test::uplink(1, "wan1", 60), quorin_test::uplink(1, "$$(WAN2)", 40),
                                        quorin_test::uplink(2, "wan1", 50), quorin_test::uplink(2, "wan3", 50)};
    db.tables["BalancingServices"] = {quorin_test::service(1, 1, "tcp", 80), quorin_test::service(2, 2, "", 0)};
    db.tables["StatusNetifWatch"] = {quorin_test::status("wan1", "10.1.0.2"), quorin_test::status("wan2", "10.2.0.2"),
                                     quorin_test::status("wan3", "10.3.0.2")};
    db.tables["DefaultWANGateway"] = {{{"InterfaceName", Value("wan1")}, {"GatewayAddress", Value("10.1.0.1")}},
                                      {{"InterfaceName", Value("wan3")}, {"GatewayAddress", Value("0.0.0.0")}}};
    db.tables["InterfaceMapping"] = {{{"LogicalName", Value("LAN")}, {"PhysicalName", Value("lan1")}},
                                     {{"LogicalName", Value("WAN2")}, {"PhysicalName", Value("wan2")}}};
}

template <typename T>
const T& pick(FuzzedDataProvider& in, const std::vector<T>& pool) {
    return pool[in.ConsumeIntegralInRange<size_t>(0, pool.size() - 1)];
}

const std::vector<long long>& numbers(Kind kind) {
    switch (kind) {
    case Kind::Id: return kIds;
    case Kind::Flag: return kFlags;
    case Kind::Percent: return kPercents;
    case Kind::Port: return kPorts;
    default: return kSeconds;
    }
}

// A value of a column's kind; a number also as its text, now and then any
// text.
Value value(FuzzedDataProvider& in, Kind kind) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 6: return Value(in.ConsumeRandomLengthString(20));
    case 7:
        if (kind != Kind::Name && kind != Kind::Address && kind != Kind::Protocol)
            return Value(std::to_string(pick(in, numbers(kind))));
        break;
    default: break;
    }
    switch (kind) {
    case Kind::Name: return Value(pick(in, kNames));
    case Kind::Address: return Value(pick(in, kAddresses));
    case Kind::Protocol: return Value(pick(in, kProtocols));
    default: return Value(pick(in, numbers(kind)));
    }
}

// Sets, adds or deletes one cell, or deletes a row.
void editTable(FuzzedDataProvider& in, MemoryAccess& db) {
    const Table& table = pick(in, kTables);
    std::vector<Row>& rows = db.tables[table.name];
    const size_t index = in.ConsumeIntegralInRange<size_t>(0, rows.size());
    if (index == rows.size()) rows.emplace_back();
    const Column& column = pick(in, table.columns);
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: rows[index].erase(column.name); break;
    case 1: rows.erase(rows.begin() + long(index)); break;
    default: rows[index][column.name] = value(in, column.kind); break;
    }
}

// What the network-status service can report: kernel device names (1 to 15
// bytes, no "/", ":" or blank; anything else goes), addresses as dotted
// quads.
bool isKernelDeviceName(const std::string& name) {
    return !name.empty() && name.size() < 16 && name != "." && name != ".." &&
           name.find_first_of("/: \t\n\v\f\r") == std::string::npos;
}

std::string device(FuzzedDataProvider& in) {
    const std::string& name = pick(in, kNames);
    return isKernelDeviceName(name) ? name : "wan1";
}

std::string dottedQuad(FuzzedDataProvider& in) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += (i ? "." : "") + std::to_string(in.ConsumeIntegral<uint8_t>());
    return out;
}

std::string gateway(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: return "";
    case 1: return "0.0.0.0";
    default: return dottedQuad(in);
    }
}

// --- Invariants ----------------------------------------------------------------

// The word after "table" or "lookup" reads as 0 (ip takes 0x0 and 00 too).
bool namesTableZero(const kor::cfg::ParsedLine& parsed) {
    for (const auto& chain : parsed.chains)
        for (const auto& command : chain)
            for (size_t i = 0; i + 1 < command.words.size(); ++i) {
                if (command.words[i] != "table" && command.words[i] != "lookup") continue;
                const std::string& number = command.words[i + 1];
                char* end = nullptr;
                if (strtoul(number.c_str(), &end, 0) == 0 && end != number.c_str() && *end == '\0') return true;
            }
    return false;
}

void checkLines(kor::cfg::RecordingExecutor& recorded) {
    // Most lines recur in every input (those of the starting configuration
    // above all); each is checked once.
    static std::unordered_set<std::string> checked;
    if (checked.size() > 100000) checked.clear();
    for (const std::string& line : recorded.take()) {
        if (!checked.insert(line).second) continue;
        const kor::cfg::ParsedLine parsed = kor::cfg::parseCommandLine(line);
        FUZZ_CHECK(parsed.ok, "the runner refuses \"" + line + "\": " + parsed.error);
        FUZZ_CHECK(!namesTableZero(parsed), "routing table 0 in: " + line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    listingVersion.clear();
    listingUnreadable.clear();

    MemoryAccess db;
    baseline(db);
    auto recorded = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue(recorded);
    auto controller = std::make_unique<kor::quorin::quorin>();
    controller->loadFromConfig(db, "");
    controller->commitToSystem(db, queue);
    checkLines(*recorded);

    std::vector<std::string> tableNames = {"", "Unknown"};
    for (const Table& table : kTables) tableNames.push_back(table.name);

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 13)) {
        case 0:
        case 1:
        case 2: editTable(in, db); break;
        case 3:
        case 4:
            if (controller->loadFromConfig(db, pick(in, tableNames))) controller->commitToSystem(db, queue);
            break;
        case 5: controller->commitToSystem(db, queue); break;
        case 6: controller->linkStatusEvent(device(in), in.ConsumeBool()); break;
        case 7: controller->newAddressEvent(device(in), dottedQuad(in)); break;
        case 8:
            // The service may be busy or gone a few times first.
            for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
                db.startAnswers.push_back(in.ConsumeIntegralInRange(1u, 4u));
            controller->removedAddressEvent(device(in), dottedQuad(in));
            break;
        case 9:
        case 10: {
            const std::string destination = dottedQuad(in);
            const int prefixLength = in.ConsumeIntegral<uint8_t>();
            const std::string via = gateway(in);
            const std::string dev = device(in);
            if (in.ConsumeBool())
                controller->AddRoute(destination, prefixLength, via, dev);
            else
                controller->DelRoute(destination, prefixLength, via, dev);
            break;
        }
        case 11: ++listingVersion[in.ConsumeIntegralInRange(256L, 264L)]; break;
        case 12: {
            bool& unreadable = listingUnreadable[in.ConsumeIntegralInRange(256L, 264L)];
            unreadable = !unreadable;
            break;
        }
        default: controller->setDebugMode(in.ConsumeBool()); break;
        }
        checkLines(*recorded);
    }

    controller.reset();
    checkLines(*recorded);
    return 0;
}
