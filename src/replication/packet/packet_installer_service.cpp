#include "replication/packet/packet_installer_service.h"

#include <sys/stat.h>

#include <ctime>
#include <limits>

#include "core/app_misc.h"
#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/misc.h"
#include "core/options.h"
#include "replication/packet/archive_installer.h"
#include "replication/repl_data_service.h"
#include "replication/upload_registry.h"

TVantrellPacketInstallerService* VantrellPacketInstallerService = nullptr;

TVantrellPacketInstallerService::TVantrellPacketInstallerService(TMainLoop* loop) : timer_(loop) {
    AllowStop = true;
    AllowPause = true;
    Interactive = false;
    ErrorSeverity = TErrorSeverity::esNormal;
    StartType = TStartType::stAuto;
    timer_.SetEnabled(false);
    timer_.SetInterval(60000);
    timer_.SetOnTimer([this] { tmrPacketInstallerTimer(); });
    VantrellPacketInstallerService = this;
}

TVantrellPacketInstallerService::~TVantrellPacketInstallerService() {
    timer_.SetEnabled(false);
    if (VantrellPacketInstallerService == this) VantrellPacketInstallerService = nullptr;
}

uint32_t TVantrellPacketInstallerService::TimerInterval(uint32_t minutes) {
    uint64_t ms = static_cast<uint64_t>(minutes) * 60u * 1000u;
    if (ms > std::numeric_limits<uint32_t>::max()) throw EIntOverflow("Integer overflow");
    return static_cast<uint32_t>(ms);
}

void TVantrellPacketInstallerService::ServiceCreate() {
    timer_.SetInterval(TimerInterval(GetOptions()->PacketInstallCheckPeriodInMins));
}

void TVantrellPacketInstallerService::ServiceStart(bool& started) {
    if (ReloadOptionsFn)
        ReloadOptionsFn();
    else
        ReloadOptions();
    timer_.SetInterval(TimerInterval(GetOptions()->PacketInstallCheckPeriodInMins));
    if (UserListReload)
        UserListReload();
    else if (ZorvelCentralServerSrv)
        ZorvelCentralServerSrv->ReloadUserList();
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
    if (ZorvelCentralServerSrv) ZorvelCentralServerSrv->Log(sender, msg);
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
    if (TUploadRegistry::Instance().IsFolderBusy(folder)) return true;
    if (UploadSettleTime.count() <= 0) return false;
    std::time_t now = std::time(nullptr);
    for (const std::string& name : GetDirectoryEntries(folder, "*", false, true)) {
        struct stat st;
        if (::lstat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now - st.st_mtime < UploadSettleTime.count() && st.st_mtime - now < UploadSettleTime.count()) return true;
    }
    return false;
}

void TVantrellPacketInstallerService::CheckPackets() {
    if (busy_.test_and_set()) return;
    struct TClearBusy {
        std::atomic_flag& flag;
        ~TClearBusy() { flag.clear(); }
    } clearBusy{busy_};

    std::vector<std::string> list;
    if (UserListSource)
        list = UserListSource();
    else if (ZorvelCentralServerSrv)
        list = ZorvelCentralServerSrv->GetUserListCopy();

    std::string base = AddTrailingBackslash(GetOptions()->RarFilesDir);
    for (size_t i = 0; i < list.size(); ++i) {
        std::string folder = AddTrailingBackslash(base + GetUserFolderName(list, i));
        std::vector<std::string> files = GetDirectoryEntries(folder, "*.rar", false, true);
        int32_t pharmID = StrToInt(list[i].substr(0, list[i].find('|')));
        if (!files.empty() && UploadInProgress(folder)) {
            Log(ClassName(), Format("Pharmacy %d is uploading packets; they are installed at a later pass", {pharmID}));
            continue;
        }
        DeleteInstalledPackets(folder, files, pharmID);
        files = GetDirectoryEntries(folder, "*.rar", false, true);
        if (!files.empty()) InstallPharmacyPackets(pharmID, GetMaxArchiveNum(files));
    }
}

void TVantrellPacketInstallerService::DeleteInstalledPackets(const std::string& folder,
                                                             const std::vector<std::string>& files,
                                                             int32_t pharmID) {
    int32_t last;
    {
        TDMBase dm;
        auto q = dm.OpenQuery("select last_archive_num from pharmacy where id = " + std::to_string(pharmID));
        last = q->Eof() ? 0 : VarToIntDef(q->FieldByName("last_archive_num").AsVariant(), 0);
    }
    for (const std::string& entry : files) {
        size_t cut = entry.find_last_of('/');
        std::string name = cut == std::string::npos ? entry : entry.substr(cut + 1);
        int32_t n = GetArchiveNumber(name);
        if (n >= 0 && n <= last) {
            Log(ClassName(), "Deleting already installed packet: " + name);
            ForceDeleteFile(folder + name);
        }
    }
}

void TVantrellPacketInstallerService::InstallPharmacyPackets(int32_t pharmID, int32_t highest) {
    Log(ClassName(), Format(Cp(u8"Инсталиране на пакети за аптека %d..."), {pharmID}));
    if (OnInstallPharmacy) {
        OnInstallPharmacy(pharmID, highest);
        return;
    }
    TArchiveInstallerNoThread installer;
    installer.FPharmID = pharmID;
    installer.FLastArchiveNumber = highest;
    installer.Execute();
}
