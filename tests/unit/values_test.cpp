// The checks of configured values, driven by the table of values that the
// lab test also loads into the daemon (tests/data/config-values.tsv), and
// the texts that read as numbers.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "data_file.h"
#include "moduna/Value.h"
#include "values.h"

namespace {

namespace q = kor::quorin::checks;

// A number column as the configuration service keeps the value: a text
// here, which reads as the number it spells, if any.
std::function<bool(const std::string&)> number(const q::Range& range) {
    return [range](const std::string& v) {
        long long n;
        return q::isNumber(moduna::Value(v), range, n);
    };
}

const std::map<std::string, std::function<bool(const std::string&)>> checks = {
    {"device", [](const std::string& v) { return q::whyNotDeviceName(v).empty(); }},
    {"address", q::isDottedQuad},
    {"filter", q::isAddressFilter},
    {"proto", q::isProtocol},
    {"port", number(q::ports)},
    {"percent", number(q::percents)},
    {"timeout", number(q::stickyTimeouts)},
    {"id", number(q::ids)},
    {"enable", number(q::flags)},
    {"sticky", number(q::flags)},
    {"autobalance", number(q::flags)},
    {"column", [](const std::string& v) { return q::isColumnOf("BalancingInterfaces", v); }},
};
// Whether a row repeats another's uplink, only the reader can tell.
const char* const labOnly = "uplink";

}  // namespace

TEST(ConfiguredValues, EachValueOfTheTableGetsItsVerdict) {
    const auto lines = dataLines("config-values.tsv");
    for (const std::string& line : lines) {
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        ASSERT_NE(b, std::string::npos) << line;
        const std::string kind = line.substr(0, a), verdict = line.substr(a + 1, b - a - 1), value = line.substr(b + 1);
        if (kind == labOnly) continue;
        ASSERT_TRUE(checks.count(kind)) << line;
        EXPECT_EQ(checks.at(kind)(value), verdict == "ok") << kind << " \"" << value << "\"";
    }
    EXPECT_GT(lines.size(), 50u);
}

TEST(ConfiguredValues, OnlyDecimalTextsInTheIntRangeReadAsNumbers) {
    const std::pair<const char*, int> cases[] = {{"60", 60}, {"-3", -3}, {" 12 ", 12}, {"", 0}, {"abc", 0},
                                                 {"12abc", 0}, {"0x10", 0}, {"1.5", 0}, {"-", 0}, {"1 2", 0},
                                                 {"99999999999999999999999", 0}};
    for (const auto& c : cases) EXPECT_EQ(moduna::Value(c.first).getInteger(), c.second) << c.first;
    EXPECT_EQ(moduna::Value(4294967552LL).getInteger(), 0) << "out of the int range: 0, not wrapped";
    EXPECT_EQ(moduna::Value(4294967552LL).getText(), "4294967552");
}
