#include "replication/ftp/ftp_io.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

TStopSignal::TStopSignal() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

TStopSignal::~TStopSignal() {
    if (fd_ >= 0) ::close(fd_);
}

void TStopSignal::Raise() {
    uint64_t one = 1;
    // The counter is never read, so the descriptor stays readable.
    ssize_t r = ::write(fd_, &one, sizeof one);
    (void)r;
}

bool TStopSignal::Raised() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

TWaitResult WaitForFd(int fd, short events, int timeoutMs, const TStopSignal& stop) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            if (left < 0) left = 0;
            wait = static_cast<int>(left);
        }
        pollfd p[2] = {{stop.Fd(), POLLIN, 0}, {fd, events, 0}};
        int r = ::poll(p, 2, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return TWaitResult::Stopped;
        }
        if (p[0].revents) return TWaitResult::Stopped;
        if (p[1].revents) return TWaitResult::Ready;
        if (r == 0 && timeoutMs >= 0) return TWaitResult::TimedOut;
    }
}

static void RaiseForWait(TWaitResult w, const char* what) {
    if (w == TWaitResult::TimedOut) throw EFtpIo(EFtpIo::TimedOut, std::string(what) + " timed out");
    if (w == TWaitResult::Stopped) throw EFtpIo(EFtpIo::Stopped, "server stopping");
}

size_t TimedReadSome(asio::ip::tcp::socket& s, void* buffer, size_t n, int timeoutMs, const TStopSignal& stop) {
    for (;;) {
        asio::error_code ec;
        size_t got = s.read_some(asio::buffer(buffer, n), ec);
        if (!ec) return got;
        if (ec == asio::error::eof) return 0;
        if (ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted) {
            RaiseForWait(WaitForFd(s.native_handle(), POLLIN, timeoutMs, stop), "read");
            continue;
        }
        throw EFtpIo(EFtpIo::Failed, ec.message());
    }
}

void TimedWriteAll(asio::ip::tcp::socket& s, const void* buffer, size_t n, int timeoutMs, const TStopSignal& stop) {
    const char* p = static_cast<const char*>(buffer);
    while (n > 0) {
        asio::error_code ec;
        size_t put = s.write_some(asio::buffer(p, n), ec);
        if (!ec) {
            p += put;
            n -= put;
            continue;
        }
        if (ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted) {
            RaiseForWait(WaitForFd(s.native_handle(), POLLOUT, timeoutMs, stop), "write");
            continue;
        }
        throw EFtpIo(EFtpIo::Failed, ec.message());
    }
}

void TimedAccept(asio::ip::tcp::acceptor& a, asio::ip::tcp::socket& peer, int timeoutMs, const TStopSignal& stop) {
    for (;;) {
        asio::error_code ec;
        a.accept(peer, ec);
        if (!ec) return;
        if (ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted ||
            ec == asio::error::connection_aborted) {
            RaiseForWait(WaitForFd(a.native_handle(), POLLIN, timeoutMs, stop), "accept");
            continue;
        }
        throw EFtpIo(EFtpIo::Failed, ec.message());
    }
}

void TimedConnect(asio::ip::tcp::socket& s, const asio::ip::tcp::endpoint& local,
                  const asio::ip::tcp::endpoint& remote, int timeoutMs, const TStopSignal& stop) {
    asio::error_code ec;
    s.open(remote.protocol(), ec);
    if (ec) throw EFtpIo(EFtpIo::Failed, ec.message());
    s.set_option(asio::socket_base::reuse_address(true), ec);
    s.bind(local, ec);
    if (ec && local.port() != 0) {
        ec.clear();
        s.bind(asio::ip::tcp::endpoint(local.address(), 0), ec);
    }
    if (ec) throw EFtpIo(EFtpIo::Failed, ec.message());
    s.non_blocking(true, ec);
    if (ec) throw EFtpIo(EFtpIo::Failed, ec.message());
    // The descriptor's own connect: the library's blocking connect would
    // wait without limit.
    int fd = s.native_handle();
    if (::connect(fd, remote.data(), static_cast<socklen_t>(remote.size())) == 0) return;
    if (errno != EINPROGRESS && errno != EINTR)
        throw EFtpIo(EFtpIo::Failed, std::string("connect: ") + std::strerror(errno));
    RaiseForWait(WaitForFd(fd, POLLOUT, timeoutMs, stop), "connect");
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) throw EFtpIo(EFtpIo::Failed, std::string("connect: ") + std::strerror(err));
}
