#include "core/process.h"
#include "core/fd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/files.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

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

TEST_F(ExecTest, ExitCodesFailuresAndSignals) {
    EXPECT_EQ(ExecAndWait("sh -c \"exit 3\"", false, ""), 3);
    EXPECT_EQ(ExecAndWait("true", false, ""), 0);
    // Programs that cannot start give -1; a signal ends in an error.
    EXPECT_EQ(ExecAndWait("/nonexistent/program arg", false, ""), -1);
    EXPECT_EQ(ExecAndWait("no-such-program-anywhere", false, ""), -1);
    EXPECT_EQ(ExecAndWait("true", false, dir_.File("missing-folder")), -1);
    EXPECT_EQ(ExecAndWait("", false, ""), -1);
    EXPECT_THROW(ExecAndWait("sh -c \"kill -9 $$\"", false, ""), EExecError);
    // Signals the caller blocks are not blocked in the child.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    // With SIGTERM still blocked the child would sleep and end normally.
    EXPECT_THROW(ExecAndWait("sh -c \"kill -TERM $$; sleep 20\"", false, "", std::chrono::seconds(60)),
                 EExecError);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The child runs in the given folder, reads the null device, inherits no
// open file and gets every argument whole.
TEST_F(ExecTest, WhatTheChildGets) {
    int fd = ::open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, 57), 57);
    ::close(fd);
    int rc = ExecAndWait("sh -c \"{ pwd; read x; echo $?; test -e /proc/self/fd/57 && echo open || echo closed; "
                         "printf '%s|' \\\"$@\\\"; } > child.txt\" name \"a b\" c",
                         false, dir_.Path());
    ::close(57);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(TempDir::Read(dir_.File("child.txt")),
              std::filesystem::canonical(dir_.Path()).string() + "\n1\nclosed\na b|c|");
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

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, ClosesExactlyWhatItOwns) {
    int a = ::open("/dev/null", O_RDONLY | O_CLOEXEC), b = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        TUniqueFd first(a);
        TUniqueFd second(std::move(first));  // ownership moves, nothing closes
        EXPECT_FALSE(first.Valid());
        EXPECT_TRUE(IsOpen(a));
        second.Reset(b);  // the old one closes, the new one is held
        EXPECT_FALSE(IsOpen(a));
        TUniqueFd third;
        third = std::move(second);
        EXPECT_EQ(third.Get(), b);
        EXPECT_EQ(third.Release(), b);  // given up: the scope's end leaves it open
    }
    EXPECT_TRUE(IsOpen(b));
    TUniqueFd last(b);
    EXPECT_EQ(last.Close(), 0);
    EXPECT_FALSE(IsOpen(b));
    EXPECT_EQ(last.Close(), 0);  // a second close is nothing
}

}  // namespace
