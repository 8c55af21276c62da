#include "core/db/connection_pool.h"

#include <mysql.h>
#include <poll.h>
#include <pthread.h>

#include <cstdlib>
#include <new>
#include <vector>

const char* const kSessionSettingsSQL =
    "SET NAMES CP1251;"
    "SET CHARACTER SET CP1251;"
    // Over-long texts are cut and empty texts read as 0 in numeric columns,
    // as the statements of the services expect.
    "SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION';"
    // Reports of what a user changed, so that a connection left as it was
    // handed out is given back without a reset (TSessionUse).
    "SET SESSION session_track_transaction_info = 'CHARACTERISTICS', session_track_state_change = ON;";

namespace {

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

// Whether a waiting connection is still usable: nothing may be readable on
// its socket. A server that closed the connection (restart, kill, time-out)
// has sent its end of the stream, and maybe an error packet before it.
bool StillOpen(MYSQL* conn) {
    my_socket fd = mysql_get_socket(conn);
    if (fd < 0) return false;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN | POLLRDHUP;
    int n = ::poll(&p, 1, 0);
    return n == 0;
}

// Brings a connection back to the state of a fresh one. The reset keeps the
// session's current database, which a statement may have changed: the
// default database is chosen again (a database that is gone fails this, and
// the connection is then closed).
bool ResetSession(MYSQL* conn, const TConnectionKey& key) {
    if (mysql_reset_connection(conn) != 0) return false;
    std::string text = kSessionSettingsSQL;
    if (!key.Database.empty()) {
        text += "USE `";
        for (char c : key.Database) {
            if (c == '`') text += '`';
            text += c;
        }
        text += "`;";
    }
    std::string error;
    return RunSessionText(conn, text, error);
}

TConnectionPool* g_pool = nullptr;

unsigned ServerStatus(MYSQL* conn) {
    unsigned int status = 0;
    if (mariadb_get_infov(conn, MARIADB_CONNECTION_SERVER_STATUS, &status) != 0) return ~0u;
    return status;
}

// Whether a text may leave state that the server does not report: a user
// variable assigned inside an expression (":=", "INTO @v"), a named lock, or
// whatever a stored procedure does.
bool MayKeepUnreportedState(const std::string& text) {
    auto wordAt = [&text](size_t i, const char* word) {
        for (size_t k = 0; word[k]; ++k)
            if (i + k >= text.size() || (text[i + k] | 0x20) != word[k]) return false;
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] | 0x20;
        if (text[i] == '@' || (c == 'l' && wordAt(i, "lock")) || (c == 'c' && wordAt(i, "call"))) return true;
    }
    return false;
}

}  // namespace

void TSessionUse::Sending(const std::string& text) {
    pending_ = clean_ && !MayKeepUnreportedState(text);
    clean_ = false;
}

void TSessionUse::ResultRead(MYSQL* conn) {
    if (!pending_ || !(ServerStatus(conn) & SERVER_SESSION_STATE_CHANGED)) return;
    // Reports of the transaction alone leave nothing behind once it has ended
    // (Clean asks the server) and no characteristics wait for the next one
    // (the last report says so). Any other report, or a report of nothing in
    // particular, marks the session changed.
    const char* data = nullptr;
    size_t length = 0;
    bool transactionOnly = false;
    for (int type = SESSION_TRACK_BEGIN; type <= SESSION_TRACK_END; ++type) {
        if (mysql_session_track_get_first(conn, static_cast<enum_session_state_type>(type), &data, &length) != 0)
            continue;
        if (type == SESSION_TRACK_TRANSACTION_CHARACTERISTICS) {
            nextTransactionSet_ = length != 0;
        } else if (type != SESSION_TRACK_TRANSACTION_STATE) {
            pending_ = false;
            return;
        }
        transactionOnly = true;
    }
    if (!transactionOnly) pending_ = false;
}

void TSessionUse::Finished() {
    clean_ = pending_;
    pending_ = false;
}

bool TSessionUse::Clean(MYSQL* conn) const {
    return clean_ && !nextTransactionSet_ && conn && !(ServerStatus(conn) & SERVER_STATUS_IN_TRANS);
}

bool RunSessionText(MYSQL* conn, const std::string& text, std::string& error) {
    if (mysql_real_query(conn, text.data(), static_cast<unsigned long>(text.size())) != 0) {
        error = mysql_error(conn);
        return false;
    }
    for (;;) {
        if (MYSQL_RES* res = mysql_store_result(conn)) mysql_free_result(res);
        int st = mysql_next_result(conn);
        if (st > 0) {
            error = mysql_error(conn);
            return false;
        }
        if (st < 0) return true;
    }
}

MYSQL* OpenDatabaseConnection(const TConnectionKey& key, std::string& error) {
    InitLibrary();
    MYSQL* m = mysql_init(nullptr);
    if (!m) {
        error = "Cannot create a database connection (out of memory)";
        return nullptr;
    }
    mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "cp1251");
    // Always TCP: "localhost" would otherwise mean the system's socket.
    unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
    unsigned int connectTimeout = 15;
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    unsigned int noLocalInfile = 0;
    mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &noLocalInfile);

    const unsigned long flags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS;
    if (!mysql_real_connect(m, key.Server.c_str(), key.User.c_str(), key.Password.c_str(),
                            key.Database.empty() ? nullptr : key.Database.c_str(),
                            static_cast<unsigned int>(key.Port), nullptr, flags)) {
        error = mysql_error(m);
        if (error.empty()) error = "Cannot connect to the database";
        mysql_close(m);
        return nullptr;
    }
    RunSessionText(m, kSessionSettingsSQL, error);
    return m;
}

// ---------------------------------------------------------------------------
// TConnectionPool
// ---------------------------------------------------------------------------

TConnectionPool& TConnectionPool::Instance() {
    // Never destroyed: data modules may still be freed while the process
    // ends; they then find the pool closed and close their connection.
    static TConnectionPool* pool = [] {
        g_pool = new TConnectionPool;
        pthread_atfork(&TConnectionPool::AtForkPrepare, &TConnectionPool::AtForkParent,
                       &TConnectionPool::AtForkChild);
        std::atexit([] { g_pool->CloseAll(); });
        return g_pool;
    }();
    return *pool;
}

TConnectionPool::~TConnectionPool() { CloseAll(); }

MYSQL* TConnectionPool::Acquire(const TConnectionKey& key, std::string& error) {
    error.clear();
    for (;;) {
        TIdle taken{key, nullptr, {}};
        bool needsReset = false;
        {
            std::lock_guard<std::mutex> g(mu_);
            // The most recently used first: it is the likeliest to be warm.
            for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
                if (it->key == key) {
                    taken = *it;
                    idle_.erase(std::next(it).base());
                    break;
                }
            }
            // A connection waiting for its reset is reset here only when the
            // pool's thread is behind (several wait): otherwise it will be
            // ready before long, and a new connection is opened instead, so
            // that the pool grows to what the callers use and a caller finds
            // a reset connection waiting.
            if (!taken.conn && CountDirty(key) >= kBehind) {
                for (auto it = dirty_.rbegin(); it != dirty_.rend(); ++it) {
                    if (it->key == key) {
                        taken = *it;
                        needsReset = true;
                        dirty_.erase(std::next(it).base());
                        if (dirty_.empty() && resetting_ == 0) settled_.notify_all();
                        break;
                    }
                }
            }
        }
        if (!taken.conn) break;
        if (needsReset ? Reset(taken) : StillOpen(taken.conn)) return taken.conn;
        mysql_close(taken.conn);
    }
    return OpenDatabaseConnection(key, error);
}

void TConnectionPool::Release(const TConnectionKey& key, MYSQL* conn, bool clean) {
    if (!conn) return;
    bool kept = false;
    if (clean) {
        MYSQL* close = nullptr;
        {
            std::lock_guard<std::mutex> g(mu_);
            close = KeepIdle({key, conn, {}});
        }
        if (close) mysql_close(close);
        return;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!closed_ && dirty_.size() < kMaxIdle) {
            dirty_.push_back({key, conn, Clock::now()});
            StartWorker();
            kept = true;
        }
    }
    if (kept) {
        // Outside the lock: the woken thread does not wait for it.
        wake_.notify_one();
        return;
    }
    // The server ends the session, and with it whatever it held.
    mysql_close(conn);
}

size_t TConnectionPool::CountDirty(const TConnectionKey& key) const {
    size_t n = 0;
    for (const TIdle& d : dirty_)
        if (d.key == key) ++n;
    return n;
}

bool TConnectionPool::Reset(const TIdle& c) {
    resets_.fetch_add(1, std::memory_order_relaxed);
    return ResetSession(c.conn, c.key);
}

MYSQL* TConnectionPool::KeepIdle(TIdle c) {
    if (closed_) return c.conn;
    c.since = Clock::now();
    idle_.push_back(std::move(c));
    if (idle_.size() <= kMaxIdle) return nullptr;
    MYSQL* oldest = idle_.front().conn;
    idle_.pop_front();
    return oldest;
}

void TConnectionPool::Settle() {
    std::unique_lock<std::mutex> lock(mu_);
    settled_.wait(lock, [this] { return (dirty_.empty() && resetting_ == 0) || workers_.empty(); });
}

void TConnectionPool::CloseIdle(Clock::time_point now) {
    std::vector<MYSQL*> expired;
    {
        std::lock_guard<std::mutex> g(mu_);
        while (!idle_.empty() && now - idle_.front().since > kIdleLimit) {
            expired.push_back(idle_.front().conn);
            idle_.pop_front();
        }
    }
    for (MYSQL* c : expired) mysql_close(c);
}

void TConnectionPool::CloseAll() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(mu_);
        closed_ = true;
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (std::thread& w : workers) w.join();
    std::deque<TIdle> all;
    {
        std::lock_guard<std::mutex> g(mu_);
        all.swap(idle_);
        for (TIdle& d : dirty_) all.push_back(d);
        dirty_.clear();
    }
    settled_.notify_all();
    for (const TIdle& i : all) mysql_close(i.conn);
}

size_t TConnectionPool::IdleCount() {
    std::lock_guard<std::mutex> g(mu_);
    return idle_.size();
}

uint64_t TConnectionPool::ResetCount() { return resets_.load(std::memory_order_relaxed); }

void TConnectionPool::StartWorker() {
    // One more thread while connections wait for their reset and fewer
    // than kResetThreads are there: resets run side by side.
    if (stopping_ || workers_.size() >= kResetThreads) return;
    if (!workers_.empty() && workers_.size() - resetting_ >= dirty_.size()) return;  // one is free for it
    workers_.emplace_back([this] { WorkerLoop(); });
}

// The pool's thread: resets the connections given back, and every few
// seconds closes those idle for too long.
void TConnectionPool::WorkerLoop() {
    constexpr auto kSweep = std::chrono::seconds(5);
    auto nextSweep = Clock::now() + kSweep;
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        if (dirty_.empty()) {
            wake_.wait_until(lock, nextSweep, [this] { return stopping_ || !dirty_.empty(); });
            if (stopping_) break;
        }
        if (!dirty_.empty()) {
            TIdle c = dirty_.front();
            dirty_.pop_front();
            ++resetting_;
            lock.unlock();
            const bool ok = Reset(c);
            lock.lock();
            --resetting_;
            MYSQL* close = ok ? KeepIdle(std::move(c)) : c.conn;
            if (dirty_.empty() && resetting_ == 0) settled_.notify_all();
            if (close) {
                lock.unlock();
                mysql_close(close);
                lock.lock();
            }
        }
        if (Clock::now() >= nextSweep) {
            nextSweep = Clock::now() + kSweep;
            lock.unlock();
            CloseIdle(Clock::now());
            lock.lock();
        }
    }
}

// fork(): the pool's lock is taken around it, so that the child gets it in a
// known state. The child shares its parent's sockets: it must neither use nor
// close (which would tell the server to end them) the parent's connections,
// so it forgets them, and it has no thread of the pool.
void TConnectionPool::AtForkPrepare() {
    if (g_pool) g_pool->mu_.lock();
}

void TConnectionPool::AtForkParent() {
    if (g_pool) g_pool->mu_.unlock();
}

void TConnectionPool::AtForkChild() {
    if (!g_pool) return;
    // The parent's thread may have been waiting on a condition: the copies
    // would count a waiter that does not exist here. Fresh ones, and a fresh
    // (unlocked) lock, take their place; the old ones are never destroyed.
    new (&g_pool->mu_) std::mutex;
    new (&g_pool->wake_) std::condition_variable;
    new (&g_pool->settled_) std::condition_variable;
    g_pool->ForgetAfterFork();
}

void TConnectionPool::ForgetAfterFork() {
    // Kept reachable and never freed: freeing a handle would end the
    // parent's session, and the thread object belongs to the parent.
    static std::vector<TIdle>* forgotten = new std::vector<TIdle>;
    static std::vector<std::thread*>* threads = new std::vector<std::thread*>;
    for (TIdle& i : idle_) forgotten->push_back(i);
    for (TIdle& i : dirty_) forgotten->push_back(i);
    idle_.clear();
    dirty_.clear();
    resetting_ = 0;
    for (std::thread& w : workers_) threads->push_back(new std::thread(std::move(w)));
    workers_.clear();
}
