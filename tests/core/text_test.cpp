#include "core/text.h"

#include <gtest/gtest.h>

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

TEST(TextTest, BooleanCharactersQuotesAndBracketNumbers) {
    EXPECT_EQ(std::string(BoolChars[false]) + BoolChars[true], "FT");
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

}  // namespace
