// The checks of configured values, driven by the table of values that the
// lab test also loads into the daemon (tests/data/config-values.tsv), and
// the texts that read as numbers.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "moduna/Value.h"
#include "values.h"

namespace {

using kor::quorin::checks::isAddressFilter;
using kor::quorin::checks::isDottedQuad;
using kor::quorin::checks::isPercent;
using kor::quorin::checks::isPort;
using kor::quorin::checks::isProtocol;
using kor::quorin::checks::isStickyTimeout;
using kor::quorin::checks::whyNotDeviceName;

const std::map<std::string, std::function<bool(const std::string&)>> checks = {
    {"device", [](const std::string& v) { return whyNotDeviceName(v).empty(); }},
    {"address", isDottedQuad},
    {"filter", isAddressFilter},
    {"proto", isProtocol},
    {"port", [](const std::string& v) { return isPort(std::stoll(v)); }},
    {"percent", [](const std::string& v) { return isPercent(std::stoll(v)); }},
    {"timeout", [](const std::string& v) { return isStickyTimeout(std::stoll(v)); }},
};

}  // namespace

TEST(ConfiguredValues, EachValueOfTheTableGetsItsVerdict) {
    std::ifstream table(QUORIN_TEST_DATA "/config-values.tsv");
    ASSERT_TRUE(table) << "cannot read the table of values";
    std::string line;
    int rows = 0;
    while (std::getline(table, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        ASSERT_NE(b, std::string::npos) << line;
        const std::string kind = line.substr(0, a), verdict = line.substr(a + 1, b - a - 1), value = line.substr(b + 1);
        ASSERT_TRUE(checks.count(kind)) << line;
        EXPECT_EQ(checks.at(kind)(value), verdict == "ok") << kind << " \"" << value << "\"";
        ++rows;
    }
    EXPECT_GT(rows, 50);
}

TEST(ConfiguredValues, OnlyDecimalTextsInTheIntRangeReadAsNumbers) {
    const std::pair<const char*, int> cases[] = {{"60", 60}, {"-3", -3}, {" 12 ", 12}, {"", 0}, {"abc", 0},
                                                 {"12abc", 0}, {"0x10", 0}, {"1.5", 0}, {"-", 0}, {"1 2", 0},
                                                 {"99999999999999999999999", 0}};
    for (const auto& c : cases) EXPECT_EQ(moduna::Value(c.first).getInteger(), c.second) << c.first;
    EXPECT_EQ(moduna::Value(4294967552LL).getInteger(), 0) << "out of the int range: 0, not wrapped";
    EXPECT_EQ(moduna::Value(4294967552LL).getText(), "4294967552");
}
