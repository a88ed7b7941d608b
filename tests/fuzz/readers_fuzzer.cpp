// The controller fed with random configuration tables and network events.
// Starting from a working configuration of the eight tables it follows, the
// fuzz input decodes into a sequence of edits of their rows, loads, commits,
// link, address and route events. The values come from texts and numbers
// that matter to it (names that clash or resolve through InterfaceMapping,
// texts that are no device name or address, numbers at and beyond the ends
// of their ranges). The configuration is in memory and the command lines
// are recorded, not run.
//
// The columns and the kinds of their values, the values of each kind, the
// configuration every input starts from, the device names of events and
// the tables a load names are in readers.json. The values of a working
// router come first in each list (an input that runs out of bytes picks
// them), then texts that are no device name or address and numbers at and
// beyond the ends of their ranges. The starting router works: two groups,
// one of them sticky, sharing the uplink wan1, names resolved through
// InterfaceMapping, and a service each. The device names are the names of
// the values, those that are no kernel device name (1 to 15 bytes, no "/",
// ":" or blank, not "." or "..") as "wan1": the network-status service
// reports no others. A load names no table, one it does not read, or one
// of the eight.
//
// No crash, no sanitizer report, no command line that names routing table 0
// (every table, for ip) and none that the command runner would refuse.
//
// A member's table is fingerprinted from its listing; the listings come
// from memory, made up per table, so the fuzzer starts no process and the
// route events can make a table look changed.

#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "kor/kernel/CommandRunner.h"
#include "kor/cfg/RecordingExecutor.h"
#include "quorin.h"
#include "../memory_access.h"

using moduna::Value;
using json = nlohmann::ordered_json;

namespace {

// Per table number: twice the number of changes of its listing, plus one
// while it cannot be read.
std::map<long, unsigned> listings;

// Only the listing of a table other than 0 is asked for.
struct Listings : kor::quorin::KernelLister {
    Listings() { kor::quorin::OutInterface::setTableLister(this); }
    bool list(const std::vector<std::string>& argv, std::string& output) override {
        const long table = argv.size() == 5 ? std::atol(argv[4].c_str()) : 0;
        FUZZ_CHECK(table != 0 && argv[1] == "route", "a listing of: " + argv[argv.size() - 1]);
        output = "default dev uplink scope link version " + std::to_string(listings[table] / 2) + "\n";
        return !(listings[table] & 1);
    }
} memoryListings;

const json kData = json::parse(std::ifstream(QUORIN_FUZZ_DATA "/readers.json"), nullptr, false, true);

size_t pick(FuzzedDataProvider& in, const json& list) { return in.ConsumeIntegralInRange<size_t>(0, list.size() - 1); }
const json& pickFrom(FuzzedDataProvider& in, const json& list) { return list[pick(in, list)]; }
std::string pickText(FuzzedDataProvider& in, const char* list) { return pickFrom(in, kData[list]); }

Value value(const json& v) { return v.is_string() ? Value(v.get<std::string>()) : Value(v.get<long long>()); }

// The working router's tables, to start from.
MemoryAccess startingRouter() {
    MemoryAccess db;
    for (const auto& table : kData["start"].items())
        for (const auto& row : table.value()) {
            MemoryAccess::Row& cells = db.tables[table.key()].emplace_back();
            for (const auto& cell : row.items()) cells[cell.key()] = value(cell.value());
        }
    return db;
}

// Sets or deletes one cell (of a new row, too), or deletes a row. A value
// is of the column's kind, a number now and then as its text, and now and
// then any text.
void editTable(FuzzedDataProvider& in, MemoryAccess& db) {
    const auto table = std::next(kData["columns"].begin(), long(pick(in, kData["columns"])));
    auto& rows = db.tables[table.key()];
    const size_t index = in.ConsumeIntegralInRange<size_t>(0, rows.size());
    if (index == rows.size()) rows.emplace_back();
    const auto column = std::next(table->begin(), long(pick(in, *table)));
    const int op = in.ConsumeIntegralInRange(0, 7);
    if (op == 0) rows[index].erase(column.key());
    if (op == 1) rows.erase(rows.begin() + long(index));
    if (op < 2) return;
    const int form = in.ConsumeIntegralInRange(0, 7);
    const json v = form == 6 ? json(in.ConsumeRandomLengthString(20)) : pickFrom(in, kData["values"][std::string(*column)]);
    rows[index][column.key()] = form == 7 && v.is_number() ? Value(std::to_string(v.get<long long>())) : value(v);
}

std::string dottedQuad(FuzzedDataProvider& in) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += (i ? "." : "") + std::to_string(in.ConsumeIntegral<uint8_t>());
    return out;
}

// Every new recorded line is one the runner takes, and no word after
// "table" or "lookup" reads as 0 (ip takes 00, 0x0 and -0 too). Most lines
// recur in every input (those of the starting configuration above all);
// each is checked once.
void checkLines(kor::cfg::RecordingExecutor& recorded) {
    static const std::regex tableZero(R"((^|[ \t;])(table|lookup)[ \t]+[-+]?(0+|0[xX]0+)([ \t;]|$))");
    static std::unordered_set<std::string> checked;
    if (checked.size() > 100000) checked.clear();
    for (const std::string& line : recorded.take()) {
        if (!checked.insert(line).second) continue;
        const kor::kernel::ParsedLine parsed = kor::kernel::parseCommandLine(line);
        FUZZ_CHECK(parsed.ok, "the runner refuses \"" + line + "\": " + parsed.error);
        FUZZ_CHECK(!std::regex_search(line, tableZero), "routing table 0 in: " + line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(!kData.is_discarded(), "cannot read " QUORIN_FUZZ_DATA "/readers.json");
    FuzzedDataProvider in(data, size);
    listings.clear();
    MemoryAccess db = startingRouter();
    auto recorded = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue(recorded);
    auto controller = std::make_unique<kor::quorin::quorin>();
    controller->loadFromConfig(db, "");
    controller->commitToSystem(db, queue);
    checkLines(*recorded);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 13)) {
        case 0: case 1: case 2: editTable(in, db); break;
        case 3: case 4: if (controller->loadFromConfig(db, pickText(in, "loads"))) controller->commitToSystem(db, queue); break;
        case 5: controller->commitToSystem(db, queue); break;
        case 6: controller->linkStatusEvent(pickText(in, "devices"), in.ConsumeBool()); break;
        case 7: controller->newAddressEvent(pickText(in, "devices"), dottedQuad(in)); break;
        case 8:
            // The service may be busy or gone a few times first.
            for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
                db.answers.push_back(in.ConsumeIntegralInRange(1u, 4u));
            controller->removedAddressEvent(pickText(in, "devices"), dottedQuad(in));
            break;
        case 9: case 10: {
            const std::string destination = dottedQuad(in);
            const int prefixLength = in.ConsumeIntegral<uint8_t>(), via = in.ConsumeIntegralInRange(0, 2);
            const std::string gateway = via == 0 ? "" : via == 1 ? "0.0.0.0" : dottedQuad(in), device = pickText(in, "devices");
            const auto event = in.ConsumeBool() ? &kor::quorin::quorin::AddRoute : &kor::quorin::quorin::DelRoute;
            (controller.get()->*event)(destination, prefixLength, gateway, device);
            break;
        }
        case 11: listings[in.ConsumeIntegralInRange(256L, 264L)] += 2; break;
        case 12: listings[in.ConsumeIntegralInRange(256L, 264L)] ^= 1; break;
        default: controller->setDebugMode(in.ConsumeBool()); break;
        }
        checkLines(*recorded);
    }
    controller.reset();
    checkLines(*recorded);
    return 0;
}
