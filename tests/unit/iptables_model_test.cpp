// The iptables batch's model of the mangle table: the renderings of
// tests/data/iptables-renderings.txt and the cases of
// tests/data/unit-iptables-model.txt.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "data_file.h"
#include "kor/kernel/CommandRunner.h"
#include "kor/kernel/MangleModel.h"

namespace {

using kor::kernel::MangleModel;

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

TEST(IptablesModel, RendersRulesAsIptablesDoes) {
    EXPECT_GT(checkCases("iptables-renderings.txt",
                         [](const std::string& rule) {
                             std::string rendered;
                             return kor::kernel::renderRule(words(rule), rendered) ? rendered : "REFUSED";
                         }),
              10u);
}

struct Case {
    std::string name, snapshot, transaction, listed;
    std::set<std::string> sets;
    std::vector<std::string> lines, statuses, chains;
};

// Runs the command lines of the case on its snapshot: the statuses per
// line, the transaction and the listing afterwards.
void check(const Case& c) {
    SCOPED_TRACE(c.name);
    MangleModel model;
    ASSERT_TRUE(model.parse(c.snapshot));
    model.setExistingSets(c.sets);
    std::string transaction, listed;
    for (size_t i = 0; i < c.lines.size(); ++i) {
        std::string statuses;
        for (const auto& chain : kor::kernel::parseCommandLine(c.lines[i]).chains)
            for (const auto& command : chain) {
                kor::kernel::IptablesCommand parsed;
                kor::kernel::CommandOutcome outcome;
                auto v = MangleModel::Verdict::Unknown;
                if (kor::kernel::parseIptablesCommand(command.words, parsed))
                    v = model.apply(parsed, "iptables v1.8.9 (nf_tables)", outcome);
                statuses += (statuses.empty() ? "" : " ") +
                            (v == MangleModel::Verdict::Unknown ? "?" : std::to_string(outcome.status));
                if (v == MangleModel::Verdict::Done && parsed.op != kor::kernel::IptablesCommand::Op::Check)
                    transaction += parsed.restoreLine + "\n";
                if (v != MangleModel::Verdict::Failed) break;
            }
        EXPECT_EQ(statuses, c.statuses[i]) << c.lines[i];
    }
    for (const auto& chain : c.chains) listed += model.listChain(chain);
    EXPECT_EQ(transaction, c.transaction);
    EXPECT_EQ(listed, c.listed);
}

TEST(IptablesModel, CarriesOutCommandsAsIptablesWould) {
    std::vector<Case> cases;
    for (const auto& line : dataLines("unit-iptables-model.txt")) {
        if (line.rfind("## ", 0) == 0) cases.push_back(Case{line.substr(3), "", "", "", {}, {}, {}, {}});
        ASSERT_FALSE(cases.empty()) << line;
        Case& c = cases.back();
        const std::string rest = line.substr(2);
        if (line[0] == '<') c.snapshot += rest + "\n";
        if (line[0] == '@') c.sets.insert(rest);
        if (line[0] == '+') c.transaction += rest + "\n";
        if (line[0] == '>') c.listed += rest + "\n";
        if (line[0] == '>' && rest.rfind("-A ", 0) != 0) c.chains.push_back(words(rest)[1]);
        if (line[0] == '$') {
            const size_t arrow = rest.rfind(" => ");
            c.lines.push_back(rest.substr(0, arrow));
            c.statuses.push_back(rest.substr(arrow + 4));
        }
    }
    EXPECT_GE(cases.size(), 5u);
    for (const auto& c : cases) check(c);
}

}  // namespace
