#include "core/options.h"

#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "core/files.h"
#include "core/ini_file.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

// Every test runs with the program folder pointed at a private folder.
class OptionsTest : public ::testing::Test {
protected:
    void TearDown() override { SetOptionsForTesting(std::make_shared<const TOptions>()); }
    std::string Base() const { return dir_.Path() + "/"; }
    std::string Ini() const { return dir_.File("vantrell_config.ini"); }
    void WriteIni(const std::string& body) { dir_.Write("vantrell_config.ini", "[Main]\r\n" + body); }
    // Writes the file, loads it and gives the snapshot.
    std::shared_ptr<const TOptions> Load(const std::string& body) {
        WriteIni(body);
        ReloadOptions();
        return GetOptions();
    }

    TempDir dir_;
    ScopedEnv base_{"VT_BASE_DIR", dir_.Path()};
};

// The file is written when the options are freed: the keys it had keep
// their text and place, the missing ones follow in the fixed order with
// the values in force (the defaults).
TEST_F(OptionsTest, MissingKeysTakeTheirDefaultsAndAreWrittenAtTheEndInOrder) {
    CreateOptions();
    EXPECT_EQ(TOptions::FileName(), Base() + "vantrell_config.ini");
    for (const char* f : {"Archives", "SQLDataPack", "VantrellNomObjectData", "NZOKUpdates"})
        EXPECT_TRUE(DirectoryExists(Base() + f)) << f;
    EXPECT_FALSE(FileExists(Ini()));  // loading never creates the file
    FreeOptions();
    EXPECT_EQ(TIniFile(Ini()).ReadSection("Main").size(), 20u);

    auto o = Load("PTPort2=abc\r\nUserName=operator\r\nBlockDataServer=yes\r\n");
    EXPECT_EQ(o->PTPort2, 3053);  // not a number: the default
    EXPECT_EQ(o->UserName, "operator");
    EXPECT_EQ(o->DataBaseHost, "127.0.0.1");
    EXPECT_EQ(o->SynchRequiredRequestsWaitingTimeInMins(), 2);
    FreeOptions();
    EXPECT_EQ(TempDir::Read(Ini()),
              "[Main]\r\nPTPort2=abc\r\nUserName=operator\r\nBlockDataServer=yes\r\nDataBaseHost=127.0.0.1\r\n"
              "DataBaseFolder=C:\\Program Files\\Nuvaro\\ZorvelXP2\\Data\\\r\nRarFilesDir=" + Base() +
              "Archives/\r\nSplitDataRowCount=100\r\nServerName=127.0.0.1\r\nPassword=WebKestrelCiphers\r\n"
              "FileTransferPort=21\r\nPacketInstallCheckPeriodInMins=10\r\nDataBaseName=WebZorvelCentral\r\n"
              "NextDataResponseCheckTimeOut=180000\r\nSQLCmdFilesFolder=" + Base() + "SQLDataPack/\r\n"
              "PTPort1=21\r\nUseSecondaryDataProtocol=0\r\nSynchRequiredRequestsWaitingTimeInMins=2\r\n"
              "UseDebugMode=0\r\nNomObjectDataDir=" + Base() + "VantrellNomObjectData/\r\nNZOKUpdatesDir=" + Base() +
              "NZOKUpdates/\r\n");
}

TEST_F(OptionsTest, FlagsAreTrueOnlyForExactlyOneIntegersMayBeHexadecimalTheWaitingTimeIsClamped) {
    auto o = Load("BlockDataServer=yes\r\nUseSecondaryDataProtocol=1\r\nUseDebugMode=\" 1\"\r\n"
                  "FileTransferPort=0x15\r\nPTPort1=$16\r\nSynchRequiredRequestsWaitingTimeInMins=0\r\n");
    EXPECT_FALSE(o->BlockDataServer);
    EXPECT_TRUE(o->UseSecondaryDataProtocol);
    EXPECT_FALSE(o->UseDebugMode);
    EXPECT_EQ(o->FileTransferPort, 21);
    EXPECT_EQ(o->PTPort1, 22);
    EXPECT_EQ(o->SynchRequiredRequestsWaitingTimeInMins(), 1);
    o = Load("BlockDataServer=true\r\nUseDebugMode=1\r\nSynchRequiredRequestsWaitingTimeInMins=75\r\n");
    EXPECT_FALSE(o->BlockDataServer);
    EXPECT_TRUE(o->UseDebugMode);
    EXPECT_EQ(o->SynchRequiredRequestsWaitingTimeInMins(), 59);
    FreeOptions();  // the file keeps the value as written
    EXPECT_EQ(TIniFile(Ini()).ReadString("Main", "SynchRequiredRequestsWaitingTimeInMins", ""), "75");
    TOptions set;
    for (int m : {59, 60, -5}) {
        set.SetSynchRequiredRequestsWaitingTimeInMins(m);
        EXPECT_EQ(set.SynchRequiredRequestsWaitingTimeInMins(), m == 59 || m == 60 ? 59 : 1) << m;
    }
}

TEST_F(OptionsTest, FolderValuesAreUsedAsWrittenAndCreated) {
    std::string rar = Base() + "deep/packets";
    EXPECT_EQ(Load("RarFilesDir=" + rar + "\r\nNZOKUpdatesDir=" + Base() + "nz\r\n")->RarFilesDir, rar);
    EXPECT_TRUE(DirectoryExists(rar));
    EXPECT_TRUE(DirectoryExists(Base() + "nz"));
    EXPECT_FALSE(DirectoryExists(Base() + "Archives"));
}

TEST_F(OptionsTest, SnapshotsStayWithTheirReadersAndAFailedLoadLeavesTheOneInForce) {
    auto before = Load("Password=old\r\n");
    WriteIni("Password=x\r\nPacketInstallCheckPeriodInMins=-1\r\n");
    EXPECT_THROW(ReloadOptions(), ERangeError);
    // An empty folder value fails the load too.
    WriteIni("SQLCmdFilesFolder=\r\n");
    EXPECT_THROW(ReloadOptions(), EInOutError);
    WriteIni("RarFilesDir=\r\n");
    EXPECT_THROW(ReloadOptions(), EInOutError);
    EXPECT_EQ(GetOptions(), before);
    // A reader keeps its snapshot across a reload.
    EXPECT_EQ(Load("Password=new\r\n")->Password, "new");
    EXPECT_EQ(before->Password, "old");
}

TEST_F(OptionsTest, SaveFailureRaises) {
    // The configuration file's place is taken by a folder.
    ForceDirectories(Ini());
    ReloadOptions();  // an unreadable file reads as empty
    EXPECT_THROW(FreeOptions(), EIniFileException);
}

}  // namespace
