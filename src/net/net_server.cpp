#include "net/net_server.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/write.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/exceptions.h"
#include "core/fd.h"
#include "core/log.h"

struct TNetServer::Impl {
    // The parts that live from one Start() to the next Stop().
    struct Run {
        asio::io_context io;
        asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
        TNetSession::TStrand acceptStrand{asio::make_strand(io)};
        asio::ip::tcp::acceptor acceptor{acceptStrand};
        // Waited on by the accept loop while no session may be added; a
        // session that ends cancels the wait.
        asio::steady_timer slotFreed{acceptStrand};
        std::unique_ptr<TWorkSlots> slots;
        std::vector<std::thread> threads;
        // A descriptor kept in reserve, so that the line saying the process
        // ran out of descriptors can still open the log.
        TUniqueFd spareFd;
    };

    TSettings settings;
    TSessionRoutine routine;
    std::unique_ptr<Run> run;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool active = false;
    bool stopping = false;
    bool acceptLoopDone = true;
    uint16_t port = 0;
    uint64_t nextId = 1;
    std::unordered_map<uint64_t, std::shared_ptr<TNetSession>> sessions;

    asio::awaitable<void> AcceptLoop();
    asio::awaitable<void> Serve(std::shared_ptr<TNetSession> s);
    void SessionEnded(uint64_t id);
    int Count() const {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(sessions.size());
    }
};

namespace {

// Compared by number: the socket errors are the system's own.
bool OutOfDescriptors(const asio::error_code& ec) {
    const int e = ec.value();
    return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
}

}  // namespace

asio::awaitable<void> TNetServer::Impl::Serve(std::shared_ptr<TNetSession> s) {
    try {
        co_await routine(s);
    } catch (...) {
        // The routine reports what it wants reported; the session just ends.
    }
    s->Close();
    SessionEnded(s->Id());
}

void TNetServer::Impl::SessionEnded(uint64_t id) {
    // Posted before the session leaves the registry: once it is empty, Stop()
    // may take the run apart.
    std::lock_guard<std::mutex> lock(mutex);
    asio::post(run->acceptStrand, [r = run.get()] { r->slotFreed.cancel(); });
    sessions.erase(id);
    changed.notify_all();
}

asio::awaitable<void> TNetServer::Impl::AcceptLoop() {
    Run& r = *run;
    bool pausedLogged = false;
    const bool refuse = !settings.RefuseBeyondBound.empty();
    for (;;) {
        asio::error_code ec;
        // Full: wait for a session to end (a peer that is refused instead is
        // accepted and answered below).
        while (!refuse && settings.MaxConnections > 0 && Count() >= settings.MaxConnections) {
            r.slotFreed.expires_at(asio::steady_timer::time_point::max());
            co_await r.slotFreed.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) break;
        }
        TNetSession::TStrand strand = asio::make_strand(r.io);
        asio::ip::tcp::socket socket(strand);
        co_await r.acceptor.async_accept(socket, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping || !r.acceptor.is_open()) break;
            }
            if (OutOfDescriptors(ec)) {
                // The pending peer keeps the listener readable: wait until a
                // session ends or a little while instead of spinning.
                if (!pausedLogged) {
                    r.spareFd.Reset();
                    Log(settings.LogSender, std::string("Accepting paused: ") + std::strerror(ec.value()) + " (" +
                                                std::to_string(Count()) + " connections open)");
                    r.spareFd.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                }
                pausedLogged = true;
                r.slotFreed.expires_after(std::chrono::milliseconds(200));
                co_await r.slotFreed.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            }
            continue;
        }
        if (pausedLogged) {
            Log(settings.LogSender, "Accepting again (" + std::to_string(Count()) + " connections open)");
            pausedLogged = false;
        }
        asio::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        if (refuse && settings.MaxConnections > 0 && Count() >= settings.MaxConnections) {
            socket.non_blocking(true, ignored);
            socket.write_some(asio::buffer(settings.RefuseBeyondBound), ignored);
            socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            continue;
        }
        std::shared_ptr<TNetSession> s;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) break;
            s = std::make_shared<TNetSession>(std::move(socket), strand, *r.slots, nextId++);
            sessions.emplace(s->Id(), s);
        }
        // Posted, not started here: the session may do a request's work on
        // the thread it starts on, which must not hold up the accepting.
        asio::post(strand, [this, s, strand] { asio::co_spawn(strand, Serve(s), asio::detached); });
    }
    std::lock_guard<std::mutex> lock(mutex);
    acceptLoopDone = true;
    changed.notify_all();
}

TNetServer::TNetServer() : impl_(std::make_unique<Impl>()) {}

TNetServer::~TNetServer() { Stop(); }

void TNetServer::Start(const std::string& bindAddress, uint16_t port, const TSettings& settings,
                       TSessionRoutine routine) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.active) return;
    auto run = std::make_unique<Impl::Run>();
    asio::error_code ec;
    const auto address = asio::ip::make_address(bindAddress, ec);
    if (ec) throw EInOutError("Invalid bind address " + bindAddress);
    const asio::ip::tcp::endpoint ep(address, port);
    run->acceptor.open(ep.protocol(), ec);
    if (!ec) run->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) run->acceptor.bind(ep, ec);
    if (!ec) run->acceptor.listen(settings.ListenQueue > 0 ? settings.ListenQueue : 1, ec);
    if (ec) throw EInOutError(ec.message());
    m.port = run->acceptor.local_endpoint(ec).port();
    m.settings = settings;
    m.routine = std::move(routine);
    run->spareFd.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int workers = settings.Workers > 0 ? settings.Workers : 1;
    run->slots = std::make_unique<TWorkSlots>(workers);
    m.run = std::move(run);
    m.stopping = false;
    m.acceptLoopDone = false;
    m.active = true;
    asio::co_spawn(m.run->acceptStrand, m.AcceptLoop(), asio::detached);
    // The threads that do a request's work are threads of the sockets too:
    // with every place taken, IoThreads are still left for the sockets.
    const int threads = (settings.IoThreads > 0 ? settings.IoThreads : 1) + workers;
    for (int i = 0; i < threads; ++i) m.run->threads.emplace_back([r = m.run.get()] { r->io.run(); });
}

void TNetServer::Stop() {
    Impl& m = *impl_;
    std::vector<std::shared_ptr<TNetSession>> open;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        if (!m.active || m.stopping) return;
        m.stopping = true;
        for (auto& [id, s] : m.sessions) open.push_back(s);
    }
    Impl::Run& r = *m.run;
    asio::post(r.acceptStrand, [&r] {
        asio::error_code ec;
        r.acceptor.close(ec);
        r.slotFreed.cancel();
    });
    for (auto& s : open) {
        s->RequestClose();
        asio::post(s->Strand(), [s] { s->Close(); });
    }
    open.clear();
    {
        // Sessions end once their work in progress is done and they find
        // their socket closed.
        std::unique_lock<std::mutex> lock(m.mutex);
        m.changed.wait(lock, [&] { return m.acceptLoopDone && m.sessions.empty(); });
    }
    // The I/O threads return once the last handlers (cancelled timers) ran.
    r.guard.reset();
    for (auto& t : r.threads) t.join();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.run.reset();
    m.port = 0;
    m.active = false;
    m.stopping = false;
}

bool TNetServer::Active() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->active;
}

uint16_t TNetServer::Port() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->port;
}

int TNetServer::SessionCount() const { return impl_->Count(); }
