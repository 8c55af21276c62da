#include <gtest/gtest.h>

#include "core/cp1251.h"

TEST(Cp1251, ConvertsCyrillicBothWays) {
    std::string cp = Cp(u8"Файл: Ред");
    EXPECT_EQ(cp, std::string("\xD4\xE0\xE9\xEB: \xD0\xE5\xE4"));
    EXPECT_EQ(Cp1251ToUtf8(cp), "Файл: Ред");
    EXPECT_EQ(Cp1251ToUtf16(cp), u"Файл: Ред");
    EXPECT_EQ(Utf16ToCp1251(u"Файл: Ред"), cp);
}

TEST(Cp1251, CharactersWithoutAFormBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD" "b"), "a?b");      // CJK letter
    EXPECT_EQ(Utf8ToCp1251("\xC3"), "?");                     // cut sequence
    EXPECT_EQ(Cp1251ToUtf8(std::string("\x98", 1)), "?");     // unused byte
}

TEST(Cp1251, UpperAndLowerCaseCoverCyrillic) {
    EXPECT_EQ(UpperCase1251(Cp(u8"аптека ё abc")), Cp(u8"АПТЕКА Ё ABC"));
    EXPECT_EQ(LowerCase1251(Cp(u8"АПТЕКА Ё ABC")), Cp(u8"аптека ё abc"));
    EXPECT_TRUE(SameText1251(Cp(u8"Аспирин"), Cp(u8"аСПИРИН")));
    EXPECT_LT(CompareText1251("abc", Cp(u8"абв")), 0);
    EXPECT_LT(CompareText1251("ab", "abc"), 0);
}
