// Open connections to the central database, kept for reuse by the data
// modules (TDMBase) of later operations, so that a request does not pay for a
// new connection (TCP handshake, authentication, session set-up) every time.
//
// A connection handed out is in the state of a fresh one: it was reset after
// it came back (the server rolls back an open transaction, drops temporary
// tables, clears user variables and locks, and brings every session variable
// back to its default) and the session settings were applied again (code page
// 1251, sql_mode, default database). The reset is done by the pool's own
// thread, so that giving a connection back costs the caller nothing. A
// connection whose user left nothing behind needs no reset: the server is
// asked to report every change of session state and of the transaction state
// (session tracking, part of the session settings), the data module notes
// whether any statement reported one (TSessionUse), and a connection given
// back clean goes straight back to the waiting ones. A caller
// that finds no reset connection waiting opens a new one, unless the pool's
// thread is behind (kBehind or more wait for their reset): it then resets one
// of those itself. A connection that the server has dropped
// while it waited (restart, time-out, kill) shows it on its socket and is
// closed instead of handed out.
//
// The options in force choose the pool: connections are kept apart by server,
// port, account and default database. At most kMaxIdle connections wait to be
// reset and at most kMaxIdle wait reset; a connection waiting longer than
// kIdleLimit is closed (the pool's thread looks every few seconds);
// everything is closed when the process ends. A child made by fork() never
// uses its parent's connections.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct st_mysql;

// What tells connections apart: the server, account and database they serve.
struct TConnectionKey {
    std::string Server;
    int Port = 0;
    std::string User;
    std::string Password;
    std::string Database;
    bool operator==(const TConnectionKey&) const = default;
};

// The session settings every connection gets when it is opened and again
// after every reset, sent as one text. The last of them switch on the
// server's reports of session and transaction state changes.
extern const char* const kSessionSettingsSQL;

// Whether a connection handed out still holds nothing that a reset would
// have to clear, statement by statement. A connection begins clean when its
// session settings were applied; it stops being clean for good with a
// statement that the server reports to have changed the session state (a
// session variable, a user variable set by SET, a temporary table, a prepared
// statement, the default database), a text that may set a user variable,
// take a named lock or run a stored procedure, which the server does not
// report ("@", "lock", "call"), or a statement whose results were not all
// read without error, or a transaction still open when it is given back. The
// server also reports the transaction's state and the characteristics set
// for the next transaction: these alone leave a connection clean once the
// transaction has ended, unless the last report says that characteristics
// wait for the next one.
class TSessionUse {
public:
    explicit TSessionUse(bool settingsApplied) : clean_(settingsApplied) {}
    // Before a text is sent: the session counts as changed until Finished.
    void Sending(const std::string& text);
    // After each result of the text (a row set read whole, or an OK).
    void ResultRead(st_mysql* conn);
    // Every result of the text was read without error.
    void Finished();
    // Whether the connection can be given back without a reset.
    bool Clean(st_mysql* conn) const;

private:
    bool clean_;
    bool pending_ = false;             // the text being read is clean so far
    bool nextTransactionSet_ = false;  // characteristics wait for the next transaction
};

class TConnectionPool {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxIdle = 64;
    static constexpr Clock::duration kIdleLimit = std::chrono::seconds(60);
    static constexpr size_t kBehind = 2;
    static constexpr size_t kResetThreads = 4;

    // The process's pool.
    static TConnectionPool& Instance();

    // A connection for the key: a waiting one that is still alive, or a new
    // one. nullptr when none can be opened; `error` then holds the
    // connector's message. A new connection whose session settings failed is
    // handed out all the same, with `error` set.
    st_mysql* Acquire(const TConnectionKey& key, std::string& error);
    // Takes a connection back. The pool's thread resets its session and
    // applies the settings again, then keeps it (closing the longest-waiting
    // one when kMaxIdle wait already); a connection that fails the reset is
    // closed, and so is one given back while kMaxIdle wait for their reset.
    // A connection given back `clean` (TSessionUse) is kept at once, without
    // a reset.
    void Release(const TConnectionKey& key, st_mysql* conn, bool clean = false);
    // Waits until every connection given back has been reset (or closed).
    void Settle();

    // Closes the connections that have waited since before `now - kIdleLimit`.
    void CloseIdle(Clock::time_point now);
    // Closes every waiting connection; connections given back later are
    // closed at once (process end).
    void CloseAll();
    // Number of connections waiting reset.
    size_t IdleCount();
    // Number of sessions reset since the pool was made.
    uint64_t ResetCount();

    TConnectionPool() = default;
    ~TConnectionPool();
    TConnectionPool(const TConnectionPool&) = delete;
    TConnectionPool& operator=(const TConnectionPool&) = delete;

private:
    struct TIdle {
        TConnectionKey key;
        st_mysql* conn;
        Clock::time_point since;
    };
    void StartWorker();  // with mu_ held
    void WorkerLoop();
    // Resets a connection given back; true when it can be used again.
    bool Reset(const TIdle& c);
    size_t CountDirty(const TConnectionKey& key) const;  // with mu_ held
    // Keeps a reset connection; returns the one to close (or nullptr).
    st_mysql* KeepIdle(TIdle c);  // with mu_ held
    void ForgetAfterFork();
    static void AtForkPrepare();
    static void AtForkParent();
    static void AtForkChild();

    std::mutex mu_;
    std::condition_variable wake_;     // work for the pool's thread
    std::condition_variable settled_;  // nothing left to reset
    std::deque<TIdle> idle_;   // reset, oldest first
    std::deque<TIdle> dirty_;  // given back, not reset yet, oldest first
    size_t resetting_ = 0;     // taken from dirty_ by the pool's thread
    std::atomic<uint64_t> resets_{0};
    std::vector<std::thread> workers_;
    bool stopping_ = false;
    bool closed_ = false;
};

// Opens a new connection for the key and applies the session settings;
// nullptr with `error` set when the connection fails, the connection with
// `error` set when only the settings fail.
st_mysql* OpenDatabaseConnection(const TConnectionKey& key, std::string& error);
// Runs a text of one or more statements, reading every result; false with
// `error` set on the first failing statement.
bool RunSessionText(st_mysql* conn, const std::string& text, std::string& error);
