// The member-table reconcile, from the table of tests/data/unit-reconcile.txt:
// the kernel's tables come from a reader in memory, and the lines queued by
// the reconcile are compared with those the case expects.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../memory_access.h"
#include "data_file.h"
#include "memory_routes.h"
#include "kor/cfg/RecordingExecutor.h"
#include "quorin.h"

namespace {

struct Case {
    std::string name;
    MemoryRoutes reader;
    bool result = true;
    std::vector<std::string> expected;
};

std::vector<Case> readCases() {
    std::vector<Case> cases;
    for (const std::string& line : dataLines("unit-reconcile.txt")) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "##") {
            cases.emplace_back();
            in >> verb >> cases.back().name;
            continue;
        }
        Case& c = cases.back();
        uint32_t table = 254;
        if (verb == "table" || verb == "unreadable") in >> table;
        std::string route;
        if ((verb == "main" || verb == "table") && std::getline(in >> std::ws, route)) c.reader.add(table, route);
        if (verb == "unreadable") c.reader.unreadable.insert(table);
        if (verb == "result") c.result = line.substr(7) == "true";
        if (verb == "expect") c.expected.push_back(line.substr(7));
    }
    return cases;
}

TEST(Reconcile, EachMemberTableGetsTheLinesThatMakeItEqualTheMainTable) {
    for (Case& c : readCases()) {
        SCOPED_TRACE(c.name);
        MemoryAccess db;
        db.oneGroup(0, {"50", "50"}, 1);
        auto rec = std::make_shared<kor::cfg::RecordingExecutor>();
        kor::cfg::ActionQueue queue{rec};
        kor::quorin::quorin ctl;
        ctl.loadFromConfig(db, "");
        ctl.commitToSystem(db, queue);
        rec->lines.clear();
        EXPECT_EQ(ctl.reconcileMemberTables(c.reader), c.result);
        EXPECT_EQ(rec->lines, c.expected);
        rec->lines.clear();
    }
}

}  // namespace
