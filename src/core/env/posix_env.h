// The real environment: POSIX files and processes, the process's options
// snapshot, the connection pool, the system clock and the daily log.
#pragma once

#include <mutex>

#include "core/env/env.h"
#include "core/env/pharmacy_directory.h"
#include "core/env/upload_registry.h"

class TPosixEnv : public TEnv {
public:
    TPosixEnv();
    ~TPosixEnv() override;

    std::shared_ptr<const TOptions> Options() override;
    void ReloadOptions() override;
    std::unique_ptr<TDMBase> ConnectDatabase() override;
    // The process's one pool: it outlives every data module and is kept
    // apart across a fork.
    TConnectionPool& Connections() override;
    TPharmacyDirectory& Pharmacies() override { return pharmacies_; }
    TUploadRegistry& Uploads() override { return uploads_; }
    int OpenFile(const std::string& path, int flags, mode_t mode) override;
    ssize_t WriteFile(int fd, const void* data, size_t count) override;
    ssize_t ReadFile(int fd, void* data, size_t count) override;
    int CloseFile(int fd) override;
    bool TruncateFile(const std::string& path, int64_t size) override;
    bool RenameFile(const std::string& from, const std::string& to) override;
    bool DeleteFile(const std::string& path) override;
    bool DeleteFolderTree(const std::string& folder) override;
    bool CreateFolder(const std::string& folder) override;
    std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) override;
    TFileInfo Stat(const std::string& path) override;
    int64_t FreeSpace(const std::string& path) override;
    int RunProcess(const std::string& cmdLine, const std::string& workDir, std::chrono::milliseconds timeout) override;
    std::string ExtractorPath() override;
    std::chrono::milliseconds ExtractorTimeout() override;
    std::time_t Now() override;
    void Log(std::string_view sender, const std::string& msg) override;

    // Another extractor program ("" : the one beside the executable) and
    // time limit (tools and tests).
    void SetExtractor(const std::string& path, std::chrono::milliseconds timeout);

private:
    TPharmacyDirectory pharmacies_;
    TUploadRegistry uploads_;
    std::mutex lock_;
    std::string extractorPath_;
    std::chrono::milliseconds extractorTimeout_;
};

// The process's default environment (TEnv::Default()) as what it is.
TPosixEnv& DefaultPosixEnv();
