#include "core/text.h"

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/format.h"

namespace {

using V = std::vector<std::string>;

TEST(SplitTest, ByCharsAndDelimitedText) {
    EXPECT_EQ(SplitByChars("a:b:", ":", false), (V{"a", "b"}));
    EXPECT_EQ(SplitByChars("a:b:", ":", true), (V{"a", "b"}));
    EXPECT_EQ(SplitByChars("a::b", ":", true), (V{"a", "", "b"}));
    EXPECT_EQ(SplitByChars("a::b", ":", false), (V{"a", "b"}));
    EXPECT_EQ(SplitByChars(":a", ":", true), (V{"", "a"}));
    EXPECT_EQ(SplitByChars("", ":", true), V{});
    EXPECT_EQ(SplitByChars("x", ":", true), V{"x"});
    EXPECT_EQ(SplitByChars(":", ":", true), V{""});
    EXPECT_EQ(SplitByChars("\"a:b\"", ":", false), (V{"\"a", "b\""}));  // quotes mean nothing
    EXPECT_EQ(SplitByChars("PAY:1:2;3", ":;", false), (V{"PAY", "1", "2", "3"}));
    // Delimited text: quotes group and double.
    EXPECT_EQ(SplitDelimitedText("a,\"b,c\",,d,", ","), (V{"a", "b,c", "", "d"}));
    EXPECT_EQ(SplitDelimitedText("\"say \"\"hi\"\"\"", ","), V{"say \"hi\""});
    EXPECT_EQ(SplitDelimitedText("1|name|pass\r\n2|x|y\r\n", "|\r\n"), (V{"1", "name", "pass", "2", "x", "y"}));
    EXPECT_EQ(SplitDelimitedText("a\n\nb", "\n"), (V{"a", "", "b"}));
    EXPECT_EQ(SplitDelimitedText("", ","), V{});
    EXPECT_EQ(SplitDelimitedText(",", ","), V{""});
    EXPECT_EQ(SplitDelimitedText("ab\"cd\"ef", ","), V{"abcdef"});
    EXPECT_EQ(SplitDelimitedText("\"unterminated,x", ","), V{"unterminated,x"});
    V list{"keep"};
    ParseDelimitedText("a,b", list, ",", false);
    EXPECT_EQ(list, (V{"keep", "a", "b"}));
    ParseDelimitedText("c", list, ",", true);
    EXPECT_EQ(list, V{"c"});
}

TEST(TextTest, BooleanCharactersQuotesAndBracketNumbers) {
    EXPECT_EQ(std::string(BoolChars[false]) + BoolChars[true], "FT");
    std::string digits;
    for (const char* s : {"", "0123", "12a", "-1"}) digits += IsDigitsOnly(s) ? '1' : '0';
    EXPECT_EQ(digits, "1100");
    EXPECT_EQ(Format("%d %d %d %d", {LastCharPos('_', "ARTICLE_NZOK_12", 0), LastCharPos('_', "ARTICLE_NZOK_12", 1),
                                     LastCharPos('_', "ARTICLE_NZOK_12", 2), LastCharPos('_', "", 0)}),
              "13 8 0 0");
    std::string quoted;
    for (const char* s : {" ", "", "\"", "/data/with blank/x.rar", "  "}) quoted += QuoteIfSingleBlank(s) + "|";
    EXPECT_EQ(quoted, "\" \"||\"|/data/with blank/x.rar|  |");
    V names{"article", Cp(u8"аптека"), ""};
    UpperCaseStrings(names);
    EXPECT_EQ(names, (V{"ARTICLE", Cp(u8"АПТЕКА"), ""}));
    EXPECT_TRUE(StrToBoolTF("T"));
    for (const char* s : {"t", "F", "", "TRUE", "T "}) EXPECT_FALSE(StrToBoolTF(s)) << s;
    std::string removed;
    for (const char* s : {"\"a b\"", "\"", "\"\"", "\"a", "", "a"}) removed += RemoveQuotes(s) + "|";
    EXPECT_EQ(removed, "a b|||\"a||a|");
    EXPECT_EQ(ExtractBracketNumber("xml[12].cds"), 12);
    EXPECT_EQ(ExtractBracketNumber("T[7][9]"), 7);
    // In the last: the first "]" comes before the "[".
    for (const char* s : {"abc", "a[]", "a[x1]", "a[3", "a]1[2]"}) EXPECT_EQ(ExtractBracketNumber(s), 0) << s;

    V list{"B[10].xml", "A[2].xml", "C[2].xml", "plain.xml", "D[1].xml"};
    SortByBracketNumber(list);
    EXPECT_EQ(list, (V{"plain.xml", "D[1].xml", "A[2].xml", "C[2].xml", "B[10].xml"}));
    V empty;
    SortByBracketNumber(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(Cp1251, ConvertsCyrillicBothWays) {
    std::string cp = Cp(u8"Файл: Ред");
    EXPECT_EQ(cp, std::string("\xD4\xE0\xE9\xEB: \xD0\xE5\xE4"));
    EXPECT_EQ(Cp1251ToUtf8(cp), "Файл: Ред");
    EXPECT_EQ(Cp1251ToUtf16(cp), u"Файл: Ред");
    EXPECT_EQ(Utf16ToCp1251(u"Файл: Ред"), cp);
    // Characters without a form become question marks.
    EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD" "b"), "a?b");      // CJK letter
    EXPECT_EQ(Utf8ToCp1251("\xC3"), "?");                     // cut sequence
    EXPECT_EQ(Cp1251ToUtf8(std::string("\x98", 1)), "?");     // unused byte
}

TEST(Cp1251, ExtendedBytesMapBothWaysAndCaseCoversCyrillic) {
    // The characters of the bytes 0x80-0xBF, sixteen a line; 0x98 has none.
    const std::u16string high =
        u"\u0402\u0403\u201A\u0453\u201E\u2026\u2020\u2021\u20AC\u2030\u0409\u2039\u040A\u040C\u040B\u040F"
        u"\u0452\u2018\u2019\u201C\u201D\u2022\u2013\u2014?\u2122\u0459\u203A\u045A\u045C\u045B\u045F"
        u"\u00A0\u040E\u045E\u0408\u00A4\u0490\u00A6\u00A7\u0401\u00A9\u0404\u00AB\u00AC\u00AD\u00AE\u0407"
        u"\u00B0\u00B1\u0406\u0456\u0491\u00B5\u00B6\u00B7\u0451\u2116\u0454\u00BB\u0458\u0405\u0455\u0457";
    for (int b = 0x80; b < 0xC0; ++b) {
        SCOPED_TRACE(b);
        const std::string byte(1, static_cast<char>(b));
        const std::u16string ch(1, high[b - 0x80]);
        EXPECT_EQ(Cp1251ToUtf16(byte), ch);
        if (b != 0x98) {
            EXPECT_EQ(Utf16ToCp1251(ch), byte);
        }
    }
    EXPECT_EQ(UpperCase1251(Cp(u8"аптека ё abc")), Cp(u8"АПТЕКА Ё ABC"));
    EXPECT_EQ(LowerCase1251(Cp(u8"АПТЕКА Ё ABC")), Cp(u8"аптека ё abc"));
    EXPECT_TRUE(SameText1251(Cp(u8"Аспирин"), Cp(u8"аСПИРИН")));
    EXPECT_LT(CompareText1251("abc", Cp(u8"абв")), 0);
    EXPECT_LT(CompareText1251("ab", "abc"), 0);
    // The letters of 0x80-0xBF in pairs, lower under upper; every other byte keeps its case.
    const std::string lower = "\x90\x83\x9A\x9C\x9D\x9E\x9F\xA2\xBC\xB4\xB8\xBA\xBF\xB3\xBE";
    const std::string upper = "\x80\x81\x8A\x8C\x8D\x8E\x8F\xA1\xA3\xA5\xA8\xAA\xAF\xB2\xBD";
    for (char c = '\x80'; c != '\xC0'; ++c) {
        const size_t l = lower.find(c), u = upper.find(c);
        EXPECT_EQ(UpCase1251(c), l == std::string::npos ? c : upper[l]) << int(c);
        EXPECT_EQ(LowCase1251(c), u == std::string::npos ? c : lower[u]) << int(c);
    }
}

}  // namespace
