#include "core/misc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

Currency C(const char* s) { return Currency::FromString(s); }

// ---- Rounding ----------------------------------------------------------

TEST(Rnd, TheStatedTable) {
    EXPECT_EQ(RND(C("2.345"), 100, 0), C("2.35"));
    EXPECT_EQ(RND(C("2.345"), 100, 1), C("2.35"));
    EXPECT_EQ(RND(C("2.345"), 100, 2), C("2.34"));
    EXPECT_EQ(RND(C("-2.345"), 100, 0), C("-2.35"));
    EXPECT_EQ(RND(C("-2.345"), 100, 2), C("-2.34"));
    EXPECT_EQ(RND(C("2.341"), 100, 0), C("2.34"));
    EXPECT_EQ(RND(C("2.341"), 100, 1), C("2.35"));
    EXPECT_EQ(RND(C("-2.341"), 100, 1), C("-2.35"));
    EXPECT_EQ(RND(C("2.3449"), 100, 0), C("2.34"));  // only the first dropped digit counts
    EXPECT_EQ(RND(C("2.34"), 100, 1), C("2.34"));    // nothing dropped
    EXPECT_EQ(RND(C("0"), 100, 0), C("0"));
    EXPECT_EQ(RND(C("1.005"), 100, 0), C("1.01"));
    EXPECT_EQ(RND(C("7.5"), 1, 0), C("8"));
    EXPECT_EQ(RND(C("7.5"), 1, 7), C("7"));
    EXPECT_EQ(RoundMoney(C("10.125"), 0), C("10.13"));
    EXPECT_EQ(RoundMoney(C("-0.005"), 0), C("-0.01"));
}

TEST(Rnd, FactorsThatAreNoPowerOfTen) {
    // Thirds: the step 1/3 as a currency value rounds to the nearest 1/10000.
    EXPECT_EQ(RND(C("0.5"), 3, 0), C("0.6667"));
    EXPECT_EQ(RND(C("0.5"), 3, 2), C("0.3333"));
    EXPECT_EQ(RND(C("0.5"), 3, 1), C("0.6667"));
}

TEST(Rnd, FactorLimits) {
    EXPECT_EQ(RND(C("1.23456"), 10000, 0), C("1.2346"));
    try {
        RND(C("1"), 10001, 0);
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_NE(std::string(e.what()).find("More than 4 decimal places not allowed in function RND."),
                  std::string::npos);
    }
    EXPECT_THROW(RND(C("1"), 0, 0), EAssertionFailed);
    EXPECT_THROW(RND(C("1"), -100, 0), EAssertionFailed);
}

TEST(Rnd, ExtremeValuesDoNotOverflowSilently) {
    Currency big = Currency::FromRaw(INT64_MAX - 1);
    EXPECT_THROW(RND(big, 1, 0), EOverflow);  // the next whole number does not fit
    EXPECT_THROW(RND(big, 1, 2), EOverflow);  // no room for the ten-thousandths either
    EXPECT_EQ(RND(C("900000000000000.5"), 1, 2), C("900000000000000"));
    EXPECT_EQ(RND(C("-900000000000000.5"), 1, 0), C("-900000000000001"));
}

TEST(RoundByModeTest, Modes) {
    EXPECT_EQ(RoundByMode(0, 2.5L, 1), 3.0L);
    EXPECT_EQ(RoundByMode(0, -2.5L, 1), -3.0L);
    EXPECT_EQ(RoundByMode(1, 2.0001L, 1), 3.0L);
    EXPECT_EQ(RoundByMode(1, 2.0L, 1), 2.0L);
    EXPECT_EQ(RoundByMode(5, -2.9L, 1), -2.0L);
    try {
        RoundByMode(0, 1e30L, 10);
        FAIL() << "no overflow";
    } catch (const EOverflow& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Overflow on rounding ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" with a factor of 10."), std::string::npos) << e.what();
    }
}

// ---- Splitting ---------------------------------------------------------

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

TEST(TextHelpers, DigitsAndLastCharPos) {
    EXPECT_TRUE(IsDigitsOnly(""));
    EXPECT_TRUE(IsDigitsOnly("0123"));
    EXPECT_FALSE(IsDigitsOnly("12a"));
    EXPECT_FALSE(IsDigitsOnly("-1"));
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 0), 13);
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 1), 8);
    EXPECT_EQ(LastCharPos('_', "ARTICLE_NZOK_12", 2), 0);
    EXPECT_EQ(LastCharPos('_', "", 0), 0);
}

// ---- Masks and folders ---------------------------------------------------

TEST(Mask, WindowsRules) {
    EXPECT_TRUE(MatchesMask("anything", "*.*"));
    EXPECT_TRUE(MatchesMask(".hidden", "*.*"));
    EXPECT_TRUE(MatchesMask("XML12.RAR", "*.rar"));
    EXPECT_FALSE(MatchesMask("xml12.rar.inst", "*.rar"));
    EXPECT_TRUE(MatchesMask("REPL_ITEMS[3].xml", "REPL_ITEMS[*].xml"));
    EXPECT_TRUE(MatchesMask("repl_items[12].XML", "REPL_ITEMS[*].xml"));
    EXPECT_FALSE(MatchesMask("REPL_ITEMS3.xml", "REPL_ITEMS[*].xml"));
    EXPECT_FALSE(MatchesMask("REPL_TABLES[1].xml", "REPL_ITEMS[*].xml"));
    EXPECT_TRUE(MatchesMask("a1c", "a?c"));
    EXPECT_FALSE(MatchesMask("ac", "a?c"));
    EXPECT_TRUE(MatchesMask("xml5", "xml*.*"));
    EXPECT_TRUE(MatchesMask("\xC0\xEF\xF2\xE5\xEA\xE0.txt", "\xE0\xCF\xD2*.TXT"));  // Cyrillic letters ignore case
    EXPECT_FALSE(MatchesMask("abc", ""));
}

class FilesTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::string P(const std::string& name) const { return dir_.File(name); }
};

TEST_F(FilesTest, DeleteDirTree) {
    EXPECT_FALSE(DeleteDirTree(P("missing")));

    dir_.Write("tree/a.txt", "a");
    dir_.Write("tree/sub/b.txt", "b");
    dir_.Write("tree/sub/deeper/c.txt", "c");
    chmod(P("tree/sub/b.txt").c_str(), 0444);
    chmod(P("tree/a.txt").c_str(), 0400);
    // A link to a folder outside the tree is removed, its target is not touched.
    dir_.Write("outside/keep.txt", "k");
    ASSERT_EQ(symlink(P("outside").c_str(), P("tree/sub/link").c_str()), 0);
    EXPECT_TRUE(DeleteDirTree(P("tree/")));
    EXPECT_FALSE(DirectoryExists(P("tree")));
    EXPECT_TRUE(FileExists(P("outside/keep.txt")));

    ForceDirectories(P("empty"));
    EXPECT_TRUE(DeleteDirTree(P("empty")));

    // A link given as the tree itself goes; the folder it points at stays whole.
    ASSERT_EQ(symlink(P("outside").c_str(), P("top-link").c_str()), 0);
    EXPECT_TRUE(DeleteDirTree(P("top-link")));
    EXPECT_TRUE(FileExists(P("outside/keep.txt")));
    struct stat st;
    EXPECT_NE(lstat(P("top-link").c_str(), &st), 0);
}

TEST_F(FilesTest, ForceDeleteFile) {
    dir_.Write("ro.txt", "x");
    chmod(P("ro.txt").c_str(), 0444);
    EXPECT_TRUE(ForceDeleteFile(P("ro.txt")));
    EXPECT_FALSE(FileExists(P("ro.txt")));
    EXPECT_FALSE(ForceDeleteFile(P("ro.txt")));
    ForceDirectories(P("folder"));
    EXPECT_FALSE(ForceDeleteFile(P("folder")));
}

TEST_F(FilesTest, DeleteFilesByMask) {
    EXPECT_TRUE(DeleteFilesByMask(P("missing"), "*.*"));
    dir_.Write("x/a.xml", "1");
    dir_.Write("x/B.XML", "2");
    dir_.Write("x/c.txt", "3");
    dir_.Write("x/sub.xml/inner", "4");
    EXPECT_TRUE(DeleteFilesByMask(P("x"), "*.nothing"));
    EXPECT_TRUE(DeleteFilesByMask(P("x"), "*.xml"));
    EXPECT_FALSE(FileExists(P("x/a.xml")));
    EXPECT_FALSE(FileExists(P("x/B.XML")));
    EXPECT_TRUE(FileExists(P("x/c.txt")));
    EXPECT_TRUE(DirectoryExists(P("x/sub.xml")));  // folders are not files
    EXPECT_TRUE(DeleteFilesByMask(P("x/"), "*.*"));
    EXPECT_FALSE(FileExists(P("x/c.txt")));
    EXPECT_TRUE(FileExists(P("x/sub.xml/inner")));
}

TEST_F(FilesTest, FindEntriesSortsAndMarksFolders) {
    dir_.Write("f/b.rar", "");
    dir_.Write("f/A.rar", "");
    dir_.Write("f/c.rar/x", "");
    auto found = FindEntries(P("f/*.rar"));
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].Name, "A.rar");
    EXPECT_EQ(found[1].Name, "b.rar");
    EXPECT_FALSE(found[1].IsDirectory);
    EXPECT_TRUE(found[2].IsDirectory);
    EXPECT_TRUE(FindEntries(P("nothing/*.*")).empty());
}

TEST_F(FilesTest, FileSizeByName) {
    dir_.Write("s.bin", std::string(1234, 'x'));
    dir_.Write("e.bin", "");
    EXPECT_EQ(FileSizeByName(P("s.bin")), 1234);
    EXPECT_EQ(FileSizeByName(P("e.bin")), 0);
    EXPECT_THROW(FileSizeByName(P("missing")), EInOutError);
    ForceDirectories(P("d"));
    EXPECT_THROW(FileSizeByName(P("d")), EInOutError);
}

TEST_F(FilesTest, ForceDirectories) {
    EXPECT_TRUE(ForceDirectories(P("a/b/c/")));
    EXPECT_TRUE(DirectoryExists(P("a/b/c")));
    EXPECT_THROW(ForceDirectories(""), EInOutError);
    dir_.Write("file", "x");
    EXPECT_FALSE(ForceDirectories(P("file/sub")));
}

// ---- Processes -----------------------------------------------------------

TEST(SplitCommandLineTest, WindowsRules) {
    EXPECT_EQ(SplitCommandLine("\"/opt/my app/rar\" e -o+ \"/data/pharm 3/xml1.rar\" \"/tmp/x/\""),
              (V{"/opt/my app/rar", "e", "-o+", "/data/pharm 3/xml1.rar", "/tmp/x/"}));
    EXPECT_EQ(SplitCommandLine("  prog   a\tb  "), (V{"prog", "a", "b"}));
    EXPECT_EQ(SplitCommandLine("p \"\" x"), (V{"p", "", "x"}));
    EXPECT_EQ(SplitCommandLine("p a\"b c\"d"), (V{"p", "ab cd"}));
    EXPECT_EQ(SplitCommandLine("p \"a\"\"b\""), (V{"p", "a\"b"}));
    EXPECT_EQ(SplitCommandLine("p a\\\\\"b c\""), (V{"p", "a\\b c"}));   // 2 backslashes + quote
    EXPECT_EQ(SplitCommandLine("p a\\\"b"), (V{"p", "a\"b"}));            // 1 backslash + quote
    EXPECT_EQ(SplitCommandLine("p a\\b\\"), (V{"p", "a\\b\\"}));          // no quote: literal
    EXPECT_EQ(SplitCommandLine("\"c:\\dir\\\" x"), (V{"c:\\dir\\", "x"}));  // the program knows no escapes
    EXPECT_EQ(SplitCommandLine("   "), V{});
}

class ExecTest : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(ExecTest, ExitCodeAndWorkingFolder) {
    EXPECT_EQ(ExecAndWait("sh -c \"exit 3\"", false, ""), 3);
    EXPECT_EQ(ExecAndWait("true", false, ""), 0);
    ASSERT_EQ(ExecAndWait("sh -c \"pwd > out.txt\"", false, dir_.Path()), 0);
    std::string pwd = TempDir::Read(dir_.File("out.txt"));
    EXPECT_EQ(pwd, std::filesystem::canonical(dir_.Path()).string() + "\n");
}

TEST_F(ExecTest, ArgumentsWithBlanksArriveWhole) {
    ASSERT_EQ(ExecAndWait("sh -c \"printf '%s|' \\\"$@\\\" > args.txt\" name \"a b\" c", false, dir_.Path()), 0);
    EXPECT_EQ(TempDir::Read(dir_.File("args.txt")), "a b|c|");
}

TEST_F(ExecTest, CannotStart) {
    EXPECT_EQ(ExecAndWait("/nonexistent/program arg", false, ""), -1);
    EXPECT_EQ(ExecAndWait("no-such-program-anywhere", false, ""), -1);
    EXPECT_EQ(ExecAndWait("true", false, dir_.File("missing-folder")), -1);
    EXPECT_EQ(ExecAndWait("", false, ""), -1);
}

TEST_F(ExecTest, StandardInputIsTheNullDevice) {
    ASSERT_EQ(ExecAndWait("sh -c \"read x; echo $? > rc.txt\"", false, dir_.Path()), 0);
    EXPECT_EQ(TempDir::Read(dir_.File("rc.txt")), "1\n");
}

TEST_F(ExecTest, OpenFilesAreNotInherited) {
    int fd = ::open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, 57), 57);
    ::close(fd);
    int rc = ExecAndWait("sh -c \"test -e /proc/self/fd/57 && echo open > fd.txt || echo closed > fd.txt\"",
                         false, dir_.Path());
    ::close(57);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(TempDir::Read(dir_.File("fd.txt")), "closed\n");
}

TEST_F(ExecTest, ASignalEndsInAnError) {
    EXPECT_THROW(ExecAndWait("sh -c \"kill -9 $$\"", false, ""), EExecError);
}

TEST_F(ExecTest, BlockedSignalsOfTheCallerAreNotInherited) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    // With SIGTERM still blocked the child would sleep and end normally.
    EXPECT_THROW(ExecAndWait("sh -c \"kill -TERM $$; sleep 20\"", false, "", std::chrono::seconds(60)),
                 EExecError);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(ExecTest, TimeOutStopsTheProgramAndWhatItStarted) {
    std::string marker = dir_.File("late.txt");
    try {
        ExecAndWait("sh -c \"(sleep 2; echo late > " + marker + ") & sleep 30\"", false, "",
                    std::chrono::milliseconds(300));
        FAIL() << "no time-out";
    } catch (const EExecError& e) {
        EXPECT_NE(std::string(e.what()).find("did not end within"), std::string::npos) << e.what();
    }
    // The background child was killed with the group: nothing appears later.
    EXPECT_EQ(ExecAndWait("sleep 3", false, ""), 0);
    EXPECT_FALSE(FileExists(marker));
}

}  // namespace
