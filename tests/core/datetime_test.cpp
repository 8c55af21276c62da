#include <gtest/gtest.h>

#include "core/datetime.h"
#include "core/exceptions.h"

TEST(DateTime, EpochAndKnownDays) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1), 36526.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
    DateParts p = DecodeDateTime(-1.25);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.hour, 6);
    p = DecodeDateTime(EncodeDateTime(2026, 1, 1) - 1e-10);  // rounding at midnight
    EXPECT_EQ(p.day, 1);
    EXPECT_EQ(p.hour, 0);
}
