// One FTP session: the control connection's command loop with its table of
// commands, and the data connections it opens, all as one coroutine on the
// session's strand. Waits for the client are asynchronous with the server's
// time-outs; the owner's events and the writes into the stream of a store
// run on the server's worker threads.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <string>

#include "net/net_session.h"
#include "replication/ftp/ftp_server.h"

class TFtpSession {
public:
    TFtpSession(TFtpServer& server, std::shared_ptr<TNetSession> net);
    // Greets the client and serves its commands until it quits, times out,
    // goes away or the server stops.
    asio::awaitable<void> Run();

private:
    using TCommandRoutine = asio::awaitable<void> (TFtpSession::*)(const std::string& arg);
    struct TCommand {
        const char* Verb;
        bool NeedsLogin;
        TCommandRoutine Routine;
    };
    static const TCommand kCommands[];
    enum class DataMode { None, Passive, Active };

    // Control connection
    asio::awaitable<bool> ReadLine(std::string& line);
    asio::awaitable<void> Reply(int code, const std::string& text);
    asio::awaitable<void> RawReply(const std::string& text);
    asio::awaitable<void> Dispatch(const std::string& verb, const std::string& arg);
    // Runs an owner's event on a worker; its exception is reported and
    // returned as false.
    template <class F>
    asio::awaitable<bool> Event(F f);
    void ReportException(const std::string& message);

    // Commands
    asio::awaitable<void> CmdUser(const std::string& arg);
    asio::awaitable<void> CmdPass(const std::string& arg);
    asio::awaitable<void> CmdQuit(const std::string& arg);
    asio::awaitable<void> CmdNoop(const std::string& arg);
    asio::awaitable<void> CmdSyst(const std::string& arg);
    asio::awaitable<void> CmdFeat(const std::string& arg);
    asio::awaitable<void> CmdOpts(const std::string& arg);
    asio::awaitable<void> CmdNotImplemented(const std::string& arg);
    asio::awaitable<void> CmdPwd(const std::string& arg);
    asio::awaitable<void> CmdCwd(const std::string& arg);
    asio::awaitable<void> CmdCdup(const std::string& arg);
    asio::awaitable<void> CmdType(const std::string& arg);
    asio::awaitable<void> CmdMode(const std::string& arg);
    asio::awaitable<void> CmdStru(const std::string& arg);
    asio::awaitable<void> CmdPasv(const std::string& arg);
    asio::awaitable<void> CmdEpsv(const std::string& arg);
    asio::awaitable<void> Passive(bool extended, const std::string& arg);
    asio::awaitable<void> CmdPort(const std::string& arg);
    asio::awaitable<void> CmdEprt(const std::string& arg);
    asio::awaitable<void> CmdList(const std::string& arg);
    asio::awaitable<void> CmdStor(const std::string& arg);
    asio::awaitable<void> CmdAppe(const std::string& arg);
    asio::awaitable<void> Store(const std::string& arg, bool append);
    asio::awaitable<void> CmdSize(const std::string& arg);
    asio::awaitable<void> CmdAllo(const std::string& arg);
    asio::awaitable<void> CmdAbor(const std::string& arg);

    // Data connection
    asio::awaitable<bool> PrepareData();  // replies 425 when no data connection was set up
    // Makes the data connection set up by PASV/EPSV or PORT/EPRT; false (no
    // reply sent) when it could not be made.
    asio::awaitable<bool> OpenData(asio::ip::tcp::socket& data);
    void ResetData();

    TFtpServer& srv_;
    std::shared_ptr<TNetSession> net_;
    const TFtpServerLimits& limits_;
    TFtpSessionContext ctx_;

    std::string inbuf_;
    std::string pendingUser_;
    bool userGiven_ = false;
    bool loggedIn_ = false;
    int failedLogins_ = 0;
    bool epsvAll_ = false;
    bool quit_ = false;

    DataMode dataMode_ = DataMode::None;
    std::unique_ptr<asio::ip::tcp::acceptor> pasv_;
    TNetSession::TAttachment pasvAttached_;
    asio::ip::tcp::endpoint activeEndpoint_;
};
