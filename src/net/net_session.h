// One accepted connection of a TNetServer, served by one coroutine on its own
// strand: every wait for the peer is an asynchronous operation with a time-out
// on the session's single deadline timer, so an idle session holds only its
// socket, its timer and its coroutine's frame, no thread. Work that may block
// (files, the database) is run with RunOnWorkers, within the server's bound
// on requests in progress.
//
// Everything here is used from the session's strand only; the server closes
// a session by posting Close() to that strand.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

// How a timed socket operation ended.
enum class TNetStatus { Ok, TimedOut, Closed, Failed };

struct TNetResult {
    TNetStatus Status = TNetStatus::Ok;
    size_t Bytes = 0;
    asio::error_code Error;  // the socket's error for Failed
    bool Ok() const { return Status == TNetStatus::Ok; }
};

// The bound on the requests worked on at the same moment, shared by the
// sessions of one server. A session that finds a place free takes it at once
// and does its work on the thread it runs on; one that finds none waits
// without holding a thread and is resumed when a place is given back.
class TWorkSlots {
public:
    explicit TWorkSlots(int count) : free_(count > 0 ? count : 1) {}
    // Takes a place now; false when none is free.
    bool TryTake();
    // Queues `resume`, run (with the place taken for it) once a place is free;
    // runs it at once when one is free now.
    void Wait(std::function<void()> resume);
    // Gives a place back: to the first session waiting, or to the free ones.
    void Give();

private:
    std::mutex mu_;
    int free_;
    std::deque<std::function<void()>> waiting_;
};

class TNetSession : public std::enable_shared_from_this<TNetSession> {
public:
    using TStrand = asio::strand<asio::io_context::executor_type>;

    TNetSession(asio::ip::tcp::socket socket, TStrand strand, TWorkSlots& slots, uint64_t id);
    TNetSession(const TNetSession&) = delete;
    TNetSession& operator=(const TNetSession&) = delete;

    uint64_t Id() const { return id_; }
    asio::ip::tcp::socket& Socket() { return socket_; }
    const TStrand& Strand() const { return strand_; }
    // "address:port" of the peer, and the two ends' addresses.
    const std::string& PeerAddress() const { return peer_; }
    const asio::ip::address& PeerIp() const { return peerIp_; }
    const asio::ip::address& LocalIp() const { return localIp_; }

    // Reads what has arrived (at most n bytes), waiting at most timeoutMs
    // (0 or less: no limit) for the first byte. The peer's orderly end is
    // Closed with Bytes 0.
    asio::awaitable<TNetResult> ReadSome(asio::ip::tcp::socket& s, void* buffer, size_t n, int timeoutMs);
    // Reads exactly n bytes; each wait for bytes lasts at most timeoutMs.
    asio::awaitable<TNetResult> ReadExact(asio::ip::tcp::socket& s, void* buffer, size_t n, int timeoutMs);
    // Writes all n bytes; each wait for the peer to take bytes lasts at most timeoutMs.
    asio::awaitable<TNetResult> WriteAll(asio::ip::tcp::socket& s, const void* data, size_t n, int timeoutMs);
    // Accepts one connection on a listener of the session's own (an FTP
    // passive port), waiting at most timeoutMs.
    asio::awaitable<TNetResult> Accept(asio::ip::tcp::acceptor& a, asio::ip::tcp::socket& peer, int timeoutMs);
    // Connects s (already opened and bound) to remote, waiting at most timeoutMs.
    asio::awaitable<TNetResult> Connect(asio::ip::tcp::socket& s, const asio::ip::tcp::endpoint& remote,
                                        int timeoutMs);

    // Runs f as one of the server's bounded requests in progress: on the
    // session's own thread as soon as a place is free (the server runs
    // enough threads that those doing such work never keep the others from
    // serving the sockets), so that a request costs no hand-over between
    // threads. f's exception is raised again.
    template <class F>
    asio::awaitable<void> RunOnWorkers(F f);

    // Closes the socket and everything attached; waits in progress end as
    // Closed. Later attachments are closed at once.
    void Close();
    bool Closed() const { return closed_; }
    // Called from any thread before Close() is posted to the strand: from
    // then on no operation starts, so that the work in progress sends no
    // answer.
    void RequestClose() { closeRequested_.store(true); }

    // Something the session opened besides its socket (a data connection, a
    // passive listener), closed with the session; detached when the returned
    // handle goes.
    class TAttachment {
    public:
        TAttachment() = default;
        TAttachment(TAttachment&& o) noexcept : owner_(o.owner_), it_(o.it_) { o.owner_ = nullptr; }
        TAttachment& operator=(TAttachment&& o) noexcept {
            if (this != &o) {
                Reset();
                owner_ = o.owner_;
                it_ = o.it_;
                o.owner_ = nullptr;
            }
            return *this;
        }
        ~TAttachment() { Reset(); }
        void Reset();

    private:
        friend class TNetSession;
        TNetSession* owner_ = nullptr;
        std::list<std::function<void()>>::iterator it_;
    };
    [[nodiscard]] TAttachment Attach(std::function<void()> closer);

private:
    // One non-blocking step of a transfer (op(ec) returns the bytes moved);
    // false when it would have to wait, and the step is then left to Timed().
    template <class Op>
    bool TryNow(asio::ip::tcp::socket& s, TNetResult& r, Op op);
    template <class Op>
    asio::awaitable<TNetResult> Timed(asio::ip::tcp::socket* s, asio::ip::tcp::acceptor* a, int timeoutMs, Op op);
    void Arm(asio::ip::tcp::socket* s, asio::ip::tcp::acceptor* a, int timeoutMs);
    void Disarm();

    asio::ip::tcp::socket socket_;
    TStrand strand_;
    TWorkSlots& slots_;
    asio::steady_timer deadline_;
    uint64_t id_;
    uint64_t watch_ = 0;  // changes with every operation: a late deadline handler sees it moved on
    bool timedOut_ = false;
    bool closed_ = false;
    std::atomic<bool> closeRequested_{false};
    std::string peer_;
    asio::ip::address peerIp_, localIp_;
    std::list<std::function<void()>> attached_;
};

template <class F>
asio::awaitable<void> TNetSession::RunOnWorkers(F f) {
    if (!slots_.TryTake()) {
        // No place free: wait for one without holding the thread; the place
        // is handed over taken.
        auto& slots = slots_;
        co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
            [&slots](auto handler) {
                auto ex = asio::get_associated_executor(handler);
                auto shared = std::make_shared<decltype(handler)>(std::move(handler));
                slots.Wait([shared, ex] { asio::post(ex, [shared]() mutable { std::move (*shared)(); }); });
            },
            asio::use_awaitable);
    }
    std::exception_ptr failure;
    try {
        f();
    } catch (...) {
        failure = std::current_exception();
    }
    slots_.Give();
    if (failure) std::rethrow_exception(failure);
}
