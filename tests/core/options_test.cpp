#include "core/options.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "core/cp1251.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/ini_file.h"
#include "support/expect_raises.h"
#include "support/fault_env.h"
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
    TIniFile written(Ini());
    EXPECT_EQ(written.ReadSection("Main"),
              (std::vector<std::string>{"DataBaseHost", "DataBaseFolder", "RarFilesDir", "SplitDataRowCount",
                                        "ServerName", "UserName", "Password", "FileTransferPort",
                                        "PacketInstallCheckPeriodInMins", "DataBaseName",
                                        "NextDataResponseCheckTimeOut", "SQLCmdFilesFolder", "PTPort1", "PTPort2",
                                        "BlockDataServer", "UseSecondaryDataProtocol",
                                        "SynchRequiredRequestsWaitingTimeInMins", "UseDebugMode", "NomObjectDataDir",
                                        "NZOKUpdatesDir"}));
    // The defaults the later text below does not show.
    for (const auto& [key, value] : {std::pair{"UserName", "WebZorvelUser"}, {"PTPort2", "3053"}, {"BlockDataServer", "0"}})
        EXPECT_EQ(written.ReadString("Main", key, ""), value) << key;

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

// An environment that keeps the log lines and counts the files opened.
class TSaveEnv : public TFaultEnv {
public:
    std::vector<std::string> Lines;
    int Opens = 0;
    void Log(std::string_view sender, const std::string& msg) override { Lines.push_back(std::string(sender) + ": " + msg); }
    int OpenFile(const std::string& path, int flags, mode_t mode) override {
        ++Opens;
        return TFaultEnv::OpenFile(path, flags, mode);
    }
};

// The missing keys are written in one go to a file beside the old one,
// which then takes its place: a write that fails at any step leaves the
// old file as it was, byte for byte, and no temporary file behind.
TEST_F(OptionsTest, AFailedSaveLeavesTheOldFileWholeAndIsLogged) {
    WriteIni("UserName=operator\r\nPassword=secret\r\n");
    ::chmod(Ini().c_str(), 0600);
    const std::string old = TempDir::Read(Ini());
    ReloadOptions();
    const struct {
        const char* name;
        std::function<void(TSaveEnv&)> fault;
        const char* reason;
    } cases[] = {
        {"disk full half-way", [](TSaveEnv& e) { e.DiskRoom = 40; }, "No space left on device"},
        {"disk full", [](TSaveEnv& e) { e.DiskRoom = 0; }, "No space left on device"},
        {"no file", [](TSaveEnv& e) { e.OpenFault = [](const std::string&) { return TFaultEnv::Fail(EACCES); }; },
         "Permission denied"},
        {"no rename",
         [](TSaveEnv& e) { e.RenameFault = [](const std::string&, const std::string&) { return TFaultEnv::Fail(EIO); }; },
         "Input/output error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSaveEnv env;
        c.fault(env);
        ExpectRaises<EIniFileException>([&] { FreeOptions(env); }, "Unable to write to " + Ini());
        EXPECT_EQ(TempDir::Read(Ini()), old);
        EXPECT_FALSE(FileExists(Ini() + ".tmp"));
        ASSERT_EQ(env.Lines.size(), 1u);
        EXPECT_EQ(env.Lines[0], "TOptions: Unable to write to " + Ini() + ": " + c.reason + "; the file was left as it was");
    }
    // A good write: the old lines first, then every missing key, written once;
    // the file keeps its permissions.
    TSaveEnv env;
    FreeOptions(env);
    const std::string now = TempDir::Read(Ini());
    EXPECT_EQ(now.rfind(old, 0), 0u);
    EXPECT_EQ(TIniFile(Ini()).ReadSection("Main").size(), 20u);
    EXPECT_EQ(now.substr(now.size() - 2), "\r\n");
    EXPECT_EQ(env.Opens, 1);
    EXPECT_TRUE(env.Lines.empty());
    EXPECT_FALSE(FileExists(Ini() + ".tmp"));
    struct stat st {};
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing missing: nothing is written.
    FreeOptions(env);
    EXPECT_EQ(env.Opens, 1);
}

TEST(IniFile, MissingFileReadsEmptyAndIsCreatedByTheFirstWriteOrRaises) {
    TempDir dir;
    std::string path = dir.File("a.ini");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Main", "Key", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("Main", "Key", 7), 7);
    EXPECT_FALSE(ini.ValueExists("Main", "Key") || ini.SectionExists("Main"));
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
    EXPECT_TRUE(ini.SectionExists("MAIN") && ini.ValueExists("Main", "SERVERNAME"));
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
