#include "core/log.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "core/app_paths.h"
#include "core/datetime.h"
#include "core/text.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    std::string FileOf(TDateTime day) const {
        return dir_.Path() + "/" + ProgramName() + "_" + DateToYYMMDD(day) + ".log";
    }
    TempDir dir_;
    ScopedEnv base_{"VT_BASE_DIR", dir_.Path()};
    TServicesData data_;
};

TEST_F(LogTest, OneLinePerCallInTheDaysFileWithTheMessageUnchangedMidnightStartsANewFile) {
    TDateTime now = EncodeDateTime(2024, 3, 5, 23, 59, 59);
    data_.SetClock([&now] { return now; });
    ASSERT_EQ(ServicesData, nullptr);
    EXPECT_NO_THROW(Log("TA", "nowhere"));  // without services data nothing happens
    data_.Log("TDMBase", "Connected");
    data_.Log("TA", "ends in a break\r\n");
    data_.Log("TA", "first\r\nsecond");
    data_.Log("TA", std::string("nul\0byte \xC0\xFF", 11));
    ServicesData = &data_;  // the global log goes through it
    Log("TZorvelCentralServerSrv", "started");
    ServicesData = nullptr;
    EXPECT_EQ(data_.LogFileName(), dir_.Path() + "/" + ProgramName() + "_240305.log");
    now = EncodeDateTime(2024, 3, 6);
    data_.Log("TA", "after");  // the midnight time is left out
    EXPECT_EQ(TempDir::Read(FileOf(EncodeDateTime(2024, 3, 5))),
              "05.03.2024 23:59:59 [TDMBase] Connected\r\n"
              "05.03.2024 23:59:59 [TA] ends in a break\r\n\r\n"
              "05.03.2024 23:59:59 [TA] first\r\nsecond\r\n" +
                  std::string("05.03.2024 23:59:59 [TA] nul\0byte \xC0\xFF\r\n", 38) +
                  "05.03.2024 23:59:59 [TZorvelCentralServerSrv] started\r\n");
    EXPECT_EQ(TempDir::Read(FileOf(now)), "06.03.2024 [TA] after\r\n");
    // The program's extension is replaced.
    EXPECT_EQ(TServicesData::LogFileNameOf("ZorvelCentralServer", now), "ZorvelCentralServer_240306.log");
    EXPECT_EQ(TServicesData::LogFileNameOf("ZorvelCentralServer.exe", now), "ZorvelCentralServer_240306.log");
    EXPECT_EQ(TServicesData::LogFileNameOf("vt.server.bin", now), "vt.server_240306.log");
}

TEST_F(LogTest, LinesOfTwoThreadsNeverInterleave) {
    TDateTime t = EncodeDateTime(2024, 3, 5, 10, 0, 0);
    data_.SetClock([t] { return t; });
    const int kLines = 300;
    const std::string longA(500, 'a'), longB(700, 'b');
    std::thread a([&] { for (int i = 0; i < kLines; ++i) data_.Log("TA", longA); });
    std::thread b([&] { for (int i = 0; i < kLines; ++i) data_.Log("TB", longB); });
    a.join();
    b.join();
    std::map<std::string, int> lines;
    for (const std::string& line : SplitByChars(TempDir::Read(FileOf(t)), "\n", false)) ++lines[line];
    EXPECT_EQ(lines, (std::map<std::string, int>{{"05.03.2024 10:00:00 [TA] " + longA + "\r", kLines},
                                                 {"05.03.2024 10:00:00 [TB] " + longB + "\r", kLines}}));
}

TEST_F(LogTest, AnUnwritableFolderNeverThrowsAndIsReportedOnce) {
    // The base folder is a plain file, so no log file can be created below it.
    std::string notAFolder = dir_.Write("plain", "x");
    ScopedEnv base("VT_BASE_DIR", notAFolder);
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(data_.Log("TA", "lost one"));
    EXPECT_NO_THROW(data_.Log("TA", "lost two"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Cannot write the log file"), err.rfind("Cannot write the log file"));
    EXPECT_NE(err.find("lost one"), std::string::npos);
    EXPECT_EQ(err.find("lost two"), std::string::npos);

    // Once a line goes through again, the next failure is reported again.
    {
        ScopedEnv good("VT_BASE_DIR", dir_.Path());
        data_.Log("TA", "written");
    }
    testing::internal::CaptureStderr();
    data_.Log("TA", "lost three");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("lost three"), std::string::npos);
}

TEST(AppPaths, TheExecutableAndTheBaseFolder) {
    EXPECT_EQ(ProgramName(), "test_core");
    EXPECT_EQ(ProgramPath().substr(ProgramPath().size() - 10), "/test_core");
    // Without a base folder: the executable's own folder.
    const std::string path = ProgramPath();
    for (const char* base : {"/srv/vantrell", "/srv/vantrell/", ""}) {
        ScopedEnv env("VT_BASE_DIR", base);
        EXPECT_EQ(ProgramFolder(), *base ? "/srv/vantrell/" : path.substr(0, path.rfind('/') + 1)) << base;
    }
}

}  // namespace
