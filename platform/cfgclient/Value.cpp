#include "moduna/NameList.h"
#include "moduna/Value.h"
#include "moduna/ValueList.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace moduna {

namespace {

// Parses an optionally signed decimal number with optional blanks around it.
bool parseDecimal(const std::string& text, long long& out) {
    size_t i = 0, n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
    size_t digits = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits) return false;
    size_t end = i;
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i != n) return false;
    errno = 0;
    long long v = strtoll(text.substr(start, end - start).c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    out = v;
    return true;
}

}  // namespace

std::string Value::getText() const {
    switch (kind_) {
    case Kind::Integer: return std::to_string(integer_);
    case Kind::Text: return text_;
    default: return "";
    }
}

long long Value::getLong() const {
    long long v = 0;
    return getNumber(v) ? v : 0;
}

bool Value::getNumber(long long& out) const {
    if (kind_ == Kind::Integer) out = integer_;
    return kind_ == Kind::Integer || (kind_ == Kind::Text && parseDecimal(text_, out));
}

int Value::getInteger() const {
    long long v = getLong();
    if (v > INT_MAX || v < INT_MIN) return 0;
    return int(v);
}

bool Value::operator==(const Value& other) const {
    return kind_ == other.kind_ && integer_ == other.integer_ && text_ == other.text_;
}

Value ValueList::getValue(const std::string& column) const {
    auto it = values_.find(column);
    return it == values_.end() ? Value() : it->second;
}

bool NameList::contains(const std::string& name) const {
    for (const auto& n : names_)
        if (n == name) return true;
    return false;
}

}  // namespace moduna
