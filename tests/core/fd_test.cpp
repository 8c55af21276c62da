#include "core/fd.h"

#include <fcntl.h>

#include <gtest/gtest.h>

namespace {

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
