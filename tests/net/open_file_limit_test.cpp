#include <gtest/gtest.h>

#include <sys/resource.h>

#include "net/open_file_limit.h"

TEST(OpenFileLimit, SoftLimitIsRaisedToTheHardOne) {
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    rlimit lowered = rl;
    lowered.rlim_cur = std::min<rlim_t>(rl.rlim_max, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(RaiseOpenFileLimit(), static_cast<uint64_t>(rl.rlim_max));
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(rl.rlim_cur, rl.rlim_max);
}
