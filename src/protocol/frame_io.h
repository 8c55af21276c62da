// Frames of the two TCP services: a 32-bit big-endian byte count, then that
// many bytes of one component stream. Reading and writing over a connected,
// blocking-style Asio socket, with a time-out on every wait for the peer.
#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/exceptions.h"
#include "protocol/component.h"

// Every wait for incoming bytes ends after this long (the connection's read
// time-out).
constexpr int kFrameReadTimeoutMs = 60000;
// The largest frame accepted. The count comes from a peer that has not yet
// proved who it is, so a larger (or negative) one is refused before anything
// is allocated for it; the connection then ends without a reply.
constexpr int64_t kMaxFrameSize = int64_t{64} << 20;

VT_DECLARE_EXCEPTION(EFrameError, Exception);
// A wait for bytes outlasted the time-out ("Read timed out.").
VT_DECLARE_EXCEPTION(EFrameTimeout, EFrameError);
// The peer closed the connection, or it was shut down ("Connection Closed Gracefully.").
VT_DECLARE_EXCEPTION(EFrameConnectionClosed, EFrameError);
// A frame count that is negative or above the limit ("Invalid frame size %d").
VT_DECLARE_EXCEPTION(EFrameSizeError, EFrameError);

// The count of a frame from its 4 header bytes.
int32_t FrameCountFromBytes(const void* header);
// The 4 header bytes of a frame of `size` bytes (ERangeError above 2 GiB - 1).
std::string FrameHeader(int64_t size);
// Raises EFrameSizeError unless 0 <= count <= maxSize.
void CheckFrameCount(int64_t count, int64_t maxSize = kMaxFrameSize);

// Reads exactly `count` bytes. Each wait for bytes lasts at most timeoutMs
// (0 or less: no limit). Raises EFrameTimeout, EFrameConnectionClosed, or
// EFrameError for other socket failures.
void ReadExact(asio::ip::tcp::socket& socket, void* buffer, size_t count, int timeoutMs);
// Writes every byte; each wait for the peer to take bytes lasts at most
// timeoutMs. Raises EFrameTimeout, EFrameConnectionClosed or EFrameError.
void WriteAll(asio::ip::tcp::socket& socket, const void* data, size_t count, int timeoutMs);

// Reads one frame and returns its payload. The payload is read in bounded
// pieces, so memory grows only with bytes that actually arrive.
std::string ReadFrame(asio::ip::tcp::socket& socket, int timeoutMs = kFrameReadTimeoutMs,
                      int64_t maxSize = kMaxFrameSize);
// Writes the count and the payload.
void WriteFrame(asio::ip::tcp::socket& socket, std::string_view payload, int timeoutMs = kFrameReadTimeoutMs);

// One frame decoded into a new command or result object (the decoder's
// failures propagate: EReadError, EClassNotFound).
std::unique_ptr<TComponent> ReadComponentFrame(asio::ip::tcp::socket& socket, int timeoutMs = kFrameReadTimeoutMs,
                                               int64_t maxSize = kMaxFrameSize);
// Encodes the object and writes it as one frame.
void WriteComponentFrame(asio::ip::tcp::socket& socket, const TComponent& component,
                         int timeoutMs = kFrameReadTimeoutMs);
