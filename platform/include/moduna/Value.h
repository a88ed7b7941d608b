#pragma once
// A configuration value: an integer or a text.

#include <string>

namespace moduna {

class Value {
public:
    enum class Kind { None, Integer, Text };

    Value() = default;
    Value(int integer) : kind_(Kind::Integer), integer_(integer) {}
    Value(long long integer) : kind_(Kind::Integer), integer_(integer) {}
    Value(const std::string& text) : kind_(Kind::Text), text_(text) {}
    Value(const char* text) : kind_(Kind::Text), text_(text) {}

    Kind kind() const { return kind_; }
    bool isInteger() const { return kind_ == Kind::Integer; }
    bool isText() const { return kind_ == Kind::Text; }
    bool isSet() const { return kind_ != Kind::None; }

    // An integer gives its decimal text; a missing value gives "".
    std::string getText() const;
    // A text that is a decimal number (optional sign, digits only, blanks
    // around allowed) gives that number; any other text and a missing value
    // give 0.
    int getInteger() const;
    long long getLong() const;
    // The number an integer holds, or a text that getLong reads as one;
    // false for any other text (a word, "1.5", a number beyond 64 bits) and
    // for a missing value, which getLong gives as 0.
    bool getNumber(long long& out) const;

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    Kind kind_ = Kind::None;
    long long integer_ = 0;
    std::string text_;
};

}  // namespace moduna
