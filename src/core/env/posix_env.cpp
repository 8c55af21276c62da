#include "core/env/posix_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "core/app_paths.h"
#include "core/db/connection_pool.h"
#include "core/db/dm_base.h"
#include "core/files.h"
#include "core/log.h"
#include "core/options.h"
#include "core/process.h"

// The extractor's program name, beside the server executable.
static const char* const kExtractorName = "rar";

TPosixEnv& DefaultPosixEnv() {
    static TPosixEnv env;
    return env;
}

TEnv& TEnv::Default() { return DefaultPosixEnv(); }

std::unique_ptr<TDMBase> TEnvWrapper::ConnectDatabase() { return std::make_unique<TDMBase>(*this); }

TPosixEnv::TPosixEnv() : extractorTimeout_(kExecDefaultTimeout) {}

TPosixEnv::~TPosixEnv() = default;

std::shared_ptr<const TOptions> TPosixEnv::Options() { return GetOptions(); }

void TPosixEnv::ReloadOptions() { ::ReloadOptions(); }

std::unique_ptr<TDMBase> TPosixEnv::ConnectDatabase() { return std::make_unique<TDMBase>(*this); }

TConnectionPool& TPosixEnv::Connections() { return TConnectionPool::Instance(); }

int TPosixEnv::OpenFile(const std::string& path, int flags, mode_t mode) {
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

ssize_t TPosixEnv::WriteFile(int fd, const void* data, size_t count) { return ::write(fd, data, count); }

ssize_t TPosixEnv::ReadFile(int fd, void* data, size_t count) { return ::read(fd, data, count); }

int TPosixEnv::CloseFile(int fd) { return ::close(fd); }

bool TPosixEnv::TruncateFile(const std::string& path, int64_t size) {
    return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool TPosixEnv::RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool TPosixEnv::DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool TPosixEnv::DeleteFolderTree(const std::string& folder) { return DeleteDirTree(folder); }

bool TPosixEnv::CreateFolder(const std::string& folder) {
    std::string d = folder;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return ::mkdir(d.c_str(), 0755) == 0 || errno == EEXIST;
}

std::vector<std::string> TPosixEnv::ListFiles(const std::string& folder, const std::string& mask) {
    return GetDirectoryEntries(folder, mask, false, true);
}

TFileInfo TPosixEnv::Stat(const std::string& path) {
    TFileInfo info;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st{};
    if (::lstat(p.c_str(), &st) != 0) return info;
    info.Exists = true;
    info.IsFolder = S_ISDIR(st.st_mode);
    info.IsFile = S_ISREG(st.st_mode);
    info.Size = static_cast<int64_t>(st.st_size);
    info.ModifyTime = st.st_mtime;
    return info;
}

int64_t TPosixEnv::FreeSpace(const std::string& path) {
    struct statvfs vfs{};
    if (::statvfs(path.c_str(), &vfs) != 0) return -1;
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

int TPosixEnv::RunProcess(const std::string& cmdLine, const std::string& workDir, std::chrono::milliseconds timeout) {
    return ExecAndWait(cmdLine, false, workDir, timeout);
}

std::string TPosixEnv::ExtractorPath() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!extractorPath_.empty()) return extractorPath_;
    }
    std::string exe = ProgramPath();
    size_t cut = exe.rfind('/');
    return (cut == std::string::npos ? std::string() : exe.substr(0, cut + 1)) + kExtractorName;
}

int TPosixEnv::DatabasePort() {
    const int p = databasePort_.load();
    return p > 0 ? p : 3306;
}

void TPosixEnv::SetDatabasePort(int port) { databasePort_.store(port); }

std::chrono::milliseconds TPosixEnv::ExtractorTimeout() {
    std::lock_guard<std::mutex> g(lock_);
    return extractorTimeout_;
}

void TPosixEnv::SetExtractor(const std::string& path, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> g(lock_);
    extractorPath_ = path;
    extractorTimeout_ = timeout;
}

std::time_t TPosixEnv::Now() { return std::time(nullptr); }

void TPosixEnv::Log(std::string_view sender, const std::string& msg) { ::Log(sender, msg); }
