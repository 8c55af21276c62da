// A small FTP server (RFC 959 with the passive and extended modes of RFC 2428)
// for uploads: clients log in with an account of the server's user manager,
// change directory, list, and store or append files. What happens to a
// stored file, a directory change and a listing is decided by the owner
// through events; the server itself never opens a file.
//
// Threads: the server runs on the process's network layer (net/net_server.h).
// Each session (ftp_session.h) is a coroutine on the I/O threads, its data
// transfers included; the events and the writes into the owner's streams
// run on the server's worker threads, several at once.
//
// Bounds (TFtpServerLimits): a maximum number of sessions (more are answered
// 421 and closed), an idle time-out of the control connection, a time-out for
// a data connection to be made, and an idle time-out of a data connection
// once made (a client that connects and never sends is cut off, its transfer
// answered 426). Failed logins are limited per session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/stream.h"
#include "net/net_server.h"
#include "replication/ftp/ftp_users.h"

// What an event knows of the session it runs for.
struct TFtpSessionContext {
    uint64_t SessionId = 0;
    std::string PeerIP;            // the client's address as text
    std::string UserName;          // the logged-in account ("" before login)
    std::string HomeFolder;        // that account's home folder
    std::string CurrentDirectory;  // the session's virtual directory ("/" at first)
};

struct TFtpServerLimits {
    int MaxSessions = 200;                 // concurrent sessions
    int ControlIdleTimeoutMs = 300000;     // no command for this long ends the session (421)
    int DataConnectTimeoutMs = 60000;      // for the data connection to be made
    int DataIdleTimeoutMs = 60000;         // no data for this long aborts the transfer (426)
    int MaxFailedLogins = 3;               // then the session is closed (421)
    int MaxCommandLine = 4096;             // bytes of one command line
    int Workers = 16;                      // events and file writes worked on at once
    uint16_t PassivePortMin = 0;           // passive ports: 0/0 lets the system choose
    uint16_t PassivePortMax = 0;
};

// Events. Exceptions thrown by an event are reported to OnException and end
// the command with an error reply; the session goes on.
//
// OnStoreFile supplies the stream that receives the uploaded bytes (an
// append stream positioned where the bytes go), or none to refuse the
// transfer; the server frees the stream when the transfer ends, complete or
// not. OnChangeDirectory may change the directory the session moves to.
// OnListDirectory fills the lines of a listing (none: an empty listing).
// OnGetFileSize returns a file's size, or -1 when there is none.
using TFtpStoreFileEvent =
    std::function<std::unique_ptr<TStream>(const TFtpSessionContext&, const std::string& fileName, bool append)>;
using TFtpChangeDirectoryEvent = std::function<void(const TFtpSessionContext&, std::string& directory)>;
using TFtpListDirectoryEvent =
    std::function<void(const TFtpSessionContext&, const std::string& path, std::vector<std::string>& lines)>;
using TFtpFileSizeEvent = std::function<int64_t(const TFtpSessionContext&, const std::string& fileName)>;
using TFtpSessionEvent = std::function<void(const TFtpSessionContext&)>;
using TFtpExceptionEvent = std::function<void(const TFtpSessionContext&, const std::string& message)>;

class TFtpServer {
public:
    TFtpServer();
    ~TFtpServer();  // deactivates
    TFtpServer(const TFtpServer&) = delete;
    TFtpServer& operator=(const TFtpServer&) = delete;

    // Settings; changed only while the server is inactive.
    int DefaultPort = 21;              // control port; 0: chosen by the system
    int DefaultDataPort = 0;           // source port of active-mode data connections (0: any)
    std::string BindAddress = "0.0.0.0";
    std::string Greeting = "FTP Server ready.";
    std::string UnknownCommandReply = "Syntax error, command unrecognized.";
    std::string SystemType = "WIN32";
    TFtpServerLimits Limits;
    TFtpUserManager* UserManager = nullptr;

    TFtpStoreFileEvent OnStoreFile;
    TFtpChangeDirectoryEvent OnChangeDirectory;
    TFtpListDirectoryEvent OnListDirectory;
    TFtpFileSizeEvent OnGetFileSize;
    TFtpSessionEvent OnConnect;
    TFtpSessionEvent OnDisconnect;
    TFtpExceptionEvent OnException;

    // Opens the control port and starts the listener (true), or closes it
    // and ends every session, waiting for the work in progress (false).
    // Opening raises EInOutError when the port cannot be bound.
    void SetActive(bool active);
    bool Active() const;
    // The port actually listened on (useful with DefaultPort 0); 0 when inactive.
    int BoundPort() const;
    // Sessions now running.
    int SessionCount() const;

private:
    asio::awaitable<void> Serve(std::shared_ptr<TNetSession> session);

    TNetServer net_;
};
