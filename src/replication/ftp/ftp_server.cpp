#include "replication/ftp/ftp_server.h"

#include "core/exceptions.h"
#include "replication/ftp/ftp_session.h"

TFtpServer::TFtpServer() = default;

TFtpServer::~TFtpServer() {
    try {
        SetActive(false);
    } catch (...) {
    }
}

asio::awaitable<void> TFtpServer::Serve(std::shared_ptr<TNetSession> session) {
    TFtpSession s(*this, std::move(session));
    co_await s.Run();
}

void TFtpServer::SetActive(bool active) {
    if (!active) return net_.Stop();
    if (net_.Active()) return;
    // A port outside the valid range would otherwise wrap to another one.
    if (DefaultPort < 0 || DefaultPort > 65535)
        throw EInOutError("Invalid port " + std::to_string(DefaultPort) + " for the FTP server");
    TNetServer::TSettings s;
    s.ListenQueue = 32;
    s.MaxConnections = Limits.MaxSessions > 0 ? Limits.MaxSessions : 1;
    s.Workers = Limits.Workers;
    s.LogSender = "TFtpServer";
    s.RefuseBeyondBound = "421 Too many connections, try again later.\r\n";
    try {
        net_.Start(BindAddress, static_cast<uint16_t>(DefaultPort), s,
                   [this](std::shared_ptr<TNetSession> session) { return Serve(std::move(session)); });
    } catch (const EInOutError& e) {
        throw EInOutError("Could not bind socket. Address and port are already in use or not available (" +
                          BindAddress + ":" + std::to_string(DefaultPort) + "): " + e.what());
    }
}

bool TFtpServer::Active() const { return net_.Active(); }

int TFtpServer::BoundPort() const { return net_.Port(); }

int TFtpServer::SessionCount() const { return net_.SessionCount(); }
