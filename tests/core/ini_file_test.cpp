#include "core/ini_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/cp1251.h"
#include "support/temp_dir.h"

namespace {

TEST(IniFile, MissingFileReadsEmptyAndIsCreatedByTheFirstWriteOrRaises) {
    TempDir dir;
    std::string path = dir.File("a.ini");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Main", "Key", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("Main", "Key", 7), 7);
    EXPECT_FALSE(ini.ValueExists("Main", "Key"));
    EXPECT_FALSE(std::ifstream(path).good());  // reading creates nothing

    ini.WriteString("Main", "Key", "v");
    EXPECT_EQ(TempDir::Read(path), "[Main]\r\nKey=v\r\n");
    TIniFile unwritable(dir.File("missing/folder/a.ini"));
    EXPECT_THROW(unwritable.WriteString("Main", "K", "v"), EIniFileException);
}

TEST(IniFile, NamesIgnoreCaseValuesAreTrimmedAndUnquoted) {
    TempDir dir;
    std::string path = dir.Write("a.ini",
                                 "; comment\r\n[main]\r\n  serverName =  db.local  \r\n"
                                 "Quoted=\"  spaced  \"\r\nSingle='x'\r\nHalf=\"x\r\nEmpty=\r\n");
    TIniFile ini(path);
    EXPECT_TRUE(ini.ValueExists("Main", "SERVERNAME"));
    EXPECT_EQ(ini.ReadString("MAIN", "ServerName", ""), "db.local");
    EXPECT_EQ(ini.ReadString("Main", "Quoted", ""), "  spaced  ");
    EXPECT_EQ(ini.ReadString("Main", "Single", ""), "x");
    EXPECT_EQ(ini.ReadString("Main", "Half", ""), "\"x");
    // Present but empty: the empty text, not the default.
    EXPECT_TRUE(ini.ValueExists("Main", "Empty"));
    EXPECT_EQ(ini.ReadString("Main", "Empty", "def"), "");
    EXPECT_EQ(ini.ReadInteger("Main", "Empty", 5), 5);
}

TEST(IniFile, IntegersDecimalAndHexadecimalFirstOfDuplicateKeys) {
    TempDir dir;
    std::string path = dir.Write("a.ini", "[S]\nA=42\nB=-7\nC=0x1F\nD=$10\nE=12abc\nF=\"13\"\nG=99999999999\nH=0X0a\n"
                                          "K=1\nk=2\n");
    TIniFile ini(path);
    // E has no number and G does not fit 32 bits: the default.
    const struct { const char* key; int want; } cases[] = {{"A", 42}, {"B", -7}, {"C", 31},  {"D", 16}, {"E", -1},
                                                           {"F", 13}, {"G", -1}, {"H", 10},  {"K", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(ini.ReadInteger("S", c.key, -1), c.want);
    }
}

TEST(IniFile, NewKeysGoToTheEndOfTheirSectionOthersKeepTheirValues) {
    TempDir dir;
    std::string path = dir.Write("a.ini", "[One]\nA=1\n[Two]\nB=\"q\"\n");
    {
        TIniFile ini(path);
        ini.WriteString("one", "C", "3");
        ini.WriteInteger("Three", "D", -4);
        ini.WriteString("Two", "b", "replaced");
    }
    EXPECT_EQ(TempDir::Read(path), "[One]\r\nA=1\r\nC=3\r\n\r\n[Two]\r\nB=replaced\r\n\r\n[Three]\r\nD=-4\r\n");
    // Line breaks in a value do not create keys.
    TIniFile(path).WriteString("Main", "K", "a\r\nEvil=1");
    EXPECT_FALSE(TIniFile(path).ValueExists("Main", "Evil"));
}

TEST(IniFile, Cp1251BytesStayUnchangedAndCyrillicNamesIgnoreCase) {
    TempDir dir;
    std::string path = dir.File("a.ini");
    std::string bg = Cp(u8"Аптека Хляб");
    {
        TIniFile ini(path);
        ini.WriteString("Main", "Name", bg);
    }
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Main", "Name", ""), bg);
    EXPECT_EQ(ini.ReadString(Cp(u8"mAIN"), Cp(u8"NAME"), ""), bg);
    EXPECT_NE(TempDir::Read(path).find("Name=" + bg + "\r\n"), std::string::npos);
    // Cyrillic names ignore letter case too.
    ini.WriteInteger(Cp(u8"Раздел"), Cp(u8"ключ"), 1);
    EXPECT_EQ(ini.ReadInteger(Cp(u8"РАЗДЕЛ"), Cp(u8"КЛЮЧ"), 0), 1);
}

}  // namespace
