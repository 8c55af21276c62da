#include "core/options.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/app_paths.h"
#include "core/env/env.h"
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

void FreeOptions(TEnv& env) { GetOptions()->Save(env); }

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

// Sets the key in memory when the file lacks it; true when it did.
bool SetIfMissing(TIniFile& ini, const char* key, const std::string& value) {
    if (ini.ValueExists(kSection, key)) return false;
    ini.SetString(kSection, key, value);
    return true;
}

// Puts Text in place of the file Path: written whole to "<Path>.tmp" in the
// same folder, then renamed over Path, so that Path holds either its old or
// its new text, never a part of either. The temporary file takes the old
// file's permissions (the file holds the database password). Gives the
// reason of a failure, empty on success.
std::string ReplaceFile(TEnv& env, const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777) : 0666;
    env.DeleteFile(tmp);  // a leftover of an earlier attempt
    int fd = env.OpenFile(tmp, O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) return std::strerror(errno);
    std::string reason;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = env.WriteFile(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = n < 0 ? std::strerror(errno) : "nothing was written";
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (env.CloseFile(fd) != 0 && reason.empty()) reason = std::strerror(errno);
    if (reason.empty() && !env.RenameFile(tmp, path)) reason = std::strerror(errno);
    if (!reason.empty()) env.DeleteFile(tmp);
    return reason;
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

void TOptions::Save() const { Save(TEnv::Default()); }

void TOptions::Save(TEnv& env) const {
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    TIniFile ini(FileName());
    // The missing keys are gathered in memory; the file is written once.
    bool missing = false;
    auto WriteIfMissing = [&missing](TIniFile& file, const char* key, const std::string& value) {
        missing = SetIfMissing(file, key, value) || missing;
    };
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
    if (!missing) return;
    const std::string reason = ReplaceFile(env, ini.FileName(), ini.Text());
    if (reason.empty()) return;
    const std::string msg = "Unable to write to " + ini.FileName();
    env.Log("TOptions", msg + ": " + reason + "; the file was left as it was");
    throw EIniFileException(msg);
}
