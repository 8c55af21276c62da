// The process-wide configuration, from "vantrell_config.ini" beside the
// program, section "Main". Readers take one immutable snapshot per
// operation (GetOptions()); a reload builds a new snapshot and publishes it
// atomically, so a reader never sees a half-loaded object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TEnv;

class TOptions {
public:
    // Defaults of every key; no file is read.
    TOptions();

    std::string DataBaseFolder;
    std::string DataBaseHost;
    std::string RarFilesDir;
    int32_t SplitDataRowCount;
    std::string ServerName;
    std::string UserName;
    std::string Password;
    int32_t FileTransferPort;
    uint32_t PacketInstallCheckPeriodInMins;
    std::string DataBaseName;
    int32_t NextDataResponseCheckTimeOut;
    std::string SQLCmdFilesFolder;
    int32_t PTPort1;
    int32_t PTPort2;
    bool BlockDataServer;
    bool UseSecondaryDataProtocol;
    int32_t SynchRequiredRequestsWaitingTimeInMins() const { return synchWait_; }
    void SetSynchRequiredRequestsWaitingTimeInMins(int32_t v);  // held in 1..59
    bool UseDebugMode;
    std::string NomObjectDataDir;
    std::string NZOKUpdatesDir;

    // Reads every key of the file (missing file or key: default), creating
    // the data folders as it goes. Raises ERangeError for a negative
    // PacketInstallCheckPeriodInMins and EInOutError for an empty folder value.
    void Load();
    // Writes every key the file lacks; present keys are never overwritten.
    // The new text goes to a temporary file beside the old one, which then
    // takes its place: a write that fails leaves the old file whole, logs
    // the failure and raises EIniFileException.
    void Save() const;
    void Save(TEnv& env) const;
    // Path of the configuration file.
    static std::string FileName();

private:
    int32_t synchWait_;
};

// The current snapshot; valid until the caller drops it. Before
// CreateOptions() it holds the defaults.
std::shared_ptr<const TOptions> GetOptions();
// Loads the file into a new snapshot and publishes it (start-up and every
// service start). Errors of Load pass to the caller; the previous snapshot
// stays in force then.
void ReloadOptions();
// Start-up: the first load. Process end: Save of the snapshot in force.
void CreateOptions();
void FreeOptions();
void FreeOptions(TEnv& env);
// Test hook: publish a given snapshot.
void SetOptionsForTesting(std::shared_ptr<const TOptions> options);
