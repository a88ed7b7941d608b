#pragma once
// The columns of one configuration entry.

#include <map>
#include <string>

#include "moduna/Value.h"

namespace moduna {

class ValueList {
public:
    // The value of a column; a column the entry lacks gives an empty value
    // ("" as text, 0 as integer).
    Value getValue(const std::string& column) const;
    void setValue(const std::string& column, const Value& value) { values_[column] = value; }
    bool has(const std::string& column) const { return values_.count(column) != 0; }
    void clear() { values_.clear(); }
    bool empty() const { return values_.empty(); }
    size_t size() const { return values_.size(); }
    const std::map<std::string, Value>& values() const { return values_; }

private:
    std::map<std::string, Value> values_;
};

}  // namespace moduna
