// Blocking socket work with time-outs and a stop signal, for the FTP
// server's threads. Every wait is a poll on the socket and on the server's
// stop signal, so that deactivating the server ends every wait at once.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include <asio.hpp>

// A level-triggered signal: once raised it stays raised.
class TStopSignal {
public:
    TStopSignal();
    ~TStopSignal();
    TStopSignal(const TStopSignal&) = delete;
    TStopSignal& operator=(const TStopSignal&) = delete;
    void Raise();
    bool Raised() const;
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Why a socket operation did not complete.
class EFtpIo : public std::runtime_error {
public:
    enum Kind { TimedOut, Stopped, Failed };
    EFtpIo(Kind kind, const std::string& msg) : std::runtime_error(msg), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

enum class TWaitResult { Ready, TimedOut, Stopped };
// Waits until fd has one of events, the time-out passes (timeoutMs < 0: no
// limit) or the stop signal is raised.
TWaitResult WaitForFd(int fd, short events, int timeoutMs, const TStopSignal& stop);

// Reads what is there (at most n bytes), waiting up to timeoutMs for the
// first byte. Returns 0 at the peer's orderly end. The socket must be in
// non-blocking mode. Raises EFtpIo.
size_t TimedReadSome(asio::ip::tcp::socket& s, void* buffer, size_t n, int timeoutMs, const TStopSignal& stop);
// Writes all n bytes; each wait for the socket to take more is limited to
// timeoutMs. Raises EFtpIo.
void TimedWriteAll(asio::ip::tcp::socket& s, const void* buffer, size_t n, int timeoutMs, const TStopSignal& stop);
// Accepts one connection into peer (opened by the call). Raises EFtpIo.
void TimedAccept(asio::ip::tcp::acceptor& a, asio::ip::tcp::socket& peer, int timeoutMs, const TStopSignal& stop);
// Opens s, binds it to local (port 0: any; a port that cannot be bound falls
// back to any port) and connects it to remote. Raises EFtpIo.
void TimedConnect(asio::ip::tcp::socket& s, const asio::ip::tcp::endpoint& local,
                  const asio::ip::tcp::endpoint& remote, int timeoutMs, const TStopSignal& stop);
