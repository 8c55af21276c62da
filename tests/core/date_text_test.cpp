#include <gtest/gtest.h>

#include "core/date_text.h"
#include "core/datetime.h"
#include "core/exceptions.h"

namespace {

const TDateTime kDt = EncodeDateTime(2026, 12, 5, 18, 5, 9, 42);

}  // namespace

TEST(DateText, WrittenForms) {
    const TDateTime noMs = EncodeDateTime(2026, 12, 5, 18, 5, 9);
    const TDateTime midnight = EncodeDateTime(2026, 12, 5);
    const struct { std::string got, want; } cases[] = {
        {DateTimeToSqlText(noMs), "2026-12-05 18:05:09"},
        {DateToSqlText(kDt), "2026-12-05"},
        {TimeToSqlText(kDt), "18:05:09"},
        {DateTimeToText(noMs), "05.12.2026 18:05:09"},
        {DateTimeToText(midnight), "05.12.2026"},
        {DateTimeToFullText(midnight), "05.12.2026 00:00:00"},
        {DateToText(kDt), "05.12.2026"},
        {DateToYYMMDD(kDt), "261205"},
        {PacketDateText(kDt), "20261205"},
        {PacketTimeText(kDt), "18:05:09042"},
        {PacketDateTimeText(kDt), "20261205T18:05:09042"},
        {FormatDateTimePattern(kDt, "d/m/yy h:n:s.z", '-', '.'), "5-12-26 18.5.9.42"},
        {FormatDateTimePattern(kDt, "dd/mm/yyyy hh:nn:ss.zzz 'x'", '/', ':'), "05/12/2026 18:05:09.042 'x'"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(DateText, ProcessSqlAndPacketTextsRead) {
    EXPECT_EQ(TextToDateTime("2026-12-05 18:05:09.042"), kDt);
    EXPECT_EQ(TextToDateTime("05.12.2026 18:05:09"), EncodeDateTime(2026, 12, 5, 18, 5, 9));
    EXPECT_EQ(TextToDateTime("05.12.2026 18:05"), EncodeDateTime(2026, 12, 5, 18, 5));
    EXPECT_EQ(TextToDateTime("2026-12-05 18:05"), EncodeDateTime(2026, 12, 5, 18, 5));
    for (const char* bad : {"2026-02-30", "garbage", "05.12.2026 18", "2026-12-05 18:05:09.042x"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(TextToDateTime(bad), EConvertError);
    }
    // SQL texts (S: date and time, T: time) and packet texts (D, X: date and time, M: time).
    const TDateTime day = EncodeDateTime(2026, 12, 5);
    const struct { char kind; const char* text; bool ok; TDateTime want; } cases[] = {
        {'S', "2026-12-05 18:05:09.042000", true, kDt},
        {'S', "2026-12-05", true, day},
        {'S', "0000-00-00 00:00:00", false, 0},
        {'S', "", false, 0},
        {'T', "18:05:09.042", true, kDt - day},
        {'T', "-01:00:00", true, -1.0 / 24},
        {'T', "100:00:00", true, 100.0 / 24},
        {'T', "18:05", false, 0},
        {'D', "20261205", true, day},
        {'D', " 2026-12-05 ", true, day},
        {'D', "20261205T18:05:09042", true, day},
        {'X', "20261205T18:05:09042", true, kDt},
        {'X', "2026-12-05T18:05:09.042", true, kDt},
        {'X', "2026-12-05 18:05:09,042", true, kDt},
        {'X', "20261205T18:05", true, EncodeDateTime(2026, 12, 5, 18, 5)},
        {'M', "18:05:09042", true, kDt - day},
        {'M', "20261205T18:05:09", true, EncodeDateTime(1899, 12, 30, 18, 5, 9)},
        {'D', "2026-1205", false, 0},
        {'D', "20261305", false, 0},
        {'X', "20261205T18", false, 0},
        {'X', "20261205T18:05:09.", false, 0},
        {'M', "", false, 0},
    };
    using K = TPacketDateKind;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(1, c.kind) + " " + c.text);
        TDateTime dt = -7;
        const K kind = c.kind == 'D' ? K::Date : c.kind == 'X' ? K::DateTime : K::Time;
        const bool ok = c.kind == 'S'   ? ParseSqlDateTimeText(c.text, dt)
                        : c.kind == 'T' ? ParseSqlTimeText(c.text, dt)
                                        : ParsePacketDateText(kind, c.text, dt);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_NEAR(dt, c.want, 1e-9);
        }
    }
}

TEST(DateText, ScannedByNotation) {
    const int year = DecodeDateTime(Date()).year;
    const struct { const char* text; const char* format; bool ok; TDateTime want; size_t end; } dates[] = {
        {"05.12.2026", "dd.mm.yyyy", true, EncodeDateTime(2026, 12, 5), 10},
        {" 12.05.26 x", "mm.dd.yy", true, EncodeDateTime(2026, 12, 5), 9},
        {"5.12.49", "dd.mm.yyyy", true, EncodeDateTime(2049, 12, 5), 7},
        {"5.12.50", "dd.mm.yyyy", true, EncodeDateTime(1950, 12, 5), 7},
        {"15.03", "dd.mm.yyyy", true, EncodeDateTime(year, 3, 15), 5},
        {"2026.12.05", "odd", false, 0, 0},
        {"15", "dd.mm.yyyy", false, 0, 0},
        {"31.02.2026", "dd.mm.yyyy", false, 0, 0},
        {"32.01.2026", "dd.mm.yyyy", false, 0, 0},
        {"31.01.2026", "dd.mm.yyyy", true, EncodeDateTime(2026, 1, 31), 10},
        {"", "dd.mm.yyyy", false, 0, 0},
    };
    for (const auto& c : dates) {
        SCOPED_TRACE(c.text);
        size_t i = 0;
        TDateTime dt = -7;
        ASSERT_EQ(ScanDateText(c.text, i, c.format, '.', dt), c.ok);
        if (c.ok) {
            EXPECT_EQ(dt, c.want);
            EXPECT_EQ(i, c.end);
        }
    }
    const struct { const char* text; bool ok; TDateTime want; } times[] = {
        {" 18:05:09.042 ", true, kDt - EncodeDateTime(2026, 12, 5)},
        {"18:05:09.4", true, EncodeDateTime(1899, 12, 30, 18, 5, 9, 400)},
        {"7:5", true, EncodeDateTime(1899, 12, 30, 7, 5)},
        {"18", false, 0},
        {"24:00", false, 0},
        {"18:60", false, 0},
        {"18:", false, 0},
        {"18:05:09.", false, 0},
        {"  ", false, 0},
    };
    for (const auto& c : times) {
        SCOPED_TRACE(c.text);
        size_t i = 0;
        TDateTime dt = -7;
        ASSERT_EQ(ScanTimeText(c.text, i, ':', dt), c.ok);
        if (c.ok) {
            EXPECT_NEAR(dt, c.want, 1e-9);
            EXPECT_EQ(i, std::string(c.text).size());
        }
    }
}

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
