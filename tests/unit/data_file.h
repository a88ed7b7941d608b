#pragma once
// The tables of values and expected states in tests/data that the unit
// tests read.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

// The lines of tests/data/NAME but blank lines and "#" comments; "## "
// headings stay. A file that is missing or holds nothing fails the test.
inline std::vector<std::string> dataLines(const std::string& name) {
    std::ifstream in(QUORIN_TEST_DATA "/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && (line[0] != '#' || line.rfind("## ", 0) == 0)) lines.push_back(line);
    EXPECT_FALSE(lines.empty()) << "cannot read tests/data/" << name;
    return lines;
}

// Each "LEFT => RIGHT" line of tests/data/NAME: what(LEFT) must be RIGHT.
// Returns how many lines there are.
template <typename What>
size_t checkCases(const std::string& name, What what) {
    const auto lines = dataLines(name);
    for (const auto& text : lines) {
        const size_t arrow = text.find(" =>");
        EXPECT_EQ(what(text.substr(0, arrow)), text.substr(std::min(text.size(), arrow + 4))) << text;
    }
    return lines.size();
}
