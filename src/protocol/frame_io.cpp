#include "protocol/frame_io.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <asio/error.hpp>
#include <asio/write.hpp>

#include "core/format.h"
#include "protocol/component_stream.h"

namespace {

constexpr size_t kReadPiece = 64 * 1024;

// Waits until the socket is readable (or writable); false on time-out.
bool WaitFor(asio::ip::tcp::socket& socket, short events, int timeoutMs) {
    pollfd p{};
    p.fd = socket.native_handle();
    p.events = events;
    for (;;) {
        const int rc = ::poll(&p, 1, timeoutMs > 0 ? timeoutMs : -1);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) throw EFrameError(Format("Socket error: %s", {std::string(std::strerror(errno))}));
    }
}

[[noreturn]] void RaiseSocketError(const asio::error_code& ec) {
    if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
        ec == asio::error::not_connected || ec == asio::error::bad_descriptor || ec == asio::error::shut_down ||
        ec == asio::error::connection_aborted)
        throw EFrameConnectionClosed("Connection Closed Gracefully.");
    throw EFrameError("Socket error: " + ec.message());
}

void EnsureNonBlocking(asio::ip::tcp::socket& socket) {
    if (!socket.is_open()) throw EFrameConnectionClosed("Connection Closed Gracefully.");
    if (!socket.non_blocking()) {
        asio::error_code ec;
        socket.non_blocking(true, ec);
        if (ec) RaiseSocketError(ec);
    }
}

// Moves `count` bytes with `step` (one read_some or write_some from byte
// `at` on), waiting for `events` whenever the socket would block; a wait
// longer than timeoutMs raises EFrameTimeout(timedOut).
template <typename Step>
void TransferAll(asio::ip::tcp::socket& socket, size_t count, short events, int timeoutMs, const char* timedOut,
                 Step step) {
    EnsureNonBlocking(socket);
    size_t at = 0;
    while (at < count) {
        asio::error_code ec;
        const size_t n = step(at, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            if (!WaitFor(socket, events, timeoutMs)) throw EFrameTimeout(timedOut);
            continue;
        }
        if (ec == asio::error::interrupted) continue;
        if (ec) RaiseSocketError(ec);
        at += n;
    }
}

}  // namespace

int32_t FrameCountFromBytes(const void* header) {
    const auto* b = static_cast<const uint8_t*>(header);
    return static_cast<int32_t>((static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                                (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]));
}

std::string FrameHeader(int64_t size) {
    if (size < 0 || size > std::numeric_limits<int32_t>::max()) throw ERangeError("Range check error");
    const auto u = static_cast<uint32_t>(size);
    return std::string{static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                       static_cast<char>(u)};
}

void CheckFrameCount(int64_t count, int64_t maxSize) {
    if (count < 0 || count > maxSize) throw EFrameSizeError(Format("Invalid frame size %d", {count}));
}

void ReadExact(asio::ip::tcp::socket& socket, void* buffer, size_t count, int timeoutMs) {
    auto* p = static_cast<char*>(buffer);
    TransferAll(socket, count, POLLIN, timeoutMs, "Read timed out.", [&](size_t at, asio::error_code& ec) {
        return socket.read_some(asio::buffer(p + at, count - at), ec);
    });
}

void WriteAll(asio::ip::tcp::socket& socket, const void* data, size_t count, int timeoutMs) {
    const auto* p = static_cast<const char*>(data);
    TransferAll(socket, count, POLLOUT, timeoutMs, "Write timed out.", [&](size_t at, asio::error_code& ec) {
        return socket.write_some(asio::buffer(p + at, count - at), ec);
    });
}

std::string ReadFrame(asio::ip::tcp::socket& socket, int timeoutMs, int64_t maxSize) {
    uint8_t header[4];
    ReadExact(socket, header, 4, timeoutMs);
    const int32_t count = FrameCountFromBytes(header);
    CheckFrameCount(count, maxSize);
    std::string payload;
    size_t have = 0;
    while (have < static_cast<size_t>(count)) {
        const size_t piece = std::min(kReadPiece, static_cast<size_t>(count) - have);
        payload.resize(have + piece);
        ReadExact(socket, payload.data() + have, piece, timeoutMs);
        have += piece;
    }
    return payload;
}

void WriteFrame(asio::ip::tcp::socket& socket, std::string_view payload, int timeoutMs) {
    std::string header = FrameHeader(static_cast<int64_t>(payload.size()));
    if (payload.size() <= kReadPiece) {
        // Small frames leave in one piece.
        header.append(payload);
        WriteAll(socket, header.data(), header.size(), timeoutMs);
        return;
    }
    WriteAll(socket, header.data(), header.size(), timeoutMs);
    WriteAll(socket, payload.data(), payload.size(), timeoutMs);
}

std::unique_ptr<TComponent> ReadComponentFrame(asio::ip::tcp::socket& socket, int timeoutMs, int64_t maxSize) {
    return DecodePharmComponent(ReadFrame(socket, timeoutMs, maxSize));
}

void WriteComponentFrame(asio::ip::tcp::socket& socket, const TComponent& component, int timeoutMs) {
    WriteFrame(socket, EncodePharmComponent(component), timeoutMs);
}
