// An environment over the real one that keeps the options the test
// published, and in which a test makes single operations fail: each fault,
// when set, is asked first and may fail the operation (it sets errno and
// returns true) or let it through (false). A pharmacy list may be fixed in
// place of the table's.
#pragma once

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/env/pharmacy_directory.h"
#include "core/env/posix_env.h"

class TFixedPharmacies : public TPharmacyDirectory {
public:
    std::optional<std::vector<std::string>> Lines;
    std::vector<std::string> Load(TEnv& env) override { return Lines ? *Lines : TPharmacyDirectory::Load(env); }
};

class TFaultEnv : public TEnvWrapper {
public:
    TFaultEnv() : TEnvWrapper(TEnv::Default()) {}

    // Fault points: return true to fail the operation (errno set by the fault).
    std::function<bool(const std::string& from, const std::string& to)> RenameFault;
    std::function<bool(const std::string& folder)> DeleteTreeFault;
    std::function<bool(const std::string& path)> CreateFolderFault;
    std::function<bool(const std::string& path)> OpenFault;
    // Bytes a write may still put on the disk before it is full (none: no limit).
    std::optional<int64_t> DiskRoom;
    // Called in place of the extractor when set (its exit code).
    std::function<int(const std::string& cmdLine, const std::string& folder)> Extractor;
    // Called after every data module the environment hands out is made.
    std::function<void(TDMBase&)> OnConnect;
    // Seconds added to the real clock.
    std::time_t ClockShift = 0;
    std::string ExtractorProgram;
    std::optional<std::chrono::milliseconds> ExtractorTime;
    TFixedPharmacies Directory;

    // Back to the real environment (the pharmacy list stays).
    void ClearFaults() {
        RenameFault = nullptr;
        DeleteTreeFault = nullptr;
        CreateFolderFault = nullptr;
        OpenFault = nullptr;
        DiskRoom.reset();
        Extractor = nullptr;
        OnConnect = nullptr;
        ClockShift = 0;
    }

    static bool Fail(int err) {
        errno = err;
        return true;
    }

    TPharmacyDirectory& Pharmacies() override { return Directory; }
    // The snapshot the test published stays in force.
    void ReloadOptions() override {}
    std::unique_ptr<TDMBase> ConnectDatabase() override {
        auto dm = TEnvWrapper::ConnectDatabase();
        if (OnConnect) OnConnect(*dm);
        return dm;
    }
    int OpenFile(const std::string& path, int flags, mode_t mode) override {
        if (OpenFault && OpenFault(path)) return -1;
        return TEnvWrapper::OpenFile(path, flags, mode);
    }
    ssize_t WriteFile(int fd, const void* data, size_t count) override {
        if (!DiskRoom) return TEnvWrapper::WriteFile(fd, data, count);
        if (*DiskRoom <= 0) {
            errno = ENOSPC;  // the disk is full
            return -1;
        }
        ssize_t n = TEnvWrapper::WriteFile(fd, data, std::min<size_t>(count, static_cast<size_t>(*DiskRoom)));
        if (n > 0) *DiskRoom -= n;
        return n;
    }
    bool RenameFile(const std::string& from, const std::string& to) override {
        if (RenameFault && RenameFault(from, to)) return false;
        return TEnvWrapper::RenameFile(from, to);
    }
    bool DeleteFolderTree(const std::string& folder) override {
        if (DeleteTreeFault && DeleteTreeFault(folder)) return false;
        return TEnvWrapper::DeleteFolderTree(folder);
    }
    bool CreateFolder(const std::string& folder) override {
        if (CreateFolderFault && CreateFolderFault(folder)) return false;
        return TEnvWrapper::CreateFolder(folder);
    }
    int RunProcess(const std::string& cmdLine, const std::string& workDir, std::chrono::milliseconds timeout) override {
        if (Extractor) return Extractor(cmdLine, workDir);
        return TEnvWrapper::RunProcess(cmdLine, workDir, timeout);
    }
    std::string ExtractorPath() override {
        return ExtractorProgram.empty() ? TEnvWrapper::ExtractorPath() : ExtractorProgram;
    }
    std::chrono::milliseconds ExtractorTimeout() override {
        return ExtractorTime ? *ExtractorTime : TEnvWrapper::ExtractorTimeout();
    }
    std::time_t Now() override { return TEnvWrapper::Now() + ClockShift; }
};
