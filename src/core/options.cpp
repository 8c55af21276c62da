#include "core/options.h"

#include <atomic>

#include "core/app_paths.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/ini_file.h"

TOptions::TOptions()
    : DataBaseFolder("C:\\Program Files\\Nuvaro\\ZorvelXP2\\Data\\"),
      DataBaseHost("127.0.0.1"),
      RarFilesDir(ProgramFolder() + "Archives/"),
      SplitDataRowCount(100),
      ServerName("127.0.0.1"),
      UserName("WebZorvelUser"),
      Password("WebKestrelCiphers"),
      FileTransferPort(21),
      PacketInstallCheckPeriodInMins(10),
      DataBaseName("WebZorvelCentral"),
      NextDataResponseCheckTimeOut(180000),
      SQLCmdFilesFolder(ProgramFolder() + "SQLDataPack/"),
      PTPort1(21),
      PTPort2(3053),
      BlockDataServer(false),
      UseSecondaryDataProtocol(false),
      UseDebugMode(false),
      NomObjectDataDir(ProgramFolder() + "VantrellNomObjectData/"),
      NZOKUpdatesDir(ProgramFolder() + "NZOKUpdates/"),
      synchWait_(2) {}

void TOptions::SetSynchRequiredRequestsWaitingTimeInMins(int32_t v) {
    synchWait_ = v < 1 ? 1 : v >= 60 ? 59 : v;
}

std::string TOptions::FileName() { return ProgramFolder() + "vantrell_config.ini"; }

namespace {
std::shared_ptr<const TOptions>& Current() {
    static std::shared_ptr<const TOptions> current = std::make_shared<const TOptions>();
    return current;
}
}  // namespace

std::shared_ptr<const TOptions> GetOptions() { return std::atomic_load(&Current()); }

void SetOptionsForTesting(std::shared_ptr<const TOptions> options) {
    std::atomic_store(&Current(), std::move(options));
}

void ReloadOptions() {
    auto fresh = std::make_shared<TOptions>();
    fresh->Load();
    std::atomic_store(&Current(), std::shared_ptr<const TOptions>(std::move(fresh)));
}

void CreateOptions() { ReloadOptions(); }

void FreeOptions() { GetOptions()->Save(); }

namespace {

const char* const kSection = "Main";

// A folder the options name is created with its missing parents when it is
// not there; whether that works is not checked here (its users fail later).
// An empty folder value cannot be created and raises EInOutError.
void EnsureFolder(const std::string& dir) {
    if (!DirectoryExists(dir)) ForceDirectories(dir);
}

bool ReadFlag(const TIniFile& ini, const char* key) {
    // Exactly "1" is true; "true", "yes" or " 1" are not.
    return ini.ReadString(kSection, key, "0") == "1";
}

void WriteIfMissing(TIniFile& ini, const char* key, const std::string& value) {
    if (!ini.ValueExists(kSection, key)) ini.WriteString(kSection, key, value);
}

}  // namespace

void TOptions::Load() {
    const TOptions d;  // the defaults
    TIniFile ini(FileName());
    DataBaseHost = ini.ReadString(kSection, "DataBaseHost", d.DataBaseHost);
    DataBaseFolder = ini.ReadString(kSection, "DataBaseFolder", d.DataBaseFolder);
    RarFilesDir = ini.ReadString(kSection, "RarFilesDir", d.RarFilesDir);
    EnsureFolder(RarFilesDir);
    SplitDataRowCount = ini.ReadInteger(kSection, "SplitDataRowCount", d.SplitDataRowCount);
    ServerName = ini.ReadString(kSection, "ServerName", d.ServerName);
    UserName = ini.ReadString(kSection, "UserName", d.UserName);
    Password = ini.ReadString(kSection, "Password", d.Password);
    FileTransferPort = ini.ReadInteger(kSection, "FileTransferPort", d.FileTransferPort);
    int32_t period = ini.ReadInteger(kSection, "PacketInstallCheckPeriodInMins",
                                     static_cast<int32_t>(d.PacketInstallCheckPeriodInMins));
    if (period < 0) throw ERangeError("Range check error");
    PacketInstallCheckPeriodInMins = static_cast<uint32_t>(period);
    DataBaseName = ini.ReadString(kSection, "DataBaseName", d.DataBaseName);
    NextDataResponseCheckTimeOut =
        ini.ReadInteger(kSection, "NextDataResponseCheckTimeOut", d.NextDataResponseCheckTimeOut);
    SQLCmdFilesFolder = ini.ReadString(kSection, "SQLCmdFilesFolder", d.SQLCmdFilesFolder);
    PTPort1 = ini.ReadInteger(kSection, "PTPort1", d.PTPort1);
    PTPort2 = ini.ReadInteger(kSection, "PTPort2", d.PTPort2);
    BlockDataServer = ReadFlag(ini, "BlockDataServer");
    UseSecondaryDataProtocol = ReadFlag(ini, "UseSecondaryDataProtocol");
    SetSynchRequiredRequestsWaitingTimeInMins(ini.ReadInteger(
        kSection, "SynchRequiredRequestsWaitingTimeInMins", d.SynchRequiredRequestsWaitingTimeInMins()));
    UseDebugMode = ReadFlag(ini, "UseDebugMode");
    NomObjectDataDir = ini.ReadString(kSection, "NomObjectDataDir", d.NomObjectDataDir);
    NZOKUpdatesDir = ini.ReadString(kSection, "NZOKUpdatesDir", d.NZOKUpdatesDir);

    EnsureFolder(SQLCmdFilesFolder);
    EnsureFolder(NomObjectDataDir);
    EnsureFolder(NZOKUpdatesDir);
}

void TOptions::Save() const {
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    TIniFile ini(FileName());
    WriteIfMissing(ini, "DataBaseHost", DataBaseHost);
    WriteIfMissing(ini, "DataBaseFolder", DataBaseFolder);
    WriteIfMissing(ini, "RarFilesDir", RarFilesDir);
    WriteIfMissing(ini, "SplitDataRowCount", std::to_string(SplitDataRowCount));
    WriteIfMissing(ini, "ServerName", ServerName);
    WriteIfMissing(ini, "UserName", UserName);
    WriteIfMissing(ini, "Password", Password);
    WriteIfMissing(ini, "FileTransferPort", std::to_string(FileTransferPort));
    WriteIfMissing(ini, "PacketInstallCheckPeriodInMins", std::to_string(PacketInstallCheckPeriodInMins));
    WriteIfMissing(ini, "DataBaseName", DataBaseName);
    WriteIfMissing(ini, "NextDataResponseCheckTimeOut", std::to_string(NextDataResponseCheckTimeOut));
    WriteIfMissing(ini, "SQLCmdFilesFolder", SQLCmdFilesFolder);
    WriteIfMissing(ini, "PTPort1", std::to_string(PTPort1));
    WriteIfMissing(ini, "PTPort2", std::to_string(PTPort2));
    WriteIfMissing(ini, "BlockDataServer", flag(BlockDataServer));
    WriteIfMissing(ini, "UseSecondaryDataProtocol", flag(UseSecondaryDataProtocol));
    WriteIfMissing(ini, "SynchRequiredRequestsWaitingTimeInMins",
                   std::to_string(SynchRequiredRequestsWaitingTimeInMins()));
    WriteIfMissing(ini, "UseDebugMode", flag(UseDebugMode));
    WriteIfMissing(ini, "NomObjectDataDir", NomObjectDataDir);
    WriteIfMissing(ini, "NZOKUpdatesDir", NZOKUpdatesDir);
}
