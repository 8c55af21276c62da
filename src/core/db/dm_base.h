// The database data module: one connection to the central MariaDB database
// per instance, with the query, execute, transaction, identity and
// stored-procedure helpers every service uses.
//
// A TDMBase belongs to one operation on one thread: create it, use it, free
// it. Its connection comes from the pool of open connections of its
// environment (core/db/connection_pool.h) in the state of a fresh one, and
// goes back to it when the data module is freed. Construction never fails
// because of the database: a failed connection leaves Connected() false and
// LastError() holding the connector's message, and the first operation then
// raises. Every operation raises EDatabaseError on a database error.
//
// The connection: host ServerName, port 3306, account UserName/Password and
// default database DataBaseName of the options in force in the data
// module's environment; code page 1251 ("SET NAMES CP1251;", "SET CHARACTER
// SET CP1251;"); session sql_mode NO_ENGINE_SUBSTITUTION, so over-long texts
// are cut and empty texts in numeric columns read as 0 rather than failing
// the statement. Several statements separated by ";" may be sent in one
// ExecSQL text.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/datetime.h"
#include "core/db/query.h"
#include "core/variant.h"

struct st_mysql;
class TDMUnit;
class TEnv;
struct TConnectionKey;
class TSessionUse;

// One result set as the server sent it (read by TDMBase, kept by TQuery).
struct TRawColumn {
    std::string name;
    TFieldType type = TFieldType::ftUnknown;
    int size = 0;
    int precision = 0;
};
struct TRawResultSet {
    std::vector<TRawColumn> columns;
    std::vector<std::vector<Variant>> rows;
};

// Transaction isolation levels (named as the callers name them).
enum class TIsolationLevel {
    ilUnspecified, ilChaos, ilReadUncommitted, ilBrowse, ilCursorStability, ilReadCommitted,
    ilRepeatableRead, ilSerializable, ilIsolated
};

class TDMBase {
public:
    // Connects with the options snapshot in force in the default environment.
    TDMBase();
    // Connects with the options in force in Env, which its users reach
    // through Env() for the options, files, clock and log.
    explicit TDMBase(TEnv& env);
    virtual ~TDMBase();
    TDMBase(const TDMBase&) = delete;
    TDMBase& operator=(const TDMBase&) = delete;

    // Message of the error met while connecting; empty after a clean connect.
    const std::string& LastError() const { return lastError_; }
    // Whether the connection is open.
    bool Connected() const;
    // The connection's default database (DataBaseName).
    const std::string& DataBaseName() const { return dataBaseName_; }
    virtual const char* ClassName() const { return "TDMBase"; }
    // The environment this data module was made in.
    TEnv& Env() const { return *env_; }

    // --- queries -----------------------------------------------------------
    // A new query on this connection with its text set, not opened; the
    // caller owns it. A query must not outlive its data module (after the data
    // module is freed, using the query raises).
    std::unique_ptr<TQuery> CreateQuery(const std::string& sql);
    std::unique_ptr<TQuery> CreateQueryFmt(const std::string& fmt, const std::vector<Variant>& args);
    // CreateQuery, then Open; an error while opening passes on.
    std::unique_ptr<TQuery> OpenQuery(const std::string& sql);
    // Sends the statements as one text, in one round trip to the server, and
    // returns an open query for each statement that returns rows, in their
    // order. Each statement sees what the ones before it did; the first
    // failing statement raises and the ones after it are not run.
    std::vector<std::unique_ptr<TQuery>> OpenQueries(const std::vector<std::string>& statements);
    std::unique_ptr<TQuery> OpenQueryFmt(const std::string& fmt, const std::vector<Variant>& args);
    // Value of the first field of the first row; null when there is no row.
    Variant GetScalar(const std::string& sql);
    // Executes the text (one statement or several separated by ";") as it is,
    // without parameters, discarding every result; raises on the first
    // failing statement; returns true.
    bool ExecSQL(const std::string& sql);
    bool ExecSQLFmt(const std::string& fmt, const std::vector<Variant>& args);

    // --- table information -------------------------------------------------
    // Clears List and fills it with the table's columns that are not
    // auto-increment, in column order.
    void GetNonAutoIncColumns(const std::string& table, std::vector<std::string>& list);
    // Those names joined by "," (each preceded by ":" when withColons).
    std::string GetColumnList(const std::string& table, bool withColons);
    // "select count(*) total_count from <table>".
    int64_t GetRowCount(const std::string& table);
    // The connection's last inserted identity; raises EVariantError when it is null.
    int32_t GetLastInsertID();

    // --- transactions ------------------------------------------------------
    // Commits a transaction that is still open, sets the isolation level and
    // begins a new transaction; returns the nesting level (1).
    int StartTransaction(TIsolationLevel level);
    // StartTransaction(level), then OpenQuery(sql), in one round trip.
    std::unique_ptr<TQuery> StartTransactionAndOpen(TIsolationLevel level, const std::string& sql);
    // Commit / roll back when a transaction is open; otherwise nothing.
    void CommitTransaction();
    void RollbackTransaction();
    // RollbackTransaction for a failure path: a failing rollback (the
    // connection is gone, and the server discards the transaction with it)
    // is swallowed, so that the failure being handled is the one that
    // propagates.
    void RollbackTransactionQuietly() noexcept;
    // Whether this data module began a transaction that is still open.
    bool InTransaction() const { return inTransaction_; }
    // The unit open on this data module (dm_unit.h), or nullptr. While one is
    // open, the three operations above fold into it.
    TDMUnit* Unit() const { return unit_; }

    // --- parameters ----------------------------------------------------------
    // Sets the named parameter's type, then its value; an unknown name raises.
    void SetParam(TQuery& query, const std::string& name, TFieldType type, const Variant& value);
    // Asserts that the three lists have the same length (before setting any),
    // then SetParam for each index in order.
    void SetParams(TQuery& query, const std::vector<std::string>& names,
                   const std::vector<TFieldType>& types, const std::vector<Variant>& values);
    // Type string, value the text "yyyy-MM-dd hh:mm:ss".
    void SetDateTimeParam(TQuery& query, const std::string& name, TDateTime value);

    // --- existence tests ---------------------------------------------------
    // Whether the query returns at least one row.
    bool RecordExists(const std::string& sql);
    bool RecordExistsFmt(const std::string& fmt, const std::vector<Variant>& args);
    // A stored procedure of that name (any letter case) in any database of
    // the server (mysql.proc).
    bool StoredProcExists(const std::string& procName);
    bool ProducerExists(int32_t id);
    // A central shelf (PHARM_ID 0).
    bool ShelfExists(int32_t id);

    // --- stored procedures ---------------------------------------------------
    // Calls "call <ProcName>(:N1,<CR LF>:N2...)" with Values[i] bound to the
    // parameter Names[i] (typed by the value, see the log lines below) and
    // returns in Results an array of the first row's columns named Names[i]
    // (null when Names is empty). The call is logged step by step under
    // "TDMBase". With IgnoreErrors an error of the call itself is dropped (the
    // column reads then fail, unless Names is empty). Values must have at
    // least as many entries as Names (ERangeError otherwise).
    void CallStoredProcedure(const std::string& procName, const std::vector<std::string>& names,
                             const std::vector<Variant>& values, Variant& results,
                             bool ignoreErrors);
    // The next value of identity generator GeneratorID through
    // "sp_NextIDValue"; a null value gives 0.
    int64_t NextIDValue(int32_t generatorID);

    // --- helpers -------------------------------------------------------------
    // Text as a quoted SQL string literal, escaped for this connection
    // ('O''Brien' style quotes and backslashes handled). Use it when a
    // statement must be built as text; parameters do this by themselves.
    std::string QuoteString(const std::string& text) const;
    // A name as a back-quoted identifier (back-quotes inside doubled).
    static std::string QuoteIdentifier(const std::string& name);
    // The server's number of the last failure on this connection; 2006 (the
    // server has gone away) when there is no connection.
    unsigned LastErrorNumber() const;

private:
    friend class TQuery;
    friend class TDMUnit;
    // What Run collects from the results of one text.
    using RawColumn = TRawColumn;
    using RawSet = TRawResultSet;
    struct RawResult {
        bool wantRows = false;   // keep the first result set
        bool wantAll = false;    // with wantRows: keep every result set
        std::vector<RawSet> sets;
        int64_t affected = 0;    // summed over the statements without a result set
    };
    // Sends a text and collects its results. Every result is read, so the
    // connection stays usable; the first failing statement raises.
    void Run(const std::string& text, RawResult* result);
    void EnsureConnected() const;
    [[noreturn]] void RaiseError(const std::string& context) const;
    // Remembers that the last failure was the connection's loss.
    void NoteLostConnection() const;
    void Register(TQuery* q) { queries_.insert(q); }
    void Unregister(TQuery* q) { queries_.erase(q); }

    TEnv* env_;
    st_mysql* conn_ = nullptr;
    // The pool the connection came from and goes back to.
    std::unique_ptr<TConnectionKey> poolKey_;
    // Whether the connection can go back to the pool without a reset.
    std::unique_ptr<TSessionUse> sessionUse_;
    std::string lastError_;
    std::string dataBaseName_;
    bool inTransaction_ = false;
    mutable bool lost_ = false;  // the server dropped the connection under a statement
    TDMUnit* unit_ = nullptr;
    std::set<TQuery*> queries_;
};
