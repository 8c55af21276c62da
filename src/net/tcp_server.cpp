#include "net/tcp_server.h"

#include <algorithm>

#include "core/format.h"

namespace {

constexpr size_t kReadPiece = 64 * 1024;

// The frame reader's and writer's exception for a socket operation that
// did not complete.
[[noreturn]] void RaiseFor(const TNetResult& r, const char* timedOut) {
    if (r.Status == TNetStatus::TimedOut) throw EFrameTimeout(timedOut);
    if (r.Status == TNetStatus::Closed) throw EFrameConnectionClosed("Connection Closed Gracefully.");
    throw EFrameError("Socket error: " + r.Error.message());
}

}  // namespace

void TTcpServer::Start(const std::string& bindAddress, uint16_t port) {
    TNetServer::TSettings s;
    s.ListenQueue = ListenQueue;
    s.MaxConnections = MaxConnections;
    s.Workers = Workers;
    s.IoThreads = IoThreads;
    s.LogSender = LogSender;
    timeoutMs_ = ConnectionTimeoutMs;
    maxFrameSize_ = MaxFrameSize;
    try {
        net_.Start(bindAddress, port, s, [this](std::shared_ptr<TNetSession> session) { return Serve(session); });
    } catch (const EInOutError& e) {
        throw EInOutError(Format("Could not bind socket %s:%d. %s", {bindAddress, static_cast<int>(port),
                                                                      std::string(e.what())}));
    }
}

void TTcpServer::Report(const std::string& peer, const std::exception& e) const {
    if (!OnException) return;
    try {
        OnException(peer, e);
    } catch (...) {
    }
}

asio::awaitable<void> TTcpServer::Serve(std::shared_ptr<TNetSession> s) {
    const char* const kReadTimedOut = "Read timed out.";
    try {
        for (;;) {
            uint8_t header[4];
            TNetResult r = co_await s->ReadExact(s->Socket(), header, 4, timeoutMs_);
            if (!r.Ok()) RaiseFor(r, kReadTimedOut);
            const int32_t count = FrameCountFromBytes(header);
            CheckFrameCount(count, maxFrameSize_);

            TTcpRequest request;
            request.PeerAddress = s->PeerAddress();
            // Room for a frame of up to two pieces at once, so that a chunk a
            // little over one piece is not moved when its tail arrives; a
            // larger frame grows with what arrives.
            request.Payload.reserve(std::min(static_cast<size_t>(count), 2 * kReadPiece));
            size_t have = 0;
            while (have < static_cast<size_t>(count)) {
                const size_t piece = std::min(kReadPiece, static_cast<size_t>(count) - have);
                request.Payload.resize(have + piece);
                r = co_await s->ReadExact(s->Socket(), request.Payload.data() + have, piece, timeoutMs_);
                if (!r.Ok()) RaiseFor(r, kReadTimedOut);
                have += piece;
            }

            std::exception_ptr failure;
            co_await s->RunOnWorkers([this, &request, &failure] {
                try {
                    if (OnRequest) OnRequest(request);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (request.Reply) {
                std::string frame = FrameHeader(static_cast<int64_t>(request.Reply->size()));
                frame += *request.Reply;
                request.Reply.reset();
                r = co_await s->WriteAll(s->Socket(), frame.data(), frame.size(), timeoutMs_);
                if (!r.Ok()) RaiseFor(r, "Write timed out.");
            }
            if (failure) std::rethrow_exception(failure);
        }
    } catch (const EFrameConnectionClosed&) {
        // The peer went away between requests, or the server is stopping.
    } catch (const std::exception& e) {
        if (!s->Closed()) Report(s->PeerAddress(), e);
    }
}
