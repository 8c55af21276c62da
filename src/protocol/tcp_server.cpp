#include "protocol/tcp_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <list>
#include <thread>

#include <asio/error.hpp>
#include <asio/ip/address.hpp>

#include "core/format.h"
#include "protocol/component_stream.h"

// ================================================================ connection

TTcpConnection::TTcpConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {
    asio::error_code ec;
    const auto ep = socket_.remote_endpoint(ec);
    if (!ec) peer_ = ep.address().to_string() + ":" + std::to_string(ep.port());
}

TTcpConnection::~TTcpConnection() {
    asio::error_code ec;
    socket_.close(ec);
}

bool TTcpConnection::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_;
}

void TTcpConnection::Close() {
    // Only shut down here: the descriptor stays valid (and is closed by the
    // destructor), so that another thread polling it wakes up instead of
    // touching a descriptor that may already belong to someone else.
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

void TTcpConnection::ShutdownForStop() { Close(); }

std::string TTcpConnection::ReadFrame() {
    try {
        return ::ReadFrame(socket_, Timeout, MaxFrameSize);
    } catch (...) {
        Close();
        throw;
    }
}

void TTcpConnection::WriteFrame(std::string_view payload) {
    try {
        ::WriteFrame(socket_, payload, Timeout);
    } catch (...) {
        Close();
        throw;
    }
}

std::unique_ptr<TComponent> TTcpConnection::ReadComponentFrame() {
    // A frame that cannot be decoded ends the connection too.
    std::string payload = ReadFrame();
    try {
        return DecodePharmComponent(std::move(payload));
    } catch (...) {
        Close();
        throw;
    }
}

void TTcpConnection::WriteComponentFrame(const TComponent& component) {
    WriteFrame(EncodePharmComponent(component));
}

// ================================================================ server

struct TTcpServer::Impl {
    struct Conn {
        std::unique_ptr<TTcpConnection> connection;
        std::thread thread;
        bool done = false;
    };

    asio::io_context io;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    int wake[2] = {-1, -1};
    std::thread listener;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> stopping{false};
    bool active = false;
    uint16_t port = 0;
    // The owner's settings as Start() found them.
    int connectionTimeoutMs = kFrameReadTimeoutMs;
    int64_t maxFrameSize = kMaxFrameSize;
    std::list<Conn> conns;
    int running = 0;

    void ListenLoop(TTcpServer& owner);
    void RunConnection(TTcpServer& owner, Conn& conn);
    // Joins the threads of finished connections; the caller holds the lock.
    void Reap();
};

void TTcpServer::Impl::Reap() {
    for (auto it = conns.begin(); it != conns.end();) {
        if (it->done) {
            if (it->thread.joinable()) it->thread.join();
            it = conns.erase(it);
        } else {
            ++it;
        }
    }
}

void TTcpServer::Impl::RunConnection(TTcpServer& owner, Conn& conn) {
    TTcpConnection& c = *conn.connection;
    try {
        while (!stopping && c.Connected()) owner.OnExecute(c);
    } catch (const EFrameConnectionClosed&) {
        // The peer went away between requests, or the server is stopping.
    } catch (const std::exception& e) {
        if (owner.OnException && !stopping) {
            try {
                owner.OnException(c, e);
            } catch (...) {
            }
        }
    } catch (...) {
    }
    c.Close();
    std::lock_guard<std::mutex> lock(mutex);
    conn.done = true;
    --running;
    changed.notify_all();
}

void TTcpServer::Impl::ListenLoop(TTcpServer& owner) {
    const int maxConns = owner.MaxConnections > 0 ? owner.MaxConnections : 1;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            Reap();
            changed.wait(lock, [&] { return stopping || running < maxConns; });
            if (stopping) return;
        }
        pollfd fds[2] = {};
        fds[0].fd = acceptor->native_handle();
        fds[0].events = POLLIN;
        fds[1].fd = wake[0];
        fds[1].events = POLLIN;
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (stopping || (fds[1].revents & POLLIN)) return;
        if (!(fds[0].revents & POLLIN)) continue;

        asio::error_code ec;
        asio::ip::tcp::socket socket(io);
        acceptor->accept(socket, ec);
        if (ec) {
            // Would block, or the peer left already: try again. Out of
            // descriptors or memory: the pending peer keeps the listener
            // readable, so wait a little (or until a connection ends) instead
            // of spinning.
            if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                ec == asio::error::no_memory || ec.value() == ENFILE) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopping.load(); });
            }
            continue;
        }
        asio::error_code nd;
        socket.set_option(asio::ip::tcp::no_delay(true), nd);

        std::lock_guard<std::mutex> lock(mutex);
        Conn& conn = conns.emplace_back();
        conn.connection = std::make_unique<TTcpConnection>(std::move(socket));
        conn.connection->Timeout = connectionTimeoutMs;
        conn.connection->MaxFrameSize = maxFrameSize;
        ++running;
        try {
            conn.thread = std::thread([this, &owner, &conn] { RunConnection(owner, conn); });
        } catch (const std::exception&) {
            // No thread to be had: the peer is turned away (its socket
            // closes with the record).
            --running;
            conns.pop_back();
        }
    }
}

TTcpServer::TTcpServer() : impl_(std::make_unique<Impl>()) {}

TTcpServer::~TTcpServer() { Stop(); }

void TTcpServer::Start(const std::string& bindAddress, uint16_t port) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.active) return;
    try {
        const asio::ip::tcp::endpoint ep(asio::ip::make_address(bindAddress), port);
        auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(m.io);
        acceptor->open(ep.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(ep);
        acceptor->listen(ListenQueue);
        acceptor->non_blocking(true);
        m.port = acceptor->local_endpoint().port();
        m.acceptor = std::move(acceptor);
    } catch (const std::system_error& e) {
        throw EInOutError(Format("Could not bind socket %s:%d. %s", {bindAddress, static_cast<int>(port),
                                                                      std::string(e.what())}));
    }
    if (::pipe2(m.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m.acceptor.reset();
        throw EInOutError("Could not create the server's wake-up pipe");
    }
    m.connectionTimeoutMs = ConnectionTimeoutMs;
    m.maxFrameSize = MaxFrameSize;
    m.stopping = false;
    m.active = true;
    m.listener = std::thread([this] { impl_->ListenLoop(*this); });
}

void TTcpServer::Stop() {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        if (!m.active) return;
        m.stopping = true;
        m.changed.notify_all();
    }
    const char b = 1;
    [[maybe_unused]] ssize_t w = ::write(m.wake[1], &b, 1);
    if (m.listener.joinable()) m.listener.join();
    {
        asio::error_code ec;
        m.acceptor->close(ec);
    }
    std::list<Impl::Conn> conns;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        for (auto& c : m.conns) c.connection->ShutdownForStop();
        conns.splice(conns.end(), m.conns);
    }
    for (auto& c : conns)
        if (c.thread.joinable()) c.thread.join();
    conns.clear();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.acceptor.reset();
    ::close(m.wake[0]);
    ::close(m.wake[1]);
    m.wake[0] = m.wake[1] = -1;
    m.running = 0;
    m.active = false;
    m.stopping = false;
}

bool TTcpServer::Active() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->active;
}

uint16_t TTcpServer::Port() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->port;
}

int TTcpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->running;
}
