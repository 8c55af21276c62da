#include "core/options.h"

#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "core/files.h"
#include "core/ini_file.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

const std::vector<std::string> kKeyOrder = {
    "DataBaseHost", "DataBaseFolder", "RarFilesDir", "SplitDataRowCount", "ServerName",
    "UserName", "Password", "FileTransferPort", "PacketInstallCheckPeriodInMins", "DataBaseName",
    "NextDataResponseCheckTimeOut", "SQLCmdFilesFolder", "PTPort1", "PTPort2", "BlockDataServer",
    "UseSecondaryDataProtocol", "SynchRequiredRequestsWaitingTimeInMins", "UseDebugMode",
    "NomObjectDataDir", "NZOKUpdatesDir"};

// Every test runs with the program folder pointed at a private folder.
class OptionsTest : public ::testing::Test {
protected:
    void TearDown() override { SetOptionsForTesting(std::make_shared<const TOptions>()); }
    std::string Base() const { return dir_.Path() + "/"; }
    std::string Ini() const { return dir_.File("vantrell_config.ini"); }
    void WriteIni(const std::string& body) { dir_.Write("vantrell_config.ini", "[Main]\r\n" + body); }

    TempDir dir_;
    ScopedEnv base_{"VT_BASE_DIR", dir_.Path()};
};

TEST_F(OptionsTest, NoFileGivesDefaultsCreatesFoldersAndWritesAllKeysAtTheEnd) {
    CreateOptions();
    auto o = GetOptions();
    EXPECT_EQ(TOptions::FileName(), Base() + "vantrell_config.ini");
    EXPECT_EQ(o->DataBaseHost, "127.0.0.1");
    EXPECT_EQ(o->DataBaseFolder, "C:\\Program Files\\Nuvaro\\ZorvelXP2\\Data\\");
    EXPECT_EQ(o->RarFilesDir, Base() + "Archives/");
    EXPECT_EQ(o->SplitDataRowCount, 100);
    EXPECT_EQ(o->ServerName, "127.0.0.1");
    EXPECT_EQ(o->UserName, "WebZorvelUser");
    EXPECT_EQ(o->Password, "WebKestrelCiphers");
    EXPECT_EQ(o->FileTransferPort, 21);
    EXPECT_EQ(o->PacketInstallCheckPeriodInMins, 10u);
    EXPECT_EQ(o->DataBaseName, "WebZorvelCentral");
    EXPECT_EQ(o->NextDataResponseCheckTimeOut, 180000);
    EXPECT_EQ(o->SQLCmdFilesFolder, Base() + "SQLDataPack/");
    EXPECT_EQ(o->PTPort1, 21);
    EXPECT_EQ(o->PTPort2, 3053);
    EXPECT_FALSE(o->BlockDataServer);
    EXPECT_FALSE(o->UseSecondaryDataProtocol);
    EXPECT_EQ(o->SynchRequiredRequestsWaitingTimeInMins(), 2);
    EXPECT_FALSE(o->UseDebugMode);
    EXPECT_EQ(o->NomObjectDataDir, Base() + "VantrellNomObjectData/");
    EXPECT_EQ(o->NZOKUpdatesDir, Base() + "NZOKUpdates/");
    for (const char* f : {"Archives", "SQLDataPack", "VantrellNomObjectData", "NZOKUpdates"})
        EXPECT_TRUE(DirectoryExists(Base() + f)) << f;
    // Loading never creates the file.
    EXPECT_FALSE(FileExists(Ini()));

    FreeOptions();
    TIniFile ini(Ini());
    EXPECT_EQ(ini.ReadSection("Main"), kKeyOrder);
    EXPECT_EQ(ini.ReadString("Main", "BlockDataServer", ""), "0");
    EXPECT_EQ(ini.ReadString("Main", "UseSecondaryDataProtocol", ""), "0");
    EXPECT_EQ(ini.ReadString("Main", "UseDebugMode", ""), "0");
    EXPECT_EQ(ini.ReadString("Main", "PTPort2", ""), "3053");
    EXPECT_EQ(ini.ReadString("Main", "SynchRequiredRequestsWaitingTimeInMins", ""), "2");
    EXPECT_EQ(ini.ReadString("Main", "RarFilesDir", ""), Base() + "Archives/");
    EXPECT_EQ(ini.ReadString("Main", "DataBaseFolder", ""), "C:\\Program Files\\Nuvaro\\ZorvelXP2\\Data\\");
}

TEST_F(OptionsTest, WaitingTimeIsClampedInMemoryButTheFileKeepsItsValue) {
    WriteIni("SynchRequiredRequestsWaitingTimeInMins=0\r\n");
    ReloadOptions();
    EXPECT_EQ(GetOptions()->SynchRequiredRequestsWaitingTimeInMins(), 1);
    FreeOptions();
    EXPECT_EQ(TIniFile(Ini()).ReadString("Main", "SynchRequiredRequestsWaitingTimeInMins", ""), "0");

    WriteIni("SynchRequiredRequestsWaitingTimeInMins=75\r\n");
    ReloadOptions();
    EXPECT_EQ(GetOptions()->SynchRequiredRequestsWaitingTimeInMins(), 59);
    FreeOptions();
    EXPECT_EQ(TIniFile(Ini()).ReadString("Main", "SynchRequiredRequestsWaitingTimeInMins", ""), "75");

    TOptions o;
    o.SetSynchRequiredRequestsWaitingTimeInMins(59);
    EXPECT_EQ(o.SynchRequiredRequestsWaitingTimeInMins(), 59);
    o.SetSynchRequiredRequestsWaitingTimeInMins(60);
    EXPECT_EQ(o.SynchRequiredRequestsWaitingTimeInMins(), 59);
    o.SetSynchRequiredRequestsWaitingTimeInMins(-5);
    EXPECT_EQ(o.SynchRequiredRequestsWaitingTimeInMins(), 1);
}

TEST_F(OptionsTest, BooleansAreTrueOnlyForExactlyOneIntegersMayBeHexadecimal) {
    WriteIni("BlockDataServer=yes\r\nUseSecondaryDataProtocol=1\r\nUseDebugMode=\" 1\"\r\n");
    ReloadOptions();
    EXPECT_FALSE(GetOptions()->BlockDataServer);
    EXPECT_TRUE(GetOptions()->UseSecondaryDataProtocol);
    EXPECT_FALSE(GetOptions()->UseDebugMode);
    WriteIni("BlockDataServer=true\r\nUseDebugMode=1\r\n");
    ReloadOptions();
    EXPECT_FALSE(GetOptions()->BlockDataServer);
    EXPECT_TRUE(GetOptions()->UseDebugMode);
    WriteIni("FileTransferPort=0x15\r\nPTPort1=$16\r\n");
    ReloadOptions();
    EXPECT_EQ(GetOptions()->FileTransferPort, 21);
    EXPECT_EQ(GetOptions()->PTPort1, 22);
}

TEST_F(OptionsTest, FolderValuesAreUsedAsWrittenAndCreated) {
    std::string rar = Base() + "deep/packets";
    WriteIni("RarFilesDir=" + rar + "\r\nNZOKUpdatesDir=" + Base() + "nz\r\n");
    ReloadOptions();
    EXPECT_EQ(GetOptions()->RarFilesDir, rar);  // no separator added
    EXPECT_TRUE(DirectoryExists(rar));
    EXPECT_TRUE(DirectoryExists(Base() + "nz"));
    EXPECT_FALSE(DirectoryExists(Base() + "Archives"));
}

TEST_F(OptionsTest, PartialFileGainsTheMissingKeysInOrderAndKeepsThePresentOnes) {
    WriteIni("PTPort2=abc\r\nUserName=operator\r\nBlockDataServer=yes\r\n");
    ReloadOptions();
    EXPECT_EQ(GetOptions()->PTPort2, 3053);  // not a number: the default
    EXPECT_EQ(GetOptions()->UserName, "operator");
    FreeOptions();
    TIniFile ini(Ini());
    auto keys = ini.ReadSection("Main");
    ASSERT_EQ(keys.size(), 20u);
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 3),
              (std::vector<std::string>{"PTPort2", "UserName", "BlockDataServer"}));
    std::vector<std::string> rest;
    for (const auto& k : kKeyOrder)
        if (k != "PTPort2" && k != "UserName" && k != "BlockDataServer") rest.push_back(k);
    EXPECT_EQ(std::vector<std::string>(keys.begin() + 3, keys.end()), rest);
    EXPECT_EQ(ini.ReadString("Main", "PTPort2", ""), "abc");
    EXPECT_EQ(ini.ReadString("Main", "BlockDataServer", ""), "yes");
    EXPECT_EQ(ini.ReadString("Main", "UserName", ""), "operator");
}

TEST_F(OptionsTest, SnapshotsStayWithTheirReadersAndAFailedLoadLeavesTheOneInForce) {
    WriteIni("UserName=first\r\n");
    ReloadOptions();
    auto before = GetOptions();
    WriteIni("UserName=second\r\nPacketInstallCheckPeriodInMins=-1\r\n");
    EXPECT_THROW(ReloadOptions(), ERangeError);
    EXPECT_EQ(GetOptions(), before);
    EXPECT_EQ(GetOptions()->UserName, "first");
    // An empty folder value fails the load too.
    WriteIni("SQLCmdFilesFolder=\r\n");
    EXPECT_THROW(ReloadOptions(), EInOutError);
    WriteIni("RarFilesDir=\r\n");
    EXPECT_THROW(ReloadOptions(), EInOutError);
    EXPECT_EQ(GetOptions(), before);
    // A reader keeps its snapshot across a reload.
    WriteIni("Password=old\r\n");
    ReloadOptions();
    auto snap = GetOptions();
    WriteIni("Password=new\r\n");
    ReloadOptions();
    EXPECT_EQ(snap->Password, "old");
    EXPECT_EQ(GetOptions()->Password, "new");
}

TEST_F(OptionsTest, SaveFailureRaises) {
    // The configuration file's place is taken by a folder.
    ForceDirectories(Ini());
    ReloadOptions();  // an unreadable file reads as empty
    EXPECT_THROW(FreeOptions(), EIniFileException);
}

}  // namespace
