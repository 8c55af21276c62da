#include "net/net_session.h"

#include <asio/bind_executor.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>

#include <chrono>

bool TWorkSlots::TryTake() {
    std::lock_guard<std::mutex> g(mu_);
    if (free_ == 0) return false;
    --free_;
    return true;
}

void TWorkSlots::Wait(std::function<void()> resume) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (free_ == 0) {
            waiting_.push_back(std::move(resume));
            return;
        }
        --free_;
    }
    resume();
}

void TWorkSlots::Give() {
    std::function<void()> next;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (waiting_.empty()) {
            ++free_;
            return;
        }
        next = std::move(waiting_.front());
        waiting_.pop_front();
    }
    next();
}

TNetSession::TNetSession(asio::ip::tcp::socket socket, TStrand strand, TWorkSlots& slots, uint64_t id)
    : socket_(std::move(socket)), strand_(std::move(strand)), slots_(slots), deadline_(strand_), id_(id) {
    asio::error_code ec;
    const auto peer = socket_.remote_endpoint(ec);
    if (!ec) {
        peerIp_ = peer.address();
        peer_ = peerIp_.to_string() + ":" + std::to_string(peer.port());
    }
    const auto local = socket_.local_endpoint(ec);
    if (!ec) localIp_ = local.address();
}

void TNetSession::TAttachment::Reset() {
    if (owner_) owner_->attached_.erase(it_);
    owner_ = nullptr;
}

TNetSession::TAttachment TNetSession::Attach(std::function<void()> closer) {
    TAttachment a;
    if (closed_) {
        closer();
        return a;
    }
    a.owner_ = this;
    a.it_ = attached_.insert(attached_.end(), std::move(closer));
    return a;
}

void TNetSession::Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    for (auto& c : attached_) c();
    Disarm();
}

void TNetSession::Arm(asio::ip::tcp::socket* s, asio::ip::tcp::acceptor* a, int timeoutMs) {
    ++watch_;
    timedOut_ = false;
    if (timeoutMs <= 0) return;
    deadline_.expires_after(std::chrono::milliseconds(timeoutMs));
    deadline_.async_wait(
        asio::bind_executor(strand_, [self = shared_from_this(), w = watch_, s, a](const asio::error_code& ec) {
            // A handler that comes after its operation ended finds the
            // counter moved on and touches nothing.
            if (ec || self->watch_ != w) return;
            self->timedOut_ = true;
            asio::error_code ignored;
            if (s) s->cancel(ignored);
            if (a) a->cancel(ignored);
        }));
}

void TNetSession::Disarm() {
    ++watch_;
    deadline_.cancel();
}

namespace {

bool PeerGone(const asio::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
           ec == asio::error::not_connected || ec == asio::error::bad_descriptor || ec == asio::error::shut_down ||
           ec == asio::error::connection_aborted || ec == asio::error::operation_aborted;
}

}  // namespace

template <class Op>
bool TNetSession::TryNow(asio::ip::tcp::socket& s, TNetResult& r, Op op) {
    if (closeRequested_.load() && !closed_) Close();
    if (closed_ || !s.is_open()) return false;  // Timed() reports it
    asio::error_code ec;
    if (!s.non_blocking()) {
        s.non_blocking(true, ec);
        if (ec) return false;
    }
    r.Bytes = op(ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted) return false;
    if (!ec) {
        r.Status = TNetStatus::Ok;
        return true;
    }
    r.Error = ec;
    r.Status = PeerGone(ec) ? TNetStatus::Closed : TNetStatus::Failed;
    return true;
}

template <class Op>
asio::awaitable<TNetResult> TNetSession::Timed(asio::ip::tcp::socket* s, asio::ip::tcp::acceptor* a, int timeoutMs,
                                               Op op) {
    TNetResult r;
    if (closeRequested_.load() && !closed_) Close();
    if (closed_) {
        r.Status = TNetStatus::Closed;
        co_return r;
    }
    Arm(s, a, timeoutMs);
    asio::error_code ec;
    r.Bytes = co_await op(asio::redirect_error(asio::use_awaitable, ec));
    const bool timedOut = timedOut_;
    Disarm();
    if (!ec) co_return r;
    r.Error = ec;
    if (closed_) r.Status = TNetStatus::Closed;
    else if (timedOut) r.Status = TNetStatus::TimedOut;
    else if (PeerGone(ec)) r.Status = TNetStatus::Closed;
    else r.Status = TNetStatus::Failed;
    co_return r;
}

asio::awaitable<TNetResult> TNetSession::ReadSome(asio::ip::tcp::socket& s, void* buffer, size_t n, int timeoutMs) {
    // What has arrived already is taken at once: no wait, no timer.
    TNetResult now;
    if (TryNow(s, now, [&](asio::error_code& ec) { return s.read_some(asio::buffer(buffer, n), ec); })) co_return now;
    co_return co_await Timed(&s, nullptr, timeoutMs, [&](auto token) {
        return s.async_read_some(asio::buffer(buffer, n), token);
    });
}

asio::awaitable<TNetResult> TNetSession::ReadExact(asio::ip::tcp::socket& s, void* buffer, size_t n,
                                                   int timeoutMs) {
    auto* p = static_cast<char*>(buffer);
    size_t at = 0;
    while (at < n) {
        TNetResult r = co_await ReadSome(s, p + at, n - at, timeoutMs);
        if (!r.Ok()) co_return r;
        at += r.Bytes;
    }
    co_return TNetResult{TNetStatus::Ok, n, {}};
}

asio::awaitable<TNetResult> TNetSession::WriteAll(asio::ip::tcp::socket& s, const void* data, size_t n,
                                                  int timeoutMs) {
    const auto* p = static_cast<const char*>(data);
    size_t at = 0;
    while (at < n) {
        // As much as the socket takes now, without a wait; the rest waits.
        TNetResult now;
        if (TryNow(s, now, [&](asio::error_code& ec) { return s.write_some(asio::buffer(p + at, n - at), ec); })) {
            if (!now.Ok()) co_return now;
            at += now.Bytes;
            continue;
        }
        TNetResult r = co_await Timed(&s, nullptr, timeoutMs, [&](auto token) {
            return s.async_write_some(asio::buffer(p + at, n - at), token);
        });
        if (!r.Ok()) co_return r;
        at += r.Bytes;
    }
    co_return TNetResult{TNetStatus::Ok, n, {}};
}

asio::awaitable<TNetResult> TNetSession::Accept(asio::ip::tcp::acceptor& a, asio::ip::tcp::socket& peer,
                                                int timeoutMs) {
    co_return co_await Timed(nullptr, &a, timeoutMs, [&](auto token) -> asio::awaitable<size_t> {
        co_await a.async_accept(peer, token);
        co_return 0;
    });
}

asio::awaitable<TNetResult> TNetSession::Connect(asio::ip::tcp::socket& s, const asio::ip::tcp::endpoint& remote,
                                                 int timeoutMs) {
    co_return co_await Timed(&s, nullptr, timeoutMs, [&](auto token) -> asio::awaitable<size_t> {
        co_await s.async_connect(remote, token);
        co_return 0;
    });
}
