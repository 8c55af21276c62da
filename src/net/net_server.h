// The network layer of the process: one listener served by a fixed set of
// threads that run every connection as a coroutine (TNetSession) and do the
// work of a request on the thread where its bytes arrived, with no hand-over
// to another thread (IoThreads + Workers threads: those left when Workers
// requests are in progress serve the sockets). Both TCP services and the FTP
// server are built on it.
//
// Bounds: at most MaxConnections sessions at once (0: only the process's
// limit of open descriptors bounds them); while that many are open nothing
// more is accepted and further peers wait in the listen queue. When the
// process runs out of descriptors, accepting pauses until a session ends (or
// briefly) and the first such pause is logged once. At most Workers requests
// are worked on at the same moment.
//
// Stop() closes the listener and every session, waits for the work in
// progress and joins every thread; it must not be called from a session or
// a worker.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/net_session.h"

class TNetServer {
public:
    // The coroutine that serves one session from its start to its end; the
    // session is closed when it returns or raises.
    using TSessionRoutine = std::function<asio::awaitable<void>(std::shared_ptr<TNetSession>)>;
    struct TSettings {
        int ListenQueue = 32;
        int MaxConnections = 0;
        int IoThreads = 2;
        int Workers = 16;
        // The sender of the server's own log lines.
        std::string LogSender = "TNetServer";
        // When set, a peer beyond MaxConnections is accepted, sent this text
        // and closed at once instead of waiting in the listen queue.
        std::string RefuseBeyondBound;
    };

    TNetServer();
    ~TNetServer();  // Stop()
    TNetServer(const TNetServer&) = delete;
    TNetServer& operator=(const TNetServer&) = delete;

    // Binds (address reuse on) and listens; port 0 lets the system choose.
    // Raises EInOutError with the system's reason (alone) when the address
    // cannot be bound.
    void Start(const std::string& bindAddress, uint16_t port, const TSettings& settings, TSessionRoutine routine);
    void Stop();
    bool Active() const;
    uint16_t Port() const;
    // Sessions open now.
    int SessionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
