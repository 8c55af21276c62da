// The replication data service ("Vantrell ReplData Server"): receives the
// pharmacies' packet archives into their folders under RarFilesDir, through
// its FTP server or, with UseSecondaryDataProtocol, through its own TCP
// upload protocol on PTPort2. Its pharmacy list (one line "id|name|inet_pass"
// each) is the environment's pharmacy directory, shared with the installer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/env/env.h"
#include "core/repeated_failures.h"
#include "core/service.h"
#include "core/stream.h"
#include "net/tcp_server.h"
#include "replication/ftp/ftp_server.h"

class TDMBase;
class TComponent;
class TPharmServerLoginCommand;
class TPharmServerSendFileCommand;
class TPharmServerSendFileResult;
class TPharmServerCommandResult;

// Where the service's servers listen and how long it waits before reading
// an empty pharmacy list again. The defaults are those of the installed
// service; tests and benchmarks bind 127.0.0.1 on ports of the system's
// choosing.
struct TReplDataListening {
    std::string BindAddress = "0.0.0.0";
    // -1: the configured port; 0: one chosen by the system.
    int FtpPort = -1;
    int TcpPort = -1;
    int FtpDataPort = -1;
    std::chrono::milliseconds RetryDelay{60000};
};

class TZorvelCentralServerSrv : public TService {
public:
    // TCP upload path: connections open at once, and requests worked on at
    // once (each may open a database connection and append to a file).
    static constexpr int kMaxUploadConnections = 2000;
    static constexpr int kMaxUploadRequests = 64;

    explicit TZorvelCentralServerSrv(TEnv& env, TReplDataListening listening = {});
    ~TZorvelCentralServerSrv() override;

    std::string Name() const override { return "ZorvelCentralServerSrv"; }
    std::string DisplayName() const override { return "Vantrell ReplData Server"; }
    const char* ClassName() const override { return "TZorvelCentralServerSrv"; }

    void ServiceCreate() override;
    void ServiceDestroy() override;
    // Reloads the configuration, reads the pharmacy list (retrying while it
    // is empty; a stop request (RequestStop, or ServiceStop from another
    // thread) ends the wait and leaves started false),
    // creates the folders and the FTP accounts, and activates the FTP server,
    // the TCP server (secondary protocol) or neither (BlockDataServer).
    // Failing to open a port raises.
    void ServiceStart(bool& started) override;
    // Ends a waiting start (by RequestStop: a stopped service object is not
    // started again in the same process), then deactivates the FTP server
    // and the TCP server.
    void ServiceStop(bool& stopped) override;

    // The port the FTP server, or the TCP upload server, listens on; 0 while
    // it does not listen.
    int FtpPort() const;
    int TcpPort() const;

private:
    // ---- the pharmacy list -------------------------------------------------
    // One line per row of the pharmacy table, "id|name|inet_pass" (a null
    // column as empty text), read on a fresh data module; empty when the
    // database cannot be reached.
    std::vector<std::string> LoadPharmacyUsers();
    // Replaces the list with LoadPharmacyUsers (database work outside the lock).
    void ReloadUserList();
    // A copy of the list, taken under its lock: the way other services read it.
    std::vector<std::string> GetUserListCopy() const;
    void LockUserList() const;
    void UnlockUserList() const;
    // "pharm" + the text of line index before its first "|".
    std::string GetUserFolderName(size_t index) const;
    // Creates RarFilesDir/pharm<id> for every line that lacks it (one level).
    void CreatePharmacyFolders();
    // Rebuilds the FTP accounts: "pharm" + trimmed id, real name, password,
    // for every line of exactly three parts with a non-empty password.
    void RefreshFTPUserAccounts();
    // Writes a line of the daily log with Sender as the class name.
    void Log(std::string_view sender, const std::string& msg) const;

    // ---- FTP events ----------------------------------------------------------
    // The stream that receives a stored file: RarFilesDir/<user>/<cleaned
    // name>; none (refused) when the name is unsafe, the file is being
    // written by another upload, an old file cannot be deleted, or (append)
    // the file does not exist.
    std::unique_ptr<TStream> IdFTPServerStoreFile(const TFtpSessionContext& session, const std::string& fileName,
                                                  bool append);
    // Any directory is accepted; it has no effect on where files go.
    void IdFTPServerChangeDirectory(const TFtpSessionContext& session, std::string& directory);
    // Listings are empty.
    void IdFTPServerListDirectory(const TFtpSessionContext& session, const std::string& path,
                                  std::vector<std::string>& lines);
    // Size of a file of the session's own folder (cleaned name), or -1.
    int64_t IdFTPServerGetFileSize(const TFtpSessionContext& session, const std::string& fileName);

    // ---- TCP upload path -------------------------------------------------------
    // Handles one request frame of a connection (on a worker thread).
    void IdTCPServerExecute(TTcpRequest& request);
    std::unique_ptr<TPharmServerSendFileResult> ProcessSendFileCommand(const TPharmServerSendFileCommand& command);
    // Checks the command's pharmacy code and password, and says in the result
    // whether they are right; `code` is the pharmacy's code.
    bool AuthorizeCommand(const TPharmServerLoginCommand& command, TPharmServerSendFileResult& result,
                          int32_t& code);
    bool CheckPharmacyPassword(const std::string& code, const std::string& password);
    // Appends every byte of Data (from its start) to the file of `before`
    // bytes, creating it; false when the file cannot be opened (it stays as
    // it was; logged). When a write fails, the file is cut back to `before`
    // bytes and the failure raises.
    bool AppendPacketData(const std::string& fileName, const TMemoryStream& data, int64_t before);
    // The result object that answers a command of this class when its
    // handling failed; nullptr for a class without one.
    static std::unique_ptr<TPharmServerCommandResult> CreateResultFor(const TComponent& command);

    TEnv& env_;
    // Failures of an upload that its pharmacy meets again and again.
    TRepeatedFailures failures_;
    TFtpUserManager userManager_;
    TFtpServer ftpServer_;
    TTcpServer tcpServer_;
    int tcpPort_ = 0;                 // set by each start
    const TReplDataListening listening_;
};
