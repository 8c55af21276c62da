#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <thread>

#include "protocol/component_stream.h"
#include "protocol/frame_io.h"
#include "test_bytes.h"
#include "support/expect_raises.h"

namespace {

// A connected pair of sockets over 127.0.0.1.
struct SocketPair {
    asio::io_context io;
    asio::ip::tcp::socket server{io};
    asio::ip::tcp::socket client{io};

    SocketPair() {
        asio::ip::tcp::acceptor acc(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        client.connect(acc.local_endpoint());
        acc.accept(server);
    }
    void Send(const std::string& bytes) { asio::write(client, asio::buffer(bytes)); }
    std::string ReceiveExactly(size_t n) {
        std::string s(n, '\0');
        asio::read(client, asio::buffer(s));
        return s;
    }
};

}  // namespace

TEST(FrameIO, BigEndianCountThenPayload) {
    EXPECT_EQ(Hex(FrameHeader(3)), "00 00 00 03");
    EXPECT_EQ(Hex(FrameHeader(0x01020304)), "01 02 03 04");
    EXPECT_EQ(FrameCountFromBytes(B({0x00, 0x01, 0x00, 0x00}).data()), 65536);
    EXPECT_EQ(FrameCountFromBytes(B({0xFF, 0xFF, 0xFF, 0xFF}).data()), -1);
    EXPECT_THROW(FrameHeader(int64_t{1} << 31), ERangeError);
    EXPECT_NO_THROW(CheckFrameCount(0));
    EXPECT_NO_THROW(CheckFrameCount(kMaxFrameSize));
    EXPECT_THROW(CheckFrameCount(kMaxFrameSize + 1), EFrameSizeError);
    EXPECT_THROW(CheckFrameCount(-1), EFrameSizeError);
    SocketPair p;
    WriteFrame(p.server, "abc");
    EXPECT_EQ(Hex(p.ReceiveExactly(7)), "00 00 00 03 61 62 63");
}

TEST(FrameIO, ReadsFramesSentInPiecesAndComponentFrames) {
    SocketPair p;
    const std::string payload(300000, 'z');
    std::thread t([&] {
        const std::string all = FrameHeader(static_cast<int64_t>(payload.size())) + payload;
        for (size_t i = 0; i < all.size(); i += 7001) p.Send(all.substr(i, 7001));
    });
    EXPECT_EQ(ReadFrame(p.server), payload);
    t.join();
    p.Send(FrameHeader(0));
    EXPECT_EQ(ReadFrame(p.server), "");
    p.Send(FrameHeader(4) + "TPF1");
    EXPECT_THROW(ReadComponentFrame(p.server), EReadError);
}

TEST(FrameIO, RefusesBadCountsTimesOutAndSeesTheClose) {
    SocketPair p;
    p.Send(B({0xFF, 0xFF, 0xFF, 0xFF}));
    ExpectRaises<EFrameSizeError>([&] { ReadFrame(p.server); }, "Invalid frame size -1");
    // 2 GiB - 1 claimed with nothing behind it: refused from the count alone.
    p.Send(B({0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_THROW(ReadFrame(p.server), EFrameSizeError);
    // The bound is the caller's to choose.
    p.Send(FrameHeader(11) + std::string(11, 'x'));
    EXPECT_THROW(ReadFrame(p.server, kFrameReadTimeoutMs, 10), EFrameSizeError);
    SocketPair silent;
    silent.Send(B({0, 0}));   // half a count, then silence
    EXPECT_THROW(ReadFrame(silent.server, 50), EFrameTimeout);

    SocketPair q;
    q.Send(FrameHeader(60 << 20) + "only a little");   // a large claim, then the peer leaves
    q.client.close();
    ExpectRaises<EFrameConnectionClosed>([&] { ReadFrame(q.server); }, "Connection Closed Gracefully.");
}

TEST(FrameIO, WritingToAPeerThatLeftRaisesInsteadOfKillingTheProcess) {
    SocketPair p;
    p.client.close();
    const std::string payload(1 << 20, 'w');
    // The first writes may still land in the socket buffers; the peer's reset
    // shows within a few.
    bool closed = false;
    for (int i = 0; i < 50 && !closed; ++i) {
        try {
            WriteFrame(p.server, payload, 2000);
        } catch (const EFrameConnectionClosed&) {
            closed = true;
        }
    }
    EXPECT_TRUE(closed);
}
