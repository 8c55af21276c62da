// Frames over sockets and the TCP server that serves them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log.h"
#include "net/net_session.h"
#include "net/open_file_limit.h"
#include "net/tcp_server.h"
#include "protocol/component_stream.h"
#include "protocol/frame_io.h"
#include "protocol/pharm_classes.h"
#include "support/expect_raises.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "protocol/test_bytes.h"

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

// A port of 127.0.0.1 on which nothing listens (a listener's, closed again).
asio::ip::tcp::endpoint PortNobodyListensOn() {
    asio::io_context io;
    asio::ip::tcp::acceptor acc(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return acc.local_endpoint();
}

// A client connection to the server under test.
struct Client {
    asio::io_context io;
    asio::ip::tcp::socket s{io};
    explicit Client(uint16_t port) { s.connect({asio::ip::make_address("127.0.0.1"), port}); }
    std::unique_ptr<TComponent> Ask(const TComponent& c) {
        WriteComponentFrame(s, c);
        return ReadComponentFrame(s, 10000);
    }
    // True when the server closed the connection without sending anything
    // (gives up after 10 s).
    bool ClosedWithoutReply() {
        try {
            char b;
            ReadExact(s, &b, 1, 10000);
            return false;
        } catch (const EFrameConnectionClosed&) {
            return true;
        } catch (const EFrameError&) {
            return false;
        }
    }
};

// Answers a send-file command with a result whose StartPosition echoes it.
void EchoHandler(TTcpRequest& r) {
    auto cmd = DecodePharmComponent(std::move(r.Payload));
    TPharmServerSendFileResult result;
    if (auto* sf = PharmCast<TPharmServerSendFileCommand>(cmd.get())) result.StartPosition = sf->StartPosition;
    else result.ErrorMessage = cmd->ClassName();
    r.Reply = EncodePharmComponent(result);
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

// Collects what ended connections.
struct Errors {
    std::mutex m;
    std::vector<std::string> list;
    void Attach(TTcpServer& server) {
        server.OnException = [this](const std::string&, const std::exception& e) {
            std::lock_guard<std::mutex> lock(m);
            list.push_back(e.what());
        };
    }
    std::vector<std::string> Sorted() {
        std::lock_guard<std::mutex> lock(m);
        auto l = list;
        std::sort(l.begin(), l.end());
        return l;
    }
};

int Count(const char* dir) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {}));
}
int OpenDescriptors() { return Count("/proc/self/fd"); }
int Threads() { return Count("/proc/self/task"); }

// Waits (bounded) for a condition that another thread makes true.
template <class F>
bool Eventually(F f) {
    for (int i = 0; i < 1000 && !f(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return f();
}

}  // namespace

TEST(FrameIO, BigEndianCountThenPayload) {
    EXPECT_EQ(Hex(FrameHeader(3)), "00 00 00 03");
    EXPECT_EQ(Hex(FrameHeader(0x01020304)), "01 02 03 04");
    EXPECT_EQ(FrameCountFromBytes(B({0x00, 0x01, 0x00, 0x00}).data()), 65536);
    EXPECT_EQ(FrameCountFromBytes(B({0xFF, 0xFF, 0xFF, 0xFF}).data()), -1);
    EXPECT_THROW(FrameHeader(int64_t{1} << 31), ERangeError);
    EXPECT_EQ(Hex(FrameHeader(INT32_MAX)), "7F FF FF FF");
    EXPECT_NO_THROW(CheckFrameCount(0));
    EXPECT_NO_THROW(CheckFrameCount(kMaxFrameSize));
    EXPECT_THROW(CheckFrameCount(kMaxFrameSize + 1), EFrameSizeError);
    EXPECT_THROW(CheckFrameCount(-1), EFrameSizeError);
    SocketPair p;
    WriteFrame(p.server, "abc");
    EXPECT_EQ(Hex(p.ReceiveExactly(7)), "00 00 00 03 61 62 63");
    // A frame larger than the socket buffers goes out whole while the peer reads.
    const std::string big(200000, 'q');
    std::thread t([&] { WriteFrame(p.server, big); });
    const std::string got = p.ReceiveExactly(4 + big.size());
    t.join();
    EXPECT_EQ(Hex(got.substr(0, 4)), "00 03 0D 40");
    EXPECT_TRUE(got.substr(4) == big);
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

    // A socket that is open but was never connected has no peer either.
    asio::io_context io;
    asio::ip::tcp::socket never(io);
    never.open(asio::ip::tcp::v4());
    ExpectRaises<EFrameConnectionClosed>([&] { ReadFrame(never); }, "Connection Closed Gracefully.");
    ExpectRaises<EFrameConnectionClosed>([&] { WriteFrame(never, "x"); }, "Connection Closed Gracefully.");
    // A refused connection is a socket error, not a peer that left: the
    // refusal waits as the socket's error for the first read.
    asio::ip::tcp::socket refused(io);
    refused.open(asio::ip::tcp::v4());
    refused.non_blocking(true);
    const asio::ip::tcp::endpoint gone = PortNobodyListensOn();
    ASSERT_NE(::connect(refused.native_handle(), gone.data(), static_cast<socklen_t>(gone.size())), 0);
    ExpectRaises<EFrameError>([&] { ReadFrame(refused); }, "Socket error: Connection refused");
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

TEST(NetSession, ASocketNeverConnectedIsClosedARefusedConnectionFailed) {
    asio::io_context io;
    TWorkSlots slots(1);
    auto session = std::make_shared<TNetSession>(asio::ip::tcp::socket(io), asio::make_strand(io), slots, 1);
    asio::ip::tcp::socket never(io);
    never.open(asio::ip::tcp::v4());
    asio::ip::tcp::socket refused(io);
    TNetResult read, write, connect;
    char b = 'x';
    asio::co_spawn(
        session->Strand(),
        [&]() -> asio::awaitable<void> {
            read = co_await session->ReadSome(never, &b, 1, 10000);
            write = co_await session->WriteAll(never, &b, 1, 10000);
            connect = co_await session->Connect(refused, PortNobodyListensOn(), 10000);
        },
        asio::detached);
    io.run();
    EXPECT_EQ(read.Status, TNetStatus::Closed) << read.Error.message();
    EXPECT_EQ(write.Status, TNetStatus::Closed) << write.Error.message();
    EXPECT_EQ(connect.Status, TNetStatus::Failed);
    EXPECT_EQ(connect.Error, asio::error::connection_refused);
}

TEST(TcpServer, ServesManyConnectionsWithTheWorkersBoundedAndAnyCommand) {
    TTcpServer server;
    server.Workers = 2;
    std::atomic<int> inside{0}, most{0};
    server.OnRequest = [&](TTcpRequest& r) {
        const int now = ++inside;
        for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets the others pile up
        --inside;
        EchoHandler(r);
    };
    server.Start("127.0.0.1", 0);
    ASSERT_TRUE(server.Active());
    ASSERT_NE(server.Port(), 0);
    // Many requests a connection, many connections: those beyond the worker bound wait their turn.
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < 6; ++i)
        clients.emplace_back([&, i] {
            Client c(server.Port());
            for (int k = 0; k < 3; ++k)
                if (AnswerPos(c.Ask(*Cmd(i * 10 + k))) == i * 10 + k) ++good;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(good, 18);
    EXPECT_GE(most, 1);
    EXPECT_LE(most, 2);
    // A command of another class is still answered by this handler.
    Client c(server.Port());
    auto ans = c.Ask(TPharmServerRefreshDataCommand());
    EXPECT_EQ(PharmCast<TPharmServerCommandResult>(ans.get())->ErrorMessage, "TPharmServerRefreshDataCommand");
    server.Stop();
    EXPECT_FALSE(server.Active());
}

// Bad frames end their connection at once; silent peers, peers that stop
// half-way through a frame and a peer that stops reading its answer end at the
// time-out. Others are served meanwhile, and every end is reported.
TEST(TcpServer, BadFramesAndStalledPeersEndTheirConnectionWithTheReason) {
    Errors errors;
    TTcpServer server;
    server.ConnectionTimeoutMs = 200;
    std::atomic<int> bigReplies{0};
    server.OnRequest = [&](TTcpRequest& r) {
        if (r.Payload.rfind("ask", 0) != 0) return EchoHandler(r);
        ++bigReplies;
        r.Reply = std::string(16 << 20, 'r');  // far more than the socket buffers hold
    };
    errors.Attach(server);
    server.Start("127.0.0.1", 0);
    const std::string undecodable = "TPF0" + SS("TNope") + B({0, 0, 0});
    const std::string payload = EncodePharmComponent(*Cmd(5));
    const std::string frame = FrameHeader(static_cast<int64_t>(payload.size())) + payload;
    std::vector<std::unique_ptr<Client>> ended;
    for (const std::string& sent : {FrameHeader(static_cast<int64_t>(undecodable.size())) + undecodable,
                                    B({0x80, 0, 0, 0}), FrameHeader(kMaxFrameSize + 1), std::string(),
                                    frame.substr(0, 2), frame.substr(0, frame.size() - 3)}) {
        ended.push_back(std::make_unique<Client>(server.Port()));
        asio::write(ended.back()->s, asio::buffer(sent));
    }
    Client notReading(server.Port());
    WriteFrame(notReading.s, "ask");  // and never read the answer
    WriteFrame(notReading.s, "ask again");
    {
        Client polite(server.Port());  // leaves between requests: no error
        EXPECT_EQ(AnswerPos(polite.Ask(*Cmd(7))), 7);
    }
    for (auto& c : ended) EXPECT_TRUE(c->ClosedWithoutReply());
    // The report follows the close: wait for it (bounded) before stopping.
    EXPECT_TRUE(Eventually([&] { return errors.Sorted().size() == 7 && server.ConnectionCount() == 0; }));
    server.Stop();
    EXPECT_EQ(bigReplies, 1);
    EXPECT_EQ(errors.Sorted(), (std::vector<std::string>{"Class TNope not found", "Invalid frame size -2147483648",
                                                         "Invalid frame size " + std::to_string(kMaxFrameSize + 1),
                                                         "Read timed out.", "Read timed out.", "Read timed out.",
                                                         "Write timed out."}));
}

// Idle connections hold no thread; Stop waits for the requests in progress,
// ends every connection and leaks no descriptor; the server starts again.
TEST(TcpServer, StopWaitsForRequestsEndsIdleConnectionsLeaksNothingAndCanRestart) {
    RaiseOpenFileLimit();
    const int fds = OpenDescriptors(), threads = Threads();
    TTcpServer server;
    std::latch inside(3);
    std::atomic<int> finished{0};
    server.OnRequest = [&](TTcpRequest& r) {
        if (r.Payload != "slow") return EchoHandler(r);
        inside.count_down();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ++finished;
    };
    server.Start("127.0.0.1", 0);
    const int serving = Threads();
    {
        constexpr int kIdle = 1000;
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < kIdle; ++i) {
            clients.push_back(std::make_unique<Client>(server.Port()));
            if (i % 10 == 0) {
                EXPECT_EQ(AnswerPos(clients.back()->Ask(*Cmd(i))), i);  // some asked once
            }
        }
        EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == kIdle; }));
        Client active(server.Port());
        for (int k = 0; k < 20; ++k) EXPECT_EQ(AnswerPos(active.Ask(*Cmd(k))), k);
        EXPECT_EQ(Threads(), serving);
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<Client>(server.Port()));
            WriteFrame(clients.back()->s, "slow");
        }
        inside.wait();
        server.Stop();
        EXPECT_EQ(finished, 3);
        EXPECT_EQ(server.ConnectionCount(), 0);
        for (auto& c : clients) EXPECT_TRUE(c->ClosedWithoutReply());
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    // A joined thread can stay listed in /proc for a moment after it ended.
    EXPECT_TRUE(Eventually([&] { return Threads() == threads; })) << Threads() << " threads, " << threads << " before";
    server.Start("127.0.0.1", 0);
    Client again(server.Port());
    EXPECT_EQ(AnswerPos(again.Ask(*Cmd(9))), 9);
    // Stopped by the destructor.
}

TEST(TcpServer, FrameAndConnectionBoundsAreSetPerServer) {
    Errors errors;
    TTcpServer server;
    server.MaxFrameSize = 64;
    server.MaxConnections = 1;
    server.OnRequest = [](TTcpRequest& r) { r.Reply = std::to_string(r.Payload.size()); };
    errors.Attach(server);
    server.Start("127.0.0.1", 0);

    // A frame of exactly the bound is served, one byte more ends the connection.
    Client fits(server.Port());
    WriteFrame(fits.s, std::string(64, 'x'));
    EXPECT_EQ(ReadFrame(fits.s, 10000), "64");
    // A second peer waits in the listen queue while the first one stays connected.
    Client second(server.Port());
    WriteFrame(second.s, "queued");
    for (int i = 0; i < 20; ++i) {  // meanwhile an unbounded server would take it
        WriteFrame(fits.s, "first again");
        ASSERT_EQ(ReadFrame(fits.s, 10000), "11");
    }
    EXPECT_EQ(server.ConnectionCount(), 1);
    asio::write(fits.s, asio::buffer(FrameHeader(65)));
    EXPECT_TRUE(fits.ClosedWithoutReply());
    EXPECT_EQ(ReadFrame(second.s, 10000), "6");

    // Another server keeps the default frame bound.
    TTcpServer other;
    other.OnRequest = server.OnRequest;
    other.Start("127.0.0.1", 0);
    Client big(other.Port());
    WriteFrame(big.s, std::string(100000, 'y'));
    EXPECT_EQ(ReadFrame(big.s, 10000), "100000");
    // A port already in use is refused, and that server stays inactive.
    TTcpServer third;
    EXPECT_THROW(third.Start("127.0.0.1", other.Port()), EInOutError);
    EXPECT_FALSE(third.Active());
    other.Stop();
    server.Stop();
    EXPECT_EQ(errors.Sorted(), std::vector<std::string>{"Invalid frame size 65"});
}

TEST(TcpServer, OutOfDescriptorsPausesAcceptingAndIsLoggedOnce) {
#ifdef VT_SANITIZED
    GTEST_SKIP() << "the sanitizers' checks fail without descriptors: run it in an unsanitized build";
#endif
    TempDir dir;
    ScopedEnv base("VT_BASE_DIR", dir.Path());
    TServicesData data;
    ServicesData = &data;
    Log("TTest", "start");
    // Opened now: reading it later needs no descriptor.
    std::ifstream logFile(data.LogFileName(), std::ios::binary);
    auto logText = [&] {
        logFile.clear();
        logFile.seekg(0);
        return std::string(std::istreambuf_iterator<char>(logFile), {});
    };
    TTcpServer server;
    server.LogSender = "TTestServer";
    server.OnRequest = EchoHandler;
    server.Start("127.0.0.1", 0);
    // The peers' sockets exist before the process runs out of descriptors;
    // connecting them needs none, accepting them does.
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> waiting;
    for (int i = 0; i < 3; ++i) waiting.emplace_back(io).open(asio::ip::tcp::v4());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;  // every descriptor left
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
    for (auto& s : waiting) s.connect({asio::ip::make_address("127.0.0.1"), server.Port()});
    const bool paused = Eventually([&] { return logText().find("paused") != std::string::npos; });
    for (int fd : taken) ::close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_TRUE(paused);
    // Accepting goes on once descriptors are there again.
    for (size_t i = 0; i < waiting.size(); ++i) {
        WriteComponentFrame(waiting[i], *Cmd(static_cast<int32_t>(i)));
        EXPECT_EQ(AnswerPos(ReadComponentFrame(waiting[i], 10000)), static_cast<int64_t>(i));
    }
    server.Stop();
    ServicesData = nullptr;
    const std::string log = logText();
    EXPECT_EQ(log.find("[TTestServer] Accepting paused"), log.rfind("[TTestServer] Accepting paused")) << log;
    EXPECT_NE(log.find("[TTestServer] Accepting again"), std::string::npos) << log;
    EXPECT_EQ(log.find("[TTestServer] Accepting again"), log.rfind("[TTestServer] Accepting again")) << log;
}
