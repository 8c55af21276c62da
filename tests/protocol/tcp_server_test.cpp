#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/component_stream.h"
#include "protocol/pharm_classes.h"
#include "protocol/tcp_server.h"
#include "test_bytes.h"

namespace {

// A client connection to the server under test.
struct Client {
    asio::io_context io;
    asio::ip::tcp::socket s{io};
    explicit Client(uint16_t port) { s.connect({asio::ip::make_address("127.0.0.1"), port}); }
    std::unique_ptr<TComponent> Ask(const TComponent& c) {
        WriteComponentFrame(s, c);
        return ReadComponentFrame(s, 10000);
    }
    // True when the server closed the connection without sending anything.
    bool ClosedWithoutReply() {
        char b;
        asio::error_code ec;
        s.non_blocking(false);   // frame_io leaves the socket non-blocking
        const size_t n = asio::read(s, asio::buffer(&b, 1), ec);
        return n == 0 && ec == asio::error::eof;
    }
};

// Answers a send-file command with a result whose StartPosition echoes it.
void EchoHandler(TTcpConnection& c) {
    auto cmd = c.ReadComponentFrame();
    TPharmServerSendFileResult r;
    if (auto* sf = PharmCast<TPharmServerSendFileCommand>(cmd.get())) r.StartPosition = sf->StartPosition;
    else r.ErrorMessage = cmd->ClassName();
    c.WriteComponentFrame(r);
}

std::unique_ptr<TPharmServerSendFileCommand> Cmd(int32_t pos) {
    auto c = std::make_unique<TPharmServerSendFileCommand>();
    c->StartPosition = pos;
    return c;
}

int64_t AnswerPos(const std::unique_ptr<TComponent>& c) {
    auto* r = PharmCast<TPharmServerSendFileResult>(c.get());
    return r ? r->StartPosition : -999;
}

}  // namespace

TEST(TcpServer, ServesManyRequestsPerConnectionAndManyConnections) {
    TTcpServer server;
    server.OnExecute = EchoHandler;
    server.Start("127.0.0.1", 0);
    ASSERT_TRUE(server.Active());
    ASSERT_NE(server.Port(), 0);

    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            Client c(server.Port());
            for (int k = 0; k < 5; ++k)
                if (AnswerPos(c.Ask(*Cmd(i * 100 + k))) == i * 100 + k) ++good;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good, 30);

    // A command of another class is still answered by this handler.
    Client c(server.Port());
    TPharmServerRefreshDataCommand refresh;
    auto ans = c.Ask(refresh);
    EXPECT_EQ(PharmCast<TPharmServerCommandResult>(ans.get())->ErrorMessage, "TPharmServerRefreshDataCommand");
    server.Stop();
    EXPECT_FALSE(server.Active());
}

TEST(TcpServer, BadFramesEndTheConnectionWithoutReply) {
    std::mutex m;
    std::vector<std::string> errors;
    TTcpServer server;
    server.OnExecute = EchoHandler;
    server.OnException = [&](TTcpConnection&, const std::exception& e) {
        std::lock_guard<std::mutex> lock(m);
        errors.push_back(e.what());
    };
    server.Start("127.0.0.1", 0);

    Client undecodable(server.Port());
    const std::string payload = "TPF0" + SS("TNope") + B({0, 0, 0});
    asio::write(undecodable.s, asio::buffer(FrameHeader(static_cast<int64_t>(payload.size())) + payload));
    EXPECT_TRUE(undecodable.ClosedWithoutReply());

    Client negative(server.Port());
    asio::write(negative.s, asio::buffer(B({0x80, 0, 0, 0})));
    EXPECT_TRUE(negative.ClosedWithoutReply());

    Client huge(server.Port());
    asio::write(huge.s, asio::buffer(FrameHeader(kMaxFrameSize + 1)));
    EXPECT_TRUE(huge.ClosedWithoutReply());

    // A peer that leaves between requests is no error.
    {
        Client polite(server.Port());
        EXPECT_EQ(AnswerPos(polite.Ask(*Cmd(1))), 1);
    }
    Client last(server.Port());
    EXPECT_EQ(AnswerPos(last.Ask(*Cmd(2))), 2);
    server.Stop();

    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(errors.size(), 3u);
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors[0], "Class TNope not found");
    EXPECT_EQ(errors[1], "Invalid frame size -2147483648");
    EXPECT_EQ(errors[2], "Invalid frame size " + std::to_string(kMaxFrameSize + 1));
}

TEST(TcpServer, ReadTimeOutEndsTheConnection) {
    TTcpServer server;
    server.ConnectionTimeoutMs = 50;
    std::atomic<int> timeouts{0};
    server.OnExecute = EchoHandler;
    server.OnException = [&](TTcpConnection&, const std::exception& e) {
        if (dynamic_cast<const EFrameTimeout*>(&e)) ++timeouts;
    };
    server.Start("127.0.0.1", 0);
    Client idle(server.Port());
    EXPECT_TRUE(idle.ClosedWithoutReply());
    // The connection is shut down before its thread reports the time-out, and
    // a stopping server reports nothing: give the report a moment (bounded).
    for (int i = 0; i < 200 && timeouts == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server.Stop();
    EXPECT_EQ(timeouts, 1);
}

TEST(TcpServer, BoundsTheConnectionThreads) {
    TTcpServer server;
    server.MaxConnections = 1;
    std::atomic<int> inside{0}, most{0};
    server.OnExecute = [&](TTcpConnection& c) {
        const int now = ++inside;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        try {
            EchoHandler(c);
        } catch (...) {
            --inside;
            throw;
        }
        --inside;
    };
    server.Start("127.0.0.1", 0);

    Client first(server.Port());
    EXPECT_EQ(AnswerPos(first.Ask(*Cmd(1))), 1);
    // The second peer waits in the listen queue while the first one stays connected.
    Client second(server.Port());
    WriteComponentFrame(second.s, *Cmd(2));
    EXPECT_EQ(server.ConnectionCount(), 1);
    first.s.close();
    EXPECT_EQ(AnswerPos(ReadComponentFrame(second.s, 10000)), 2);
    server.Stop();
    EXPECT_EQ(most, 1);
}

TEST(TcpServer, StopEndsIdleConnectionsAndCanRestart) {
    TTcpServer server;
    server.OnExecute = EchoHandler;
    server.Start("127.0.0.1", 0);
    const uint16_t port = server.Port();
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<Client>(port));
        EXPECT_EQ(AnswerPos(idle.back()->Ask(*Cmd(i))), i);
    }
    server.Stop();   // the handlers are blocked in reads; Stop must still return
    EXPECT_EQ(server.ConnectionCount(), 0);
    for (auto& c : idle) EXPECT_TRUE(c->ClosedWithoutReply());

    server.Start("127.0.0.1", 0);
    Client again(server.Port());
    EXPECT_EQ(AnswerPos(again.Ask(*Cmd(9))), 9);
    // Stopped by the destructor.
}

TEST(TcpServer, PortInUse) {
    TTcpServer a, b;
    a.OnExecute = b.OnExecute = EchoHandler;
    a.Start("127.0.0.1", 0);
    EXPECT_THROW(b.Start("127.0.0.1", a.Port()), EInOutError);
    EXPECT_FALSE(b.Active());
}

TEST(TcpServer, FrameBoundIsSetPerServer) {
    std::mutex m;
    std::vector<std::string> errors;
    TTcpServer server;
    server.MaxFrameSize = 64;
    server.OnExecute = [](TTcpConnection& c) {
        const std::string payload = c.ReadFrame();
        c.WriteFrame(std::to_string(payload.size()));
    };
    server.OnException = [&](TTcpConnection&, const std::exception& e) {
        std::lock_guard<std::mutex> lock(m);
        errors.push_back(e.what());
    };
    server.Start("127.0.0.1", 0);

    // A frame of exactly the bound is served, one byte more ends the connection.
    Client fits(server.Port());
    WriteFrame(fits.s, std::string(64, 'x'));
    EXPECT_EQ(ReadFrame(fits.s, 10000), "64");
    asio::write(fits.s, asio::buffer(FrameHeader(65)));
    EXPECT_TRUE(fits.ClosedWithoutReply());

    // Another server keeps the default bound.
    TTcpServer other;
    other.OnExecute = server.OnExecute;
    other.Start("127.0.0.1", 0);
    Client big(other.Port());
    WriteFrame(big.s, std::string(100000, 'y'));
    EXPECT_EQ(ReadFrame(big.s, 10000), "100000");
    other.Stop();
    server.Stop();

    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Invalid frame size 65");
}

TEST(TcpServer, PeerThatStopsReadingIsDisconnectedAtTheTimeOut) {
    TTcpServer server;
    server.ConnectionTimeoutMs = 200;
    std::atomic<int> writeTimeouts{0};
    std::atomic<int> replies{0};
    // Each request is answered with a reply far larger than the socket
    // buffers can hold.
    const std::string reply(4 << 20, 'r');
    server.OnExecute = [&](TTcpConnection& c) {
        c.ReadFrame();
        c.WriteFrame(reply);
        ++replies;
    };
    server.OnException = [&](TTcpConnection&, const std::exception& e) {
        if (dynamic_cast<const EFrameTimeout*>(&e) && std::string(e.what()) == "Write timed out.") ++writeTimeouts;
    };
    server.Start("127.0.0.1", 0);
    Client c(server.Port());
    WriteFrame(c.s, "ask");   // and never read the answer
    bool gone = false;
    for (int i = 0; i < 400 && !gone; ++i) {
        gone = server.ConnectionCount() == 0 && writeTimeouts == 1;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone);
    EXPECT_EQ(replies, 0);
    server.Stop();
}
