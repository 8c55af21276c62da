#include "core/app_paths.h"

#include <gtest/gtest.h>

#include "support/scoped_env.h"

namespace {

TEST(AppPaths, TheExecutableAndTheBaseFolder) {
    EXPECT_EQ(ProgramName(), "test_core");
    EXPECT_EQ(ProgramPath().substr(ProgramPath().size() - 10), "/test_core");
    {
        ScopedEnv base("VT_BASE_DIR", "/srv/vantrell");
        EXPECT_EQ(ProgramFolder(), "/srv/vantrell/");
    }
    {
        ScopedEnv base("VT_BASE_DIR", "/srv/vantrell/");
        EXPECT_EQ(ProgramFolder(), "/srv/vantrell/");
    }
    {
        // Without a base folder: the executable's own folder.
        ScopedEnv base("VT_BASE_DIR", "");
        std::string path = ProgramPath();
        EXPECT_EQ(ProgramFolder(), path.substr(0, path.rfind('/') + 1));
    }
}

}  // namespace
