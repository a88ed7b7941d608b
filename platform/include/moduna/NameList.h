#pragma once
// An ordered list of names: table names, or the columns a read asks for.

#include <string>
#include <vector>

namespace moduna {

class NameList {
public:
    void add(const std::string& name) { names_.push_back(name); }
    void push_back(const std::string& name) { names_.push_back(name); }
    void clear() { names_.clear(); }
    bool empty() const { return names_.empty(); }
    size_t size() const { return names_.size(); }
    const std::string& operator[](size_t i) const { return names_[i]; }
    bool contains(const std::string& name) const;
    std::vector<std::string>::const_iterator begin() const { return names_.begin(); }
    std::vector<std::string>::const_iterator end() const { return names_.end(); }

private:
    std::vector<std::string> names_;
};

}  // namespace moduna
