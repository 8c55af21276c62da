// The listening side of the catalogue synchronisation service: a TCP server
// with one listener thread and one thread per connection, in the manner of a
// classic threaded server. The connection thread runs the service's request
// handler once per request for as long as the connection stays open.
//
// Bounds (a pharmacy must never be able to exhaust the process):
// - at most MaxConnections connection threads exist at once; while that many
//   are busy the listener stops accepting, and further peers wait in the
//   kernel's listen queue (ListenQueue) until a thread is free;
// - every wait for incoming bytes ends after the connection's read time-out,
//   which closes the connection;
// - Close() shuts every connection down and joins every thread it started.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/exceptions.h"
#include "core/stream.h"

VT_DECLARE_EXCEPTION(ESocketError, Exception);
// A read waited longer than the connection's read time-out.
VT_DECLARE_EXCEPTION(EReadTimeout, ESocketError);
// The peer closed the connection (or the server is shutting it down).
VT_DECLARE_EXCEPTION(EConnectionClosed, ESocketError);

// One accepted connection, used by its own thread only (Close and the
// shutdown done by the server are safe from any thread).
class TNomSyncConnection {
public:
    explicit TNomSyncConnection(int fd);
    ~TNomSyncConnection();
    TNomSyncConnection(const TNomSyncConnection&) = delete;
    TNomSyncConnection& operator=(const TNomSyncConnection&) = delete;

    // Milliseconds every wait for incoming bytes may last (0: no limit).
    void SetReadTimeout(int ms) { readTimeoutMs_ = ms; }
    int ReadTimeout() const { return readTimeoutMs_; }
    bool Connected() const { return !closed_.load(); }

    // Reads exactly count bytes; raises EReadTimeout or EConnectionClosed
    // (and marks the connection closed) when they do not come.
    void ReadBuffer(void* buffer, size_t count);
    // Reads a 32-bit integer sent in network byte order.
    int32_t ReadInt32();
    // Reads count bytes and appends them to the stream, in pieces, so that
    // memory grows only with bytes actually received.
    void ReadStream(TStream& dest, int64_t count);
    // Writes every byte; raises EConnectionClosed when the peer is gone and
    // EReadTimeout when it takes no bytes for the read time-out.
    void WriteBuffer(const void* buffer, size_t count);
    void WriteInt32(int32_t value);

    // Shuts the socket down; a thread blocked in a read returns at once.
    void Close();
    // Peer address as text ("127.0.0.1:50312").
    const std::string& PeerAddress() const { return peer_; }

private:
    int fd_;
    std::atomic<bool> closed_{false};
    int readTimeoutMs_ = 0;
    std::string peer_;
};

class TNomSyncTcpServer {
public:
    // Runs on the connection's thread after the connection was accepted;
    // returns when the connection is to end (the server closes it then).
    using TConnectionHandler = std::function<void(TNomSyncConnection&)>;

    TNomSyncTcpServer();
    ~TNomSyncTcpServer();  // Close()
    TNomSyncTcpServer(const TNomSyncTcpServer&) = delete;
    TNomSyncTcpServer& operator=(const TNomSyncTcpServer&) = delete;

    // Settings; take effect at the next Open.
    std::string BindAddress = "0.0.0.0";
    uint16_t DefaultPort = 0;
    int ListenQueue = 32;
    bool ReuseSocket = true;
    size_t MaxConnections = 1024;
    // Stack of each connection thread (the handlers need little).
    size_t ThreadStackSize = 1024 * 1024;
    TConnectionHandler OnExecute;

    // Binds and starts listening; raises ESocketError when the port cannot
    // be bound. Opening an open server closes it first.
    void Open();
    // Stops listening, shuts every connection down and joins every thread.
    void Close();
    bool Active() const { return active_; }
    // The port actually bound (DefaultPort, or the one the system chose for 0).
    uint16_t BoundPort() const { return boundPort_; }
    // Connection threads that exist now.
    size_t ConnectionCount() const;

private:
    struct Conn {
        std::unique_ptr<TNomSyncConnection> connection;
        pthread_t thread{};
        bool started = false;
        bool finished = false;
    };

    struct ThreadStart {
        TNomSyncTcpServer* self;
        Conn* conn;
    };

    void ListenLoop();
    void ReapFinished(std::unique_lock<std::mutex>& lk);
    static void* ConnectionThreadMain(void* arg);
    void RunConnection(Conn* c);

    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    bool active_ = false;
    uint16_t boundPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread listener_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::list<Conn> conns_;
};
