#include "core/options.h"

#include <atomic>

#include "core/app_paths.h"

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

// Load and Save are completed with the configuration file reader.
void TOptions::Load() {}
void TOptions::Save() const {}
