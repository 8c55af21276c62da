#include "nomsync/nom_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

// ---------------------------------------------------------------------------
// TNomSyncConnection

TNomSyncConnection::TNomSyncConnection(int fd) : fd_(fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        addr.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        char buf[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        peer_ = std::string(buf) + ":" + std::to_string(ntohs(in->sin_port));
    }
}

TNomSyncConnection::~TNomSyncConnection() {
    Close();
    if (fd_ >= 0) ::close(fd_);
}

void TNomSyncConnection::Close() {
    if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

void TNomSyncConnection::ReadBuffer(void* buffer, size_t count) {
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        if (closed_.load()) throw EConnectionClosed("Connection closed gracefully.");
        pollfd pfd{fd_, POLLIN, 0};
        int r = ::poll(&pfd, 1, readTimeoutMs_ > 0 ? readTimeoutMs_ : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            Close();
            throw ESocketError("Socket error: " + ErrnoText(err));
        }
        if (r == 0) {
            Close();
            throw EReadTimeout("Read timed out.");
        }
        ssize_t n = ::recv(fd_, p, count, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            int err = errno;
            Close();
            throw ESocketError("Socket error: " + ErrnoText(err));
        }
        if (n == 0) {
            Close();
            throw EConnectionClosed("Connection closed gracefully.");
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
}

int32_t TNomSyncConnection::ReadInt32() {
    uint32_t be = 0;
    ReadBuffer(&be, sizeof be);
    return static_cast<int32_t>(ntohl(be));
}

void TNomSyncConnection::ReadStream(TStream& dest, int64_t count) {
    std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(count, 64 * 1024)));
    while (count > 0) {
        size_t piece = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(buf.size())));
        ReadBuffer(buf.data(), piece);
        dest.WriteBuffer(buf.data(), static_cast<int64_t>(piece));
        count -= static_cast<int64_t>(piece);
    }
}

void TNomSyncConnection::WriteBuffer(const void* buffer, size_t count) {
    auto* p = static_cast<const char*>(buffer);
    while (count > 0) {
        if (closed_.load()) throw EConnectionClosed("Connection closed gracefully.");
        // A peer that stops taking bytes is given as long as a read would be.
        pollfd pfd{fd_, POLLOUT, 0};
        int r = ::poll(&pfd, 1, readTimeoutMs_ > 0 ? readTimeoutMs_ : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            Close();
            throw ESocketError("Socket error: " + ErrnoText(err));
        }
        if (r == 0) {
            Close();
            throw EReadTimeout("Write timed out.");
        }
        ssize_t n = ::send(fd_, p, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            int err = errno;
            Close();
            throw EConnectionClosed("Socket error: " + ErrnoText(err));
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
}

void TNomSyncConnection::WriteInt32(int32_t value) {
    uint32_t be = htonl(static_cast<uint32_t>(value));
    WriteBuffer(&be, sizeof be);
}

// ---------------------------------------------------------------------------
// TNomSyncTcpServer

TNomSyncTcpServer::TNomSyncTcpServer() = default;

TNomSyncTcpServer::~TNomSyncTcpServer() { Close(); }

size_t TNomSyncTcpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return conns_.size();
}

void TNomSyncTcpServer::Open() {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ESocketError("Could not create socket: " + ErrnoText(errno));
    if (ReuseSocket) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(DefaultPort);
    if (::inet_pton(AF_INET, BindAddress.c_str(), &addr.sin_addr) != 1) {
        ::close(fd);
        throw ESocketError("Invalid bind address: " + BindAddress);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, ListenQueue) != 0) {
        int err = errno;
        ::close(fd);
        throw ESocketError("Could not bind socket. Address and port are already in use. (" +
                           std::to_string(DefaultPort) + ": " + ErrnoText(err) + ")");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        throw ESocketError("Could not create the wake pipe: " + ErrnoText(err));
    }
    listenFd_ = fd;
    boundPort_ = ntohs(addr.sin_port);
    stopping_ = false;
    active_ = true;
    listener_ = std::thread([this] { ListenLoop(); });
}

void TNomSyncTcpServer::Close() {
    if (!active_) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    char b = 1;
    [[maybe_unused]] ssize_t w = ::write(wakeFds_[1], &b, 1);
    if (listener_.joinable()) listener_.join();
    ::close(listenFd_);
    listenFd_ = -1;

    // Shut every connection down; a thread blocked in a read returns at once,
    // a thread busy in a handler ends when the handler returns.
    std::unique_lock<std::mutex> lk(lock_);
    for (auto& c : conns_) c.connection->Close();
    while (!conns_.empty()) {
        ReapFinished(lk);
        if (conns_.empty()) break;
        changed_.wait_for(lk, std::chrono::milliseconds(100));
    }
    lk.unlock();
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
    wakeFds_[0] = wakeFds_[1] = -1;
    active_ = false;
}

void TNomSyncTcpServer::ReapFinished(std::unique_lock<std::mutex>& lk) {
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (it->finished) {
            if (it->started) pthread_join(it->thread, nullptr);
            it = conns_.erase(it);
        } else {
            ++it;
        }
    }
}

void TNomSyncTcpServer::ListenLoop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(lock_);
            ReapFinished(lk);
            // At the bound: accept nobody until a connection thread ends.
            changed_.wait(lk, [&] {
                ReapFinished(lk);
                return stopping_.load() || conns_.size() < MaxConnections;
            });
            if (stopping_) return;
        }
        pollfd pfds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        int r = ::poll(pfds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (pfds[1].revents) {
            char buf[64];
            while (::read(wakeFds_[0], buf, sizeof buf) > 0) {
            }
            if (stopping_) return;
        }
        if (!(pfds[0].revents & POLLIN)) continue;
        int cfd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: let connection threads end before trying again.
                std::unique_lock<std::mutex> lk(lock_);
                changed_.wait_for(lk, std::chrono::milliseconds(200));
            }
            continue;
        }
        int one = 1;
        ::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        std::unique_lock<std::mutex> lk(lock_);
        if (stopping_) {
            ::close(cfd);
            return;
        }
        conns_.emplace_back();
        Conn* c = &conns_.back();
        c->connection = std::make_unique<TNomSyncConnection>(cfd);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, std::max<size_t>(ThreadStackSize, PTHREAD_STACK_MIN));
        auto* start = new ThreadStart{this, c};
        int err = pthread_create(&c->thread, &attr, &TNomSyncTcpServer::ConnectionThreadMain, start);
        pthread_attr_destroy(&attr);
        if (err != 0) {
            delete start;
            c->finished = true;  // no thread: the record (and its socket) goes at once
            ReapFinished(lk);
            continue;
        }
        c->started = true;
    }
}

void* TNomSyncTcpServer::ConnectionThreadMain(void* arg) {
    auto* start = static_cast<ThreadStart*>(arg);
    TNomSyncTcpServer* self = start->self;
    Conn* c = start->conn;
    delete start;
    self->RunConnection(c);
    return nullptr;
}

void TNomSyncTcpServer::RunConnection(Conn* c) {
    try {
        if (OnExecute && !stopping_) OnExecute(*c->connection);
    } catch (...) {
        // The handler decides what to answer; whatever escapes it ends the
        // connection and nothing else.
    }
    c->connection->Close();
    {
        std::lock_guard<std::mutex> g(lock_);
        c->finished = true;
    }
    changed_.notify_all();
    char b = 1;
    [[maybe_unused]] ssize_t w = ::write(wakeFds_[1], &b, 1);
}
