#include "core/text.h"

#include <gtest/gtest.h>

#include "core/cp1251.h"

namespace {

using V = std::vector<std::string>;

TEST(SplitByCharsTest, Cases) {
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
}

TEST(ParseDelimitedTextTest, Cases) {
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

TEST(TextHelpers, DigitsLastCharPosAndBooleanCharacters) {
    EXPECT_TRUE(IsDigitsOnly(""));
    EXPECT_TRUE(IsDigitsOnly("0123"));
    EXPECT_FALSE(IsDigitsOnly("12a"));
    EXPECT_FALSE(IsDigitsOnly("-1"));
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 0), 13);
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 1), 8);
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 2), 0);
    EXPECT_EQ(LastCharPos('_', "", 0), 0);
    EXPECT_STREQ(BoolChars[false], "F");
    EXPECT_STREQ(BoolChars[true], "T");
    EXPECT_TRUE(StrToBoolTF("T"));
    EXPECT_FALSE(StrToBoolTF("t"));
    EXPECT_FALSE(StrToBoolTF("F"));
    EXPECT_FALSE(StrToBoolTF(""));
    EXPECT_FALSE(StrToBoolTF("TRUE"));
    EXPECT_FALSE(StrToBoolTF("T "));
}

TEST(TextTest, QuotesUpperCaseStringsAndBracketNumbers) {
    EXPECT_EQ(QuoteIfSingleBlank(" "), "\" \"");
    EXPECT_EQ(QuoteIfSingleBlank(""), "");
    EXPECT_EQ(QuoteIfSingleBlank("\""), "\"");
    EXPECT_EQ(QuoteIfSingleBlank("/data/with blank/x.rar"), "/data/with blank/x.rar");
    EXPECT_EQ(QuoteIfSingleBlank("  "), "  ");
    EXPECT_EQ(RemoveQuotes("\"a b\""), "a b");
    EXPECT_EQ(RemoveQuotes("\""), "");
    EXPECT_EQ(RemoveQuotes("\"\""), "");
    EXPECT_EQ(RemoveQuotes("\"a"), "\"a");
    EXPECT_EQ(RemoveQuotes(""), "");
    EXPECT_EQ(RemoveQuotes("a"), "a");
    V names{"article", Cp(u8"аптека"), ""};
    UpperCaseStrings(names);
    EXPECT_EQ(names, (V{"ARTICLE", Cp(u8"АПТЕКА"), ""}));
    EXPECT_EQ(ExtractBracketNumber("xml[12].cds"), 12);
    EXPECT_EQ(ExtractBracketNumber("abc"), 0);
    EXPECT_EQ(ExtractBracketNumber("a[]"), 0);
    EXPECT_EQ(ExtractBracketNumber("a[x1]"), 0);
    EXPECT_EQ(ExtractBracketNumber("a[3"), 0);
    EXPECT_EQ(ExtractBracketNumber("a]1[2]"), 0);  // the first "]" comes before the "["
    EXPECT_EQ(ExtractBracketNumber("T[7][9]"), 7);

    V list{"B[10].xml", "A[2].xml", "C[2].xml", "plain.xml", "D[1].xml"};
    SortByBracketNumber(list);
    EXPECT_EQ(list, (V{"plain.xml", "D[1].xml", "A[2].xml", "C[2].xml", "B[10].xml"}));
    V empty;
    SortByBracketNumber(empty);
    EXPECT_TRUE(empty.empty());
}

}  // namespace
