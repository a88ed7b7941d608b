// The configuration in memory, for the unit tests and the fuzzers that drive
// the controller: tables of rows, the tables whose entries were counted (a
// load's reads), and startTransaction answering as queued, then 0.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "kor/cfg/IConfigAccess.h"

struct MemoryAccess : kor::cfg::IConfigAccess {
    using Row = std::map<std::string, moduna::Value>;
    using EResultCode = moduna::protocol::EResultCode;

    EResultCode getEntryCount(const std::string& table, unsigned& count) override {
        counted += " " + table;
        count = unsigned(tables[table].size());
        return 0;
    }
    EResultCode readEntry(const std::string& table, unsigned index, moduna::NameList&,
                          moduna::ValueList& values) override {
        if (index >= tables[table].size()) return 4;
        for (const auto& cell : tables[table][index]) values.setValue(cell.first, cell.second);
        return 0;
    }
    EResultCode findEntry(const std::string& table, const std::string& key, const std::string& value,
                          moduna::NameList& names, moduna::ValueList& values) override {
        for (unsigned i = 0; i < tables[table].size(); ++i)
            if (tables[table][i].count(key) && tables[table][i][key].getText() == value)
                return readEntry(table, i, names, values);
        return 4;
    }
    EResultCode startTransaction() override {
        ++starts;
        const unsigned answer = answers.empty() ? 0 : answers.front();
        if (!answers.empty()) answers.pop_front();
        return answer;
    }
    EResultCode endTransaction() override {
        ++ends;
        return 0;
    }

    std::map<std::string, std::vector<Row>> tables;
    std::deque<unsigned> answers;
    std::string counted;
    int starts = 0, ends = 0;
};
