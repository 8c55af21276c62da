#include "core/app_misc.h"

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

TEST(AppMisc, BoolCharsAndStrToBoolTF) {
    EXPECT_STREQ(BoolChars[false], "F");
    EXPECT_STREQ(BoolChars[true], "T");
    EXPECT_TRUE(StrToBoolTF("T"));
    EXPECT_FALSE(StrToBoolTF("t"));
    EXPECT_FALSE(StrToBoolTF("F"));
    EXPECT_FALSE(StrToBoolTF(""));
    EXPECT_FALSE(StrToBoolTF("TRUE"));
    EXPECT_FALSE(StrToBoolTF("T "));
}

TEST(AppMisc, AddTrailingBackslash) {
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(AddTrailingBackslash("/data"), "/data/");
    EXPECT_EQ(AddTrailingBackslash("/data/"), "/data/");
}

TEST(AppMisc, BracketNumbers) {
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

TEST(AppMisc, UpperCaseStrings) {
    V list{"article", Cp(u8"аптека"), ""};
    UpperCaseStrings(list);
    EXPECT_EQ(list, (V{"ARTICLE", Cp(u8"АПТЕКА"), ""}));
}

TEST(AppMisc, Quotes) {
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
}

TEST(AppMisc, DirectoryEntriesAndFileLists) {
    TempDir dir;
    dir.Write("pharm3/xml1.rar", "");
    dir.Write("pharm3/XML2.RAR", "");
    dir.Write("pharm3/xml1.rar.inst", "");
    dir.Write("pharm3/sub.rar/x", "");
    std::string folder = dir.Path() + "/pharm3/";
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", false, true), (V{"xml1.rar", "XML2.RAR"}));
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", true, false), V{"sub.rar"});
    EXPECT_EQ(GetDirectoryEntries(folder, "*.*", true, true).size(), 4u);
    EXPECT_TRUE(GetDirectoryEntries(dir.Path() + "/missing/", "*.rar", true, true).empty());
    // Folder and mask are joined as they are.
    EXPECT_EQ(GetDirectoryEntries(dir.Path() + "/pharm3/xml", "1*", false, true),
              (V{"xml1.rar", "xml1.rar.inst"}));
    EXPECT_EQ(GetFileList(dir.Path() + "/pharm3", "*.RAR"), (V{"xml1.rar", "XML2.RAR"}));
}

}  // namespace
