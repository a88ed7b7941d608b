// Conversions of configuration values and result codes.

#include <gtest/gtest.h>

#include "moduna/ValueList.h"
#include "moduna/protocol/EResultCode.h"

using moduna::Value;
using moduna::ValueList;
using moduna::protocol::EResultCode;

TEST(Value, MissingColumnReadsAsEmptyAndZero) {
    ValueList values;
    values.setValue("Name", Value("wan1"));
    EXPECT_EQ(values.getValue("Other").getText(), "");
    EXPECT_EQ(values.getValue("Other").getInteger(), 0);
    EXPECT_FALSE(values.getValue("Other").isSet());
    values.clear();
    EXPECT_EQ(values.getValue("Name").getText(), "");
}

TEST(Value, IntegerAndTextConvertBothWays) {
    EXPECT_EQ(Value(42LL).getText(), "42");
    EXPECT_EQ(Value(-7LL).getText(), "-7");
    EXPECT_EQ(Value("60").getInteger(), 60);
    EXPECT_EQ(Value("-3").getInteger(), -3);
    EXPECT_EQ(Value(" 12 ").getInteger(), 12);
}

TEST(Value, TextThatIsNotADecimalNumberGivesZero) {
    for (const char* text : {"", "abc", "12abc", "0x10", "1.5", "-", "1 2", "99999999999999999999999"})
        EXPECT_EQ(Value(text).getInteger(), 0) << text;
    // Out of the int range: 0 rather than a wrapped number.
    EXPECT_EQ(Value(4294967552LL).getInteger(), 0);
    EXPECT_EQ(Value(4294967552LL).getLong(), 4294967552LL);
}

TEST(EResultCode, NamesAndRetryableCodes) {
    EResultCode rc(2);
    EXPECT_TRUE(rc.retryable());
    EXPECT_EQ(rc.toString(), "2 (RC_BUSY)");
    rc = 3;
    EXPECT_TRUE(rc.retryable());
    EXPECT_EQ(rc.toString(), "3 (RC_UNAVAILABLE)");
    rc = 1;
    EXPECT_FALSE(rc.retryable());
    EXPECT_FALSE(rc.ok());
    EXPECT_TRUE(EResultCode(0).ok());
    EXPECT_EQ(EResultCode(77).toString(), "77 (RC_UNKNOWN)");
}
