// The frame server of the two TCP services, on the process's network layer
// (net/net_server.h): each connection is read one frame at a time (a 32-bit
// big-endian count, then that many bytes) by an asynchronous loop on the I/O
// threads; the frame's work runs on the worker pool; the reply, if any, is
// written back as one frame before the next frame is read. An idle
// connection holds no thread.
//
// Bounds: a frame may hold at most MaxFrameSize bytes (a larger or negative
// count ends the connection before anything is allocated, and the payload is
// read in pieces, so that past room for two pieces memory grows only with
// bytes that arrive); every wait
// for the peer, reading or writing, ends the connection after
// ConnectionTimeoutMs; at most Workers requests are worked on at once; at
// most MaxConnections connections (0: only the descriptor limit).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "net/net_server.h"
#include "protocol/frame_io.h"

// One frame of a connection and its answer.
struct TTcpRequest {
    std::string PeerAddress;           // "address:port"
    std::string Payload;               // the frame's bytes
    std::optional<std::string> Reply;  // set by the handler: sent back as one frame
};

class TTcpServer {
public:
    // Runs on a worker thread for each frame. An exception ends the
    // connection after the reply the handler set (if any) was written, and
    // is passed to OnException.
    using TRequestHandler = std::function<void(TTcpRequest&)>;
    // Called with what ended a connection: a time-out (EFrameTimeout), a
    // frame count out of bounds (EFrameSizeError), another socket failure
    // (EFrameError), or the handler's exception. A peer that closes its
    // connection, and a stop, end it silently.
    using TExceptionHandler = std::function<void(const std::string& peerAddress, const std::exception&)>;

    TTcpServer() = default;
    ~TTcpServer() { Stop(); }
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    // Settings, read by Start().
    int ListenQueue = 32;
    int MaxConnections = 0;
    int Workers = 16;
    int IoThreads = 2;
    int ConnectionTimeoutMs = kFrameReadTimeoutMs;
    int64_t MaxFrameSize = kMaxFrameSize;
    std::string LogSender = "TTcpServer";
    TRequestHandler OnRequest;
    TExceptionHandler OnException;

    // Binds (address reuse on) and listens; port 0 lets the system choose.
    // Raises EInOutError when the address cannot be bound.
    void Start(const std::string& bindAddress, uint16_t port);
    // Closes the listener and every connection, waits for the requests in
    // progress and joins every thread.
    void Stop() { net_.Stop(); }
    bool Active() const { return net_.Active(); }
    uint16_t Port() const { return net_.Port(); }
    // Connections open now.
    int ConnectionCount() const { return net_.SessionCount(); }

private:
    asio::awaitable<void> Serve(std::shared_ptr<TNetSession> s);
    void Report(const std::string& peer, const std::exception& e) const;

    TNetServer net_;
    // The settings as Start() found them.
    int timeoutMs_ = kFrameReadTimeoutMs;
    int64_t maxFrameSize_ = kMaxFrameSize;
};
