#pragma once
// Helpers for tests that drive the model: command lines joined with +, and an
// in-memory configuration with tables of rows, the tables counted, and
// scripted answers to startTransaction.

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "kor/cfg/IConfigAccess.h"
#include "moduna/Value.h"

namespace quorin_test {

using moduna::Value;
using moduna::protocol::EResultCode;

using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Row = std::map<std::string, Value>;

class MemoryAccess : public kor::cfg::IConfigAccess {
public:
    EResultCode getEntryCount(const std::string& table, unsigned& count) override {
        counted.push_back(table);
        count = unsigned(tables[table].size());
        return 0;
    }
    EResultCode readEntry(const std::string& table, unsigned index, moduna::NameList&,
                          moduna::ValueList& values) override {
        auto& rows = tables[table];
        if (index >= rows.size()) return 4;
        for (const auto& c : rows[index]) values.setValue(c.first, c.second);
        return 0;
    }
    EResultCode findEntry(const std::string& table, const std::string& key, const std::string& value,
                          moduna::NameList&, moduna::ValueList& values) override {
        for (const auto& row : tables[table]) {
            auto it = row.find(key);
            if (it != row.end() && it->second.getText() == value) {
                for (const auto& c : row) values.setValue(c.first, c.second);
                return 0;
            }
        }
        return 4;
    }
    EResultCode startTransaction() override {
        ++starts;
        if (startAnswers.empty()) return 0;
        unsigned rc = startAnswers.front();
        startAnswers.pop_front();
        return rc;
    }
    EResultCode endTransaction() override {
        ++ends;
        return 0;
    }
    std::map<std::string, std::vector<Row>> tables;
    std::vector<std::string> counted;
    std::deque<unsigned> startAnswers;
    int starts = 0, ends = 0;
};

inline Row group(int id, const std::string& client, int enable = 1, int sticky = 0, int autobalance = 0) {
    return {{"Id", Value(id)}, {"ClientInterface", Value(client)}, {"Enable", Value(enable)},
            {"Sticky", Value(sticky)}, {"Autobalance", Value(autobalance)}};
}
inline Row uplink(int groupId, const std::string& name, int percent) {
    return {{"BalancingGroupId", Value(groupId)}, {"Interface", Value(name)}, {"UsagePercent", Value(percent)}};
}
inline Row status(const std::string& name, const std::string& addr) { return {{"Name", Value(name)}, {"Addr", Value(addr)}}; }
inline Row service(int id, int groupId, const std::string& proto, int dport) {
    return {{"Id", Value(id)}, {"BalancingGroupId", Value(groupId)}, {"Proto", Value(proto)},
            {"DstPortStart", Value(dport)}, {"DstPortEnd", Value(dport)}};
}

}  // namespace quorin_test
