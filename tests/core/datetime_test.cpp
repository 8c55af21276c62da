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
}

TEST(DateTime, TextForms) {
    TDateTime dt = EncodeDateTime(2026, 12, 5, 18, 5, 9);
    EXPECT_EQ(DateTimeToSqlText(dt), "2026-12-05 18:05:09");
    EXPECT_EQ(DateTimeToText(dt), "05.12.2026 18:05:09");
    EXPECT_EQ(DateTimeToText(EncodeDateTime(2026, 12, 5)), "05.12.2026");
    EXPECT_EQ(DateToYYMMDD(dt), "261205");
    EXPECT_EQ(TextToDateTime("2026-12-05 18:05:09"), dt);
    EXPECT_EQ(TextToDateTime("05.12.2026 18:05:09"), dt);
    EXPECT_THROW(TextToDateTime("2026-02-30"), EConvertError);
    EXPECT_THROW(TextToDateTime("garbage"), EConvertError);
}

TEST(DateTime, SurvivesRoundingAtMidnight) {
    DateParts p = DecodeDateTime(EncodeDateTime(2026, 1, 1) - 1e-10);
    EXPECT_EQ(p.day, 1);
    EXPECT_EQ(p.hour, 0);
}
