#include "replication/repl_data_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/env/pharmacy_directory.h"
#include "core/env/upload_registry.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "protocol/pharm_classes.h"
#include "replication/upload_files.h"
#include "replication/upload_names.h"

namespace {

const char* const kSender = "TZorvelCentralServerSrv";

// A file an upload writes into, held in the registry of files being written
// for as long as it is open. It is never opened through a symbolic link.
class TUploadFileStream : public TStream {
public:
    TUploadFileStream(TEnv& env, const std::string& path, bool append, TUploadRegistry::TLock lock)
        : env_(env), path_(path), lock_(std::move(lock)) {
        int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : O_CREAT | O_EXCL);
        fd_ = env_.OpenFile(path, flags, 0644);
        if (fd_ < 0)
            throw EInOutError(std::string(append ? "Cannot open file \"" : "Cannot create file \"") + path +
                              "\". " + std::strerror(errno));
    }
    ~TUploadFileStream() override {
        if (fd_ >= 0) env_.CloseFile(fd_);  // closed before the registry lets the path go
        lock_.Release();
    }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        const char* p = static_cast<const char*>(buffer);
        int64_t total = 0;
        while (count > 0) {
            ssize_t n = env_.WriteFile(fd_, p + total, static_cast<size_t>(count));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // The store is answered with an error; the pharmacy sends
                // the file again. Logged once: the transfer ends here.
                env_.Log(kSender, Format("Cannot write %s: %s; the store is refused, the pharmacy sends it again.",
                                         {path_, std::string(n < 0 ? std::strerror(errno) : "nothing written")}));
                break;
            }
            total += n;
            count -= n;
        }
        return total;
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
        int whence = origin == SeekOrigin::Beginning ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
        off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
        return r < 0 ? -1 : static_cast<int64_t>(r);
    }
    int64_t Position() const override {
        off_t r = ::lseek(fd_, 0, SEEK_CUR);
        return r < 0 ? -1 : static_cast<int64_t>(r);
    }
    int64_t Size() const override {
        struct stat st{};
        return ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    void SetSize(int64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw EStreamError("Stream write error");
    }

private:
    TEnv& env_;
    std::string path_;
    int fd_ = -1;
    TUploadRegistry::TLock lock_;
};

// Splits a pharmacy line at every "|" (empty parts kept, also a last one).
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> parts(1);
    for (char c : line) {
        if (c == '|')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

}  // namespace

TZorvelCentralServerSrv::TZorvelCentralServerSrv(TEnv& env, TReplDataListening listening)
    : env_(env), listening_(std::move(listening)) {
    AllowStop = true;
    AllowPause = false;
    Interactive = true;
    ErrorSeverity = TErrorSeverity::esIgnore;
    StartType = TStartType::stAuto;

    ftpServer_.DefaultPort = 21;
    ftpServer_.BindAddress = listening_.BindAddress;
    ftpServer_.Greeting = "FTP Server ready.";
    ftpServer_.UnknownCommandReply = "Syntax error, command unrecognized.";
    ftpServer_.SystemType = "WIN32";
    ftpServer_.UserManager = &userManager_;
    ftpServer_.OnStoreFile = [this](const TFtpSessionContext& s, const std::string& name, bool append) {
        return IdFTPServerStoreFile(s, name, append);
    };
    ftpServer_.OnChangeDirectory = [this](const TFtpSessionContext& s, std::string& dir) {
        IdFTPServerChangeDirectory(s, dir);
    };
    ftpServer_.OnListDirectory = [this](const TFtpSessionContext& s, const std::string& path,
                                        std::vector<std::string>& lines) { IdFTPServerListDirectory(s, path, lines); };
    ftpServer_.OnGetFileSize = [this](const TFtpSessionContext& s, const std::string& name) {
        return IdFTPServerGetFileSize(s, name);
    };
    ftpServer_.OnException = [this](const TFtpSessionContext& s, const std::string& message) {
        Log(kSender, Format("FTP session of %s(%s): %s", {s.UserName, s.PeerIP, message}));
    };

    tcpServer_.MaxConnections = kMaxUploadConnections;
    tcpServer_.Workers = kMaxUploadRequests;
    tcpServer_.LogSender = kSender;
    tcpServer_.OnRequest = [this](TTcpRequest& r) { IdTCPServerExecute(r); };
    tcpServer_.OnException = [this](const std::string& peer, const std::exception& e) {
        Log(kSender, Format("Upload connection from %s ended: %s", {peer, std::string(e.what())}));
    };

}

TZorvelCentralServerSrv::~TZorvelCentralServerSrv() {
    try {
        ftpServer_.SetActive(false);
        tcpServer_.Stop();
    } catch (...) {
    }
}

void TZorvelCentralServerSrv::ServiceCreate() {}

void TZorvelCentralServerSrv::ServiceDestroy() {}

int TZorvelCentralServerSrv::FtpPort() const { return ftpServer_.Active() ? ftpServer_.BoundPort() : 0; }

int TZorvelCentralServerSrv::TcpPort() const { return tcpServer_.Active() ? tcpServer_.Port() : 0; }

void TZorvelCentralServerSrv::Log(std::string_view sender, const std::string& msg) const {
    env_.Log(sender, msg);
}

// ---------------------------------------------------------------------------
// Start and stop

void TZorvelCentralServerSrv::ServiceStart(bool& started) {
    env_.ReloadOptions();

    for (;;) {
        ReloadUserList();
        if (!GetUserListCopy().empty()) break;
        Log(kSender, "No Users Found! Check the db connection!");
        if (WaitForStop(listening_.RetryDelay)) {
            started = false;
            return;
        }
    }

    std::shared_ptr<const TOptions> opt = env_.Options();
    CreatePharmacyFolders();
    bool secondary = opt->UseSecondaryDataProtocol;
    if (secondary) {
        if (tcpServer_.Active()) tcpServer_.Stop();
        tcpPort_ = listening_.TcpPort >= 0 ? listening_.TcpPort : opt->PTPort2;
    } else {
        if (ftpServer_.Active()) ftpServer_.SetActive(false);
        ftpServer_.DefaultPort = listening_.FtpPort >= 0 ? listening_.FtpPort : opt->FileTransferPort;
        ftpServer_.DefaultDataPort = listening_.FtpDataPort >= 0 ? listening_.FtpDataPort : opt->PTPort2;
    }
    RefreshFTPUserAccounts();
    if (!opt->BlockDataServer) {
        if (secondary) {
            // A port outside the valid range is a configuration error, not
            // another port.
            if (tcpPort_ < 0 || tcpPort_ > 65535)
                throw EInOutError(Format("Invalid port %d for the data server", {tcpPort_}));
            tcpServer_.Start(listening_.BindAddress, static_cast<uint16_t>(tcpPort_));
        } else {
            ftpServer_.SetActive(true);
        }
        Log(kSender, std::string("DataServer Activated!") + (secondary ? " Secondary Protocol..." : ""));
    } else {
        Log(kSender, "DataServer Disabled!");
    }
    started = true;
}

void TZorvelCentralServerSrv::ServiceStop(bool& stopped) {
    RequestStop();
    if (ftpServer_.Active()) ftpServer_.SetActive(false);
    if (tcpServer_.Active()) tcpServer_.Stop();
    stopped = true;
}

// ---------------------------------------------------------------------------
// Pharmacy list

void TZorvelCentralServerSrv::ReloadUserList() { env_.Pharmacies().Reload(env_); }

std::vector<std::string> TZorvelCentralServerSrv::GetUserListCopy() const { return env_.Pharmacies().List(); }

void TZorvelCentralServerSrv::CreatePharmacyFolders() {
    std::string base = AddTrailingBackslash(env_.Options()->RarFilesDir);
    for (const std::string& line : GetUserListCopy()) {
        std::string name = TPharmacyDirectory::FolderNameOf(line);
        if (!IsSafeUploadName(name)) continue;  // the id column never yields such text
        std::string dir = base + name;
        if (!env_.Stat(dir).IsFolder) {
            Log(kSender, "Create Folder " + dir);
            CreateFolder(env_, dir);
        }
    }
}

void TZorvelCentralServerSrv::RefreshFTPUserAccounts() {
    std::string base = AddTrailingBackslash(env_.Options()->RarFilesDir);
    userManager_.Clear();
    for (const std::string& line : GetUserListCopy()) {
        std::vector<std::string> parts = SplitLine(line);
        if (parts.size() != 3) continue;
        std::string user = "pharm" + Trim(parts[0]);
        if (parts[2].empty()) {
            // Such an account would let anybody in with an empty password.
            Log(kSender, Format("Pharmacy %s has no internet password: no FTP account and no uploads for it.",
                                {Trim(parts[0])}));
            continue;
        }
        userManager_.AddUser({user, parts[1], parts[2], base + user});
    }
}

// ---------------------------------------------------------------------------
// FTP events

std::unique_ptr<TStream> TZorvelCentralServerSrv::IdFTPServerStoreFile(const TFtpSessionContext& session,
                                                                       const std::string& fileName, bool append) {
    try {
        std::string name = CleanFtpFileName(fileName);
        if (!IsSafeUploadName(name) || !IsSafeUploadName(session.UserName)) {
            Log(kSender, Format("Refused file name \"%s\" from %s(%s).", {fileName, session.UserName, session.PeerIP}));
            return nullptr;
        }
        std::string folder = AddTrailingBackslash(env_.Options()->RarFilesDir) + session.UserName;
        if (!env_.Stat(folder).IsFolder) CreateFolder(env_, folder);
        folder = AddTrailingBackslash(folder);

        // Names are one archive whatever their letter case.
        std::vector<std::string> existing = FindFilesNoCase(env_, folder, name);
        std::string target = folder + (append && !existing.empty() ? existing.front() : name);
        TUploadRegistry::TLock lock = env_.Uploads().TryAcquire(target);
        if (!lock) {
            Log(kSender, Format("File %s is being written by another upload; store from %s(%s) refused.",
                                {target, session.UserName, session.PeerIP}));
            return nullptr;
        }
        if (!append) {
            for (const std::string& old : existing) {
                if (!env_.DeleteFile(folder + old) && errno != ENOENT) {
                    Log(kSender, Format("Cannot delete %s before a new upload: %s",
                                        {folder + old, std::string(std::strerror(errno))}));
                    return nullptr;
                }
            }
        }
        Log(kSender, Format("Receiving file %s from %s(%s).", {target, session.UserName, session.PeerIP}));
        // An append opens the existing file only: one that is missing fails
        // here, after the line above, and the store is refused.
        auto stream = std::make_unique<TUploadFileStream>(env_, target, append, std::move(lock));
        Log(kSender, "After Stream Redirect!");
        return stream;
    } catch (const std::exception& e) {
        Log(kSender, Format("Store of \"%s\" from %s(%s) refused: %s",
                            {fileName, session.UserName, session.PeerIP, std::string(e.what())}));
        return nullptr;
    }
}

void TZorvelCentralServerSrv::IdFTPServerChangeDirectory(const TFtpSessionContext&, std::string&) {}

void TZorvelCentralServerSrv::IdFTPServerListDirectory(const TFtpSessionContext&, const std::string&,
                                                       std::vector<std::string>&) {}

int64_t TZorvelCentralServerSrv::IdFTPServerGetFileSize(const TFtpSessionContext& session,
                                                        const std::string& fileName) {
    std::string name = CleanFtpFileName(fileName);
    if (!IsSafeUploadName(name) || !IsSafeUploadName(session.UserName)) return -1;
    std::string folder = AddTrailingBackslash(AddTrailingBackslash(env_.Options()->RarFilesDir) + session.UserName);
    std::string found = FindFileNoCase(env_, folder, name);
    if (found.empty()) return -1;
    try {
        return PlainFileSize(env_, folder + found);
    } catch (const std::exception&) {
        return -1;
    }
}
