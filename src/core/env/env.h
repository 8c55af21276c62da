// The process's one way to the outside world: the options in force, the
// database, the pharmacy directory, the file system, the extractor program,
// the clock and the log. Services take an environment in their constructors
// and reach nothing else; the composition root hands them the default one.
//
// TEnvWrapper forwards every operation to another environment: a test
// derives from it and overrides the one operation it makes fail.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TOptions;
class TDMBase;
class TPharmacyDirectory;
class TUploadRegistry;
class TConnectionPool;

// What Stat reports of a path (a link is not followed).
struct TFileInfo {
    bool Exists = false;
    bool IsFolder = false;
    bool IsFile = false;
    int64_t Size = 0;
    std::time_t ModifyTime = 0;
};

class TEnv {
public:
    virtual ~TEnv() = default;
    // The process's environment: the real file system, database and clock.
    static TEnv& Default();

    // ---- configuration and database ------------------------------------
    virtual std::shared_ptr<const TOptions> Options() = 0;
    // Reads the configuration file again (every service start).
    virtual void ReloadOptions() = 0;
    // A data module on a connection of the pool (see TDMBase), bound to this
    // environment: what its users reach outside the database they reach
    // through its Env().
    virtual std::unique_ptr<TDMBase> ConnectDatabase() = 0;
    // The open connections the data modules of this environment take and
    // give back.
    virtual TConnectionPool& Connections() = 0;
    // The pharmacies: their list, their one password check, their folders.
    virtual TPharmacyDirectory& Pharmacies() = 0;
    // The files the upload paths are writing right now.
    virtual TUploadRegistry& Uploads() = 0;

    // ---- file system (POSIX results: -1 or false with errno set) ----------
    virtual int OpenFile(const std::string& path, int flags, mode_t mode) = 0;
    virtual ssize_t WriteFile(int fd, const void* data, size_t count) = 0;
    virtual ssize_t ReadFile(int fd, void* data, size_t count) = 0;
    virtual int CloseFile(int fd) = 0;
    virtual bool TruncateFile(const std::string& path, int64_t size) = 0;
    virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
    virtual bool DeleteFile(const std::string& path) = 0;
    // The folder and everything in it; false when it was missing or a part
    // of it could not be deleted.
    virtual bool DeleteFolderTree(const std::string& folder) = 0;
    // One folder level (true when it exists afterwards).
    virtual bool CreateFolder(const std::string& folder) = 0;
    // Bare names of the plain files of Folder ("/" at its end) matching Mask.
    virtual std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) = 0;
    virtual TFileInfo Stat(const std::string& path) = 0;
    // Bytes free for an unprivileged writer on the file system of Path (-1
    // when unknown).
    virtual int64_t FreeSpace(const std::string& path) = 0;

    // ---- processes ---------------------------------------------------------
    // Runs a command line as ExecAndWait does (exit code, -1 when it cannot
    // be started; raises when it is killed or times out).
    virtual int RunProcess(const std::string& cmdLine, const std::string& workDir,
                           std::chrono::milliseconds timeout) = 0;
    // The packet archive extractor and how long one extraction may take.
    virtual std::string ExtractorPath() = 0;
    virtual std::chrono::milliseconds ExtractorTimeout() = 0;

    // ---- clock and log ------------------------------------------------------
    virtual std::time_t Now() = 0;
    // One line of the daily log.
    virtual void Log(std::string_view sender, const std::string& msg) = 0;
};

class TEnvWrapper : public TEnv {
public:
    explicit TEnvWrapper(TEnv& target) : target_(target) {}
    // Data modules are bound to the wrapper, so that their users meet the
    // wrapper's operations too.
    TEnv& Target() const { return target_; }

    std::shared_ptr<const TOptions> Options() override { return target_.Options(); }
    void ReloadOptions() override { target_.ReloadOptions(); }
    std::unique_ptr<TDMBase> ConnectDatabase() override;
    TConnectionPool& Connections() override { return target_.Connections(); }
    TPharmacyDirectory& Pharmacies() override { return target_.Pharmacies(); }
    TUploadRegistry& Uploads() override { return target_.Uploads(); }
    int OpenFile(const std::string& path, int flags, mode_t mode) override { return target_.OpenFile(path, flags, mode); }
    ssize_t WriteFile(int fd, const void* data, size_t count) override { return target_.WriteFile(fd, data, count); }
    ssize_t ReadFile(int fd, void* data, size_t count) override { return target_.ReadFile(fd, data, count); }
    int CloseFile(int fd) override { return target_.CloseFile(fd); }
    bool TruncateFile(const std::string& path, int64_t size) override { return target_.TruncateFile(path, size); }
    bool RenameFile(const std::string& from, const std::string& to) override { return target_.RenameFile(from, to); }
    bool DeleteFile(const std::string& path) override { return target_.DeleteFile(path); }
    bool DeleteFolderTree(const std::string& folder) override { return target_.DeleteFolderTree(folder); }
    bool CreateFolder(const std::string& folder) override { return target_.CreateFolder(folder); }
    std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) override {
        return target_.ListFiles(folder, mask);
    }
    TFileInfo Stat(const std::string& path) override { return target_.Stat(path); }
    int64_t FreeSpace(const std::string& path) override { return target_.FreeSpace(path); }
    int RunProcess(const std::string& cmdLine, const std::string& workDir, std::chrono::milliseconds timeout) override {
        return target_.RunProcess(cmdLine, workDir, timeout);
    }
    std::string ExtractorPath() override { return target_.ExtractorPath(); }
    std::chrono::milliseconds ExtractorTimeout() override { return target_.ExtractorTimeout(); }
    std::time_t Now() override { return target_.Now(); }
    void Log(std::string_view sender, const std::string& msg) override { target_.Log(sender, msg); }

private:
    TEnv& target_;
};
