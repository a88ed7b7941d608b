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

    // One group (Id 1, client lan0, that "Autobalance") with one service,
    // and an uplink row per share: wanN (N from 0) with 10.0.N.2, or no
    // address for a share written negative ("-30": out).
    void oneGroup(long long autobalance, const std::vector<std::string>& shares, int firstUplink = 0) {
        tables["BalancingGroups"].push_back(
            {{"Id", 1LL}, {"ClientInterface", "lan0"}, {"Enable", 1LL}, {"Sticky", 0LL}, {"Autobalance", autobalance}});
        tables["BalancingServices"].push_back({{"Id", 1LL}, {"BalancingGroupId", 1LL}});
        for (size_t i = 0; i < shares.size(); ++i) {
            const std::string n = std::to_string(firstUplink + int(i)), name = "wan" + n;
            const bool out = shares[i][0] == '-';
            tables["BalancingInterfaces"].push_back(
                {{"BalancingGroupId", 1LL}, {"Interface", name}, {"UsagePercent", std::stoll(shares[i].substr(out))}});
            tables["StatusNetifWatch"].push_back({{"Name", name}, {"Addr", out ? "0.0.0.0" : "10.0." + n + ".2"}});
        }
    }

    std::map<std::string, std::vector<Row>> tables;
    std::deque<unsigned> answers;
    std::string counted;
    int starts = 0, ends = 0;
};
