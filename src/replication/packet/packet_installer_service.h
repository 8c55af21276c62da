// The packet installer service ("Vantrell PacketInstallerService"). It has
// no work loop: a timer on the main loop runs one installation pass at a
// time; the first pass runs on the service's own thread inside ServiceStart.
//
// A pass walks a copy of the pharmacy directory's list. For each
// pharmacy it deletes the uploaded archives ("*.rar" in RarFilesDir/pharm<id>/)
// whose number is already installed and, when archives remain, hands the
// pharmacy to TArchiveInstallerNoThread with the highest number found. An
// archive's number is its file name without the first three and the last
// four characters ("xml12.rar" and "XML12.RAR" give 12); a name whose rest is
// no integer (also one too large for 32 bits) gives -1. A pharmacy whose
// folder holds a file that an upload is writing, or a file changed within
// the last minute, is left for a later pass.
//
// Passes never overlap: a pass that finds another one running returns at
// once. The busy flag is one atomic test-and-set shared by the service
// thread and the timer, and it is cleared on every way out of a pass.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/env/env.h"
#include "core/exceptions.h"
#include "core/main_loop.h"
#include "core/service.h"

VT_DECLARE_EXCEPTION(EIntOverflow, EMathError);

class TVantrellPacketInstallerService : public TService {
public:
    // The timer fires on Loop (nullptr: the process's main loop).
    explicit TVantrellPacketInstallerService(TMainLoop* loop = nullptr);
    explicit TVantrellPacketInstallerService(TEnv& env, TMainLoop* loop = nullptr);
    ~TVantrellPacketInstallerService() override;

    std::string Name() const override { return "VantrellPacketInstallerService"; }
    std::string DisplayName() const override { return "Vantrell PacketInstallerService"; }
    const char* ClassName() const override { return "TVantrellPacketInstallerService"; }

    // Sets the timer interval from the configuration.
    void ServiceCreate() override;
    void ServiceDestroy() override {}
    // Reloads the configuration and the pharmacy list, runs the first pass,
    // then enables the timer (also when the pass raised).
    void ServiceStart(bool& started) override;
    // Nothing: the timer stays enabled, passes go on while the process runs.
    void ServiceStop(bool& stopped) override {}

    // The timer's handler: one pass, then the timer enabled again.
    void tmrPacketInstallerTimer();
    // One installation pass over all pharmacies.
    void CheckPackets();
    // Deletes the archives of the list whose number is at least 0 and at
    // most the pharmacy's last_archive_num.
    void DeleteInstalledPackets(const std::string& folder, const std::vector<std::string>& files, int32_t pharmID);
    // Logs, then runs one TArchiveInstallerNoThread for the pharmacy.
    void InstallPharmacyPackets(int32_t pharmID, int32_t highest);
    // Writes a line of the daily log.
    void Log(const std::string& sender, const std::string& msg) const;

    // The archive number of a file name (-1 when there is none).
    static int32_t GetArchiveNumber(const std::string& fileName);
    // The highest archive number of the list, at least 0.
    static int32_t GetMaxArchiveNum(const std::vector<std::string>& files);
    // "pharm" + the text of the line before its first "|".
    static std::string GetUserFolderName(const std::vector<std::string>& list, size_t index);
    // Minutes x 60 x 1000 in unsigned 32-bit arithmetic; raises EIntOverflow
    // "Integer overflow" when the product does not fit.
    static uint32_t TimerInterval(uint32_t minutes);

    TTimer& tmrPacketInstaller() { return timer_; }
    // Whether a pass is running.
    bool Busy() const { return busy_.test(); }

    // How long a pharmacy's files must be left unchanged before its archives
    // are installed.
    static constexpr std::chrono::seconds kUploadSettleTime{60};

protected:
    // Runs the archive installer for the pharmacy up to archive Highest.
    virtual void RunArchiveInstaller(int32_t pharmID, int32_t highest);

private:
    // Whether an upload is writing into the folder or changed a file of it
    // within kUploadSettleTime.
    bool UploadInProgress(const std::string& folder) const;

    TEnv& env_;
    TTimer timer_;
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
};
