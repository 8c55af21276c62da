#include "core/db/connection_pool.h"

#include <mysql.h>
#include <poll.h>
#include <pthread.h>

#include <cstdlib>
#include <vector>

const char* const kSessionSettingsSQL =
    "SET NAMES CP1251;"
    "SET CHARACTER SET CP1251;"
    // Over-long texts are cut and empty texts read as 0 in numeric columns,
    // as the statements of the services expect.
    "SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION';";

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

}  // namespace

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
        MYSQL* conn = nullptr;
        {
            std::lock_guard<std::mutex> g(mu_);
            // The most recently used first: it is the likeliest to be warm.
            for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
                if (it->key == key) {
                    conn = it->conn;
                    idle_.erase(std::next(it).base());
                    break;
                }
            }
        }
        if (!conn) break;
        if (StillOpen(conn)) return conn;
        mysql_close(conn);
    }
    return OpenDatabaseConnection(key, error);
}

void TConnectionPool::Release(const TConnectionKey& key, MYSQL* conn) {
    if (!conn) return;
    if (!ResetSession(conn, key)) {
        mysql_close(conn);
        return;
    }
    MYSQL* evicted = nullptr;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (closed_) {
            evicted = conn;
        } else {
            idle_.push_back({key, conn, Clock::now()});
            if (idle_.size() > kMaxIdle) {
                evicted = idle_.front().conn;
                idle_.pop_front();
            }
            StartReaper();
        }
    }
    if (evicted) mysql_close(evicted);
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
    std::deque<TIdle> all;
    std::thread reaper;
    {
        std::lock_guard<std::mutex> g(mu_);
        closed_ = true;
        stopping_ = true;
        all.swap(idle_);
        reaper = std::move(reaper_);
    }
    wake_.notify_all();
    if (reaper.joinable()) reaper.join();
    for (const TIdle& i : all) mysql_close(i.conn);
}

size_t TConnectionPool::IdleCount() {
    std::lock_guard<std::mutex> g(mu_);
    return idle_.size();
}

void TConnectionPool::StartReaper() {
    if (reaper_.joinable() || stopping_) return;
    reaper_ = std::thread([this] { ReaperLoop(); });
}

void TConnectionPool::ReaperLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::seconds(5));
        if (stopping_) break;
        lock.unlock();
        CloseIdle(Clock::now());
        lock.lock();
    }
}

// fork(): the pool's lock is taken around it, so that the child gets it in a
// known state. The child shares its parent's sockets: it must neither use nor
// close (which would tell the server to end them) the parent's connections,
// so it forgets them, and it has no reaper thread.
void TConnectionPool::AtForkPrepare() {
    if (g_pool) g_pool->mu_.lock();
}

void TConnectionPool::AtForkParent() {
    if (g_pool) g_pool->mu_.unlock();
}

void TConnectionPool::AtForkChild() {
    if (!g_pool) return;
    g_pool->ForgetAfterFork();
    g_pool->mu_.unlock();
}

void TConnectionPool::ForgetAfterFork() {
    // Kept reachable and never freed: freeing a handle would end the
    // parent's session, and the thread object belongs to the parent.
    static std::vector<TIdle>* forgotten = new std::vector<TIdle>;
    static std::vector<std::thread*>* threads = new std::vector<std::thread*>;
    for (TIdle& i : idle_) forgotten->push_back(i);
    idle_.clear();
    if (reaper_.joinable()) threads->push_back(new std::thread(std::move(reaper_)));
}
