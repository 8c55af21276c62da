#include "replication/packet/packet_installer_service.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/files.h"
#include "core/format.h"
#include "core/options.h"
#include "replication/packet/archive_installer.h"
#include "core/env/pharmacy_directory.h"
#include "core/env/upload_registry.h"

TVantrellPacketInstallerService::TVantrellPacketInstallerService(TMainLoop* loop)
    : TVantrellPacketInstallerService(TEnv::Default(), loop) {}

TVantrellPacketInstallerService::TVantrellPacketInstallerService(TEnv& env, TMainLoop* loop)
    : env_(env), timer_(loop) {
    AllowStop = true;
    AllowPause = true;
    Interactive = false;
    ErrorSeverity = TErrorSeverity::esNormal;
    StartType = TStartType::stAuto;
    timer_.SetEnabled(false);
    timer_.SetInterval(60000);
    timer_.SetOnTimer([this] { tmrPacketInstallerTimer(); });
}

TVantrellPacketInstallerService::~TVantrellPacketInstallerService() { timer_.SetEnabled(false); }

uint32_t TVantrellPacketInstallerService::TimerInterval(uint32_t minutes) {
    uint64_t ms = static_cast<uint64_t>(minutes) * 60u * 1000u;
    if (ms > std::numeric_limits<uint32_t>::max()) throw EIntOverflow("Integer overflow");
    return static_cast<uint32_t>(ms);
}

void TVantrellPacketInstallerService::ServiceCreate() {
    timer_.SetInterval(TimerInterval(env_.Options()->PacketInstallCheckPeriodInMins));
}

void TVantrellPacketInstallerService::ServiceStart(bool& started) {
    env_.ReloadOptions();
    timer_.SetInterval(TimerInterval(env_.Options()->PacketInstallCheckPeriodInMins));
    env_.Pharmacies().Reload(env_);
    // A first pass at once, as the timer runs it. The busy flag is not
    // cleared here: a timer pass may be running on the main thread, and every
    // pass clears the flag when it ends.
    tmrPacketInstallerTimer();
}

void TVantrellPacketInstallerService::tmrPacketInstallerTimer() {
    // The timer runs again however the pass ends.
    try {
        CheckPackets();
    } catch (...) {
        timer_.SetEnabled(true);
        throw;
    }
    timer_.SetEnabled(true);
}

void TVantrellPacketInstallerService::Log(const std::string& sender, const std::string& msg) const {
    env_.Log(sender, msg);
}

std::string TVantrellPacketInstallerService::GetUserFolderName(const std::vector<std::string>& list, size_t index) {
    const std::string& line = list.at(index);
    return "pharm" + line.substr(0, line.find('|'));
}

int32_t TVantrellPacketInstallerService::GetArchiveNumber(const std::string& fileName) {
    size_t cut = fileName.find_last_of('/');
    std::string name = cut == std::string::npos ? fileName : fileName.substr(cut + 1);
    if (name.size() <= 7) return -1;
    return StrToIntDef(name.substr(3, name.size() - 7), -1);
}

int32_t TVantrellPacketInstallerService::GetMaxArchiveNum(const std::vector<std::string>& files) {
    int32_t result = 0;
    for (const std::string& f : files) result = std::max(result, GetArchiveNumber(f));
    return result;
}

bool TVantrellPacketInstallerService::UploadInProgress(const std::string& folder) const {
    if (env_.Uploads().IsFolderBusy(folder)) return true;
    std::time_t now = env_.Now();
    for (const std::string& name : env_.ListFiles(folder, "*")) {
        TFileInfo st = env_.Stat(folder + name);
        if (!st.IsFile) continue;
        if (now - st.ModifyTime < kUploadSettleTime.count() && st.ModifyTime - now < kUploadSettleTime.count())
            return true;
    }
    return false;
}

void TVantrellPacketInstallerService::CheckPackets() {
    if (busy_.test_and_set()) return;
    struct TClearBusy {
        std::atomic_flag& flag;
        ~TClearBusy() { flag.clear(); }
    } clearBusy{busy_};

    std::vector<std::string> list = env_.Pharmacies().List();

    std::string base = AddTrailingBackslash(env_.Options()->RarFilesDir);
    for (size_t i = 0; i < list.size(); ++i) {
        std::string folder = AddTrailingBackslash(base + GetUserFolderName(list, i));
        std::vector<std::string> files = env_.ListFiles(folder, "*.rar");
        int32_t pharmID = StrToInt(list[i].substr(0, list[i].find('|')));
        if (!files.empty() && UploadInProgress(folder)) {
            Log(ClassName(), Format("Pharmacy %d is uploading packets; they are installed at a later pass", {pharmID}));
            continue;
        }
        DeleteInstalledPackets(folder, files, pharmID);
        files = env_.ListFiles(folder, "*.rar");
        if (!files.empty()) InstallPharmacyPackets(pharmID, GetMaxArchiveNum(files));
    }
}

void TVantrellPacketInstallerService::DeleteInstalledPackets(const std::string& folder,
                                                             const std::vector<std::string>& files,
                                                             int32_t pharmID) {
    int32_t last;
    {
        std::unique_ptr<TDMBase> dm = env_.ConnectDatabase();
        auto q = dm->OpenQuery("select last_archive_num from pharmacy where id = " + std::to_string(pharmID));
        last = q->Eof() ? 0 : VarToIntDef(q->FieldByName("last_archive_num").AsVariant(), 0);
    }
    for (const std::string& entry : files) {
        size_t cut = entry.find_last_of('/');
        std::string name = cut == std::string::npos ? entry : entry.substr(cut + 1);
        int32_t n = GetArchiveNumber(name);
        if (n >= 0 && n <= last) {
            Log(ClassName(), "Deleting already installed packet: " + name);
            if (!env_.DeleteFile(folder + name))
                Log(ClassName(), Format("Installed packet %s could not be deleted (%s); the next pass tries again.",
                                        {name, std::string(std::strerror(errno))}));
        }
    }
}

void TVantrellPacketInstallerService::InstallPharmacyPackets(int32_t pharmID, int32_t highest) {
    Log(ClassName(), Format(Cp(u8"Инсталиране на пакети за аптека %d..."), {pharmID}));
    RunArchiveInstaller(pharmID, highest);
}

void TVantrellPacketInstallerService::RunArchiveInstaller(int32_t pharmID, int32_t highest) {
    TArchiveInstallerNoThread installer(env_);
    installer.FPharmID = pharmID;
    installer.FLastArchiveNumber = highest;
    installer.Execute();
    // What the server does about a failure, said once for the run.
    if (installer.Failed())
        Log(ClassName(), Format("Pharmacy %d: installation stopped; the archives left are tried again at the next pass.",
                                {pharmID}));
}
