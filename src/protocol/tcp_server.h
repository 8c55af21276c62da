// A small threaded TCP server: one listener thread and one thread per
// connection, which runs the owner's handler again and again (one request per
// call) for as long as the connection stays open.
//
// Bounds: at most MaxConnections connection threads at once (while they are
// all busy nothing more is accepted and new peers wait in the listen queue);
// every wait for the peer, reading or writing, ends after the connection's
// time-out; a frame may hold at most MaxFrameSize bytes; Stop() closes the
// listener and every connection and joins every thread. When no thread can be
// started for a peer, that peer is turned away; when the process runs out of
// descriptors, the listener pauses briefly instead of spinning.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/frame_io.h"

// One accepted connection, used by its own thread; Close() may be called from
// any thread.
class TTcpConnection {
public:
    explicit TTcpConnection(asio::ip::tcp::socket socket);
    ~TTcpConnection();
    TTcpConnection(const TTcpConnection&) = delete;
    TTcpConnection& operator=(const TTcpConnection&) = delete;

    // The socket, for the connection's own thread.
    asio::ip::tcp::socket& Socket() { return socket_; }
    // False once the peer is gone, a wait timed out, or the connection was closed.
    bool Connected() const;
    // Shuts the connection down; a read or write in progress ends at once.
    void Close();
    const std::string& PeerAddress() const { return peer_; }

    // Milliseconds each wait for the peer may last, for bytes to arrive as
    // well as for the peer to take bytes written to it (0 or less: no limit).
    int Timeout = kFrameReadTimeoutMs;
    // The largest frame ReadFrame accepts; a larger or negative count closes
    // the connection (EFrameSizeError) before anything is allocated.
    int64_t MaxFrameSize = kMaxFrameSize;

    // Frame I/O that closes the connection when it fails.
    std::string ReadFrame();
    void WriteFrame(std::string_view payload);
    std::unique_ptr<TComponent> ReadComponentFrame();
    void WriteComponentFrame(const TComponent& component);

private:
    friend class TTcpServer;
    void ShutdownForStop();
    asio::ip::tcp::socket socket_;
    mutable std::mutex mutex_;
    bool closed_ = false;
    std::string peer_;
};

class TTcpServer {
public:
    // Called again and again on the connection's thread while it is open.
    using TConnectionHandler = std::function<void(TTcpConnection&)>;
    // Called with an exception that ended a connection's run; a peer that
    // simply closes the connection ends it silently.
    using TExceptionHandler = std::function<void(TTcpConnection&, const std::exception&)>;

    TTcpServer();
    ~TTcpServer();   // Stop()
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    // Settings, read by Start(). Every accepted connection starts with
    // ConnectionTimeoutMs as its Timeout and MaxFrameSize as its frame bound
    // (a handler may change either for its own connection).
    int ListenQueue = 32;
    int MaxConnections = 64;
    int ConnectionTimeoutMs = kFrameReadTimeoutMs;
    int64_t MaxFrameSize = kMaxFrameSize;
    TConnectionHandler OnExecute;
    TExceptionHandler OnException;

    // Binds (address reuse on) and listens; port 0 lets the system choose.
    // Raises EInOutError when the address cannot be bound.
    void Start(const std::string& bindAddress, uint16_t port);
    // Closes the listener and every connection, then joins every thread.
    void Stop();
    bool Active() const;
    // The port actually listened on (the one the system chose for port 0).
    uint16_t Port() const;
    // Connection threads running now.
    int ConnectionCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
