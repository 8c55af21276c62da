#include "core/db/dm_base.h"

#include <mysql.h>

#include <charconv>
#include <cstring>

#include "core/cp1251.h"
#include "core/date_text.h"
#include "core/db/dm_unit.h"
#include "core/db/connection_pool.h"
#include "core/env/env.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"

namespace {


// --- result conversion -------------------------------------------------------

unsigned MaxBytesPerChar(unsigned charsetnr) {
    if (charsetnr == 63) return 1;
    const MARIADB_CHARSET_INFO* cs = mariadb_get_charset_by_nr(charsetnr);
    return cs && cs->char_maxlen > 0 ? cs->char_maxlen : 1;
}

TFieldType MapFieldType(const MYSQL_FIELD& f, int& size, int& precision) {
    const bool isUnsigned = (f.flags & UNSIGNED_FLAG) != 0;
    const bool isBinary = f.charsetnr == 63;
    size = 0;
    precision = 0;
    switch (f.type) {
        case MYSQL_TYPE_TINY:
            return TFieldType::ftSmallint;
        case MYSQL_TYPE_SHORT:
            return isUnsigned ? TFieldType::ftWord : TFieldType::ftSmallint;
        case MYSQL_TYPE_YEAR:
            return TFieldType::ftSmallint;
        case MYSQL_TYPE_INT24:
            return TFieldType::ftInteger;
        case MYSQL_TYPE_LONG:
            return isUnsigned ? TFieldType::ftLargeint : TFieldType::ftInteger;
        case MYSQL_TYPE_LONGLONG:
            return TFieldType::ftLargeint;
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE:
            return TFieldType::ftFloat;
        case MYSQL_TYPE_DECIMAL:
        case MYSQL_TYPE_NEWDECIMAL: {
            size = static_cast<int>(f.decimals);
            int digits = static_cast<int>(f.length);
            if (f.decimals > 0) --digits;  // the decimal point
            if (!isUnsigned) --digits;     // the sign
            precision = digits > 0 ? digits : 1;
            return f.decimals <= 4 ? TFieldType::ftBCD : TFieldType::ftFMTBcd;
        }
        case MYSQL_TYPE_DATE:
        case MYSQL_TYPE_NEWDATE:
            return TFieldType::ftDate;
        case MYSQL_TYPE_TIME:
            return TFieldType::ftTime;
        case MYSQL_TYPE_DATETIME:
        case MYSQL_TYPE_TIMESTAMP:
            return TFieldType::ftDateTime;
        case MYSQL_TYPE_BIT:
            return f.length > 31 ? TFieldType::ftLargeint : TFieldType::ftInteger;
        case MYSQL_TYPE_STRING:
            size = static_cast<int>(f.length / MaxBytesPerChar(f.charsetnr));
            if (f.flags & (ENUM_FLAG | SET_FLAG)) return TFieldType::ftString;
            return isBinary ? TFieldType::ftBytes : TFieldType::ftFixedChar;
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_ENUM:
        case MYSQL_TYPE_SET:
            size = static_cast<int>(f.length / MaxBytesPerChar(f.charsetnr));
            return isBinary ? TFieldType::ftVarBytes : TFieldType::ftString;
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_BLOB:
            return isBinary ? TFieldType::ftBlob : TFieldType::ftMemo;
        case MYSQL_TYPE_JSON:
            return TFieldType::ftMemo;
        case MYSQL_TYPE_GEOMETRY:
            return TFieldType::ftBlob;
        case MYSQL_TYPE_NULL:
        default:
            return TFieldType::ftString;
    }
}

template <typename T>
bool ParseNumber(const char* p, size_t len, T& out) {
    auto r = std::from_chars(p, p + len, out);
    return r.ec == std::errc() && r.ptr == p + len;
}

// A column's date or time text as a date variant; null when it is no valid
// value (a zero date among them).
Variant SqlDateValue(bool time, const std::string& s) {
    TDateTime dt = 0;
    bool ok = time ? ParseSqlTimeText(s, dt) : ParseSqlDateTimeText(s, dt);
    return ok ? Variant::FromDate(dt) : Variant::Null();
}

// The number that the whole text spells, or the text itself when it spells
// none of that type.
template <typename T>
Variant NumberOrText(const char* p, size_t len, const std::string& text) {
    T v{};
    return ParseNumber(p, len, v) ? Variant(v) : Variant(text);
}

// The bytes of a BIT column as a number, most significant byte first.
uint64_t BitValue(const char* p, unsigned long len) {
    uint64_t bits = 0;
    for (unsigned long i = 0; i < len; ++i) bits = (bits << 8) | static_cast<unsigned char>(p[i]);
    return bits;
}

Variant ConvertValue(const MYSQL_FIELD& f, TFieldType type, const char* p, unsigned long len) {
    if (!p) return Variant::Null();
    const std::string text(p, len);
    switch (type) {
        case TFieldType::ftSmallint: case TFieldType::ftWord: case TFieldType::ftInteger:
            if (f.type == MYSQL_TYPE_BIT) return Variant(static_cast<int32_t>(BitValue(p, len)));
            return NumberOrText<int32_t>(p, len, text);
        case TFieldType::ftLargeint: {
            if (f.type == MYSQL_TYPE_BIT) return Variant(static_cast<int64_t>(BitValue(p, len)));
            int64_t v = 0;
            if (ParseNumber(p, len, v)) return Variant(v);
            return NumberOrText<uint64_t>(p, len, text);
        }
        case TFieldType::ftFloat: case TFieldType::ftFMTBcd:
            return NumberOrText<double>(p, len, text);
        case TFieldType::ftBCD:
            try {
                return Variant(Currency::FromString(text));
            } catch (const Exception&) {
                return NumberOrText<double>(p, len, text);
            }
        case TFieldType::ftDate: case TFieldType::ftDateTime:
            return SqlDateValue(false, text);
        case TFieldType::ftTime:
            return SqlDateValue(true, text);
        default:
            return Variant(text);
    }
}

bool ValidProcName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '$' || c == '.'))
            return false;
    return true;
}

// Assertions of the data module name its unit.
const char kAssertUnit[] = "DMBaseUnit.pas";

}  // namespace

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------

TDMBase::TDMBase() : TDMBase(TEnv::Default()) {}

TDMBase::TDMBase(TEnv& env) : env_(&env) {
    std::shared_ptr<const TOptions> options = env.Options();
    VT_ASSERT_IN(kAssertUnit, options != nullptr, "Options not assigned!");
    dataBaseName_ = options->DataBaseName;
    poolKey_ = std::make_unique<TConnectionKey>(
        TConnectionKey{options->ServerName, env.DatabasePort(), options->UserName, options->Password, dataBaseName_});
    conn_ = env.Connections().Acquire(*poolKey_, lastError_);
    // A connection whose session settings failed is never given back as it is.
    sessionUse_ = std::make_unique<TSessionUse>(conn_ && lastError_.empty());
}

TDMBase::~TDMBase() {
    for (TQuery* q : queries_) q->Detach();
    queries_.clear();
    // A connection the server dropped under a statement is closed here: it
    // may still be marked as having results to come, which it never will,
    // and is of no use to the next user anyway.
    if (conn_ && lost_) mysql_close(conn_);
    else if (conn_) env_->Connections().Release(*poolKey_, conn_, !inTransaction_ && sessionUse_->Clean(conn_));
    conn_ = nullptr;
}

void TDMBase::NoteLostConnection() const {
    const unsigned e = conn_ ? mysql_errno(conn_) : 0;
    if (e == 2006 /* server gone */ || e == 2013 /* connection lost */) lost_ = true;
}

bool TDMBase::Connected() const { return conn_ != nullptr; }

void TDMBase::EnsureConnected() const {
    if (!conn_)
        throw EDatabaseError(lastError_.empty() ? std::string("Not connected to the database") : lastError_);
}

void TDMBase::RaiseError(const std::string& context) const {
    NoteLostConnection();
    std::string msg = conn_ ? mysql_error(conn_) : std::string();
    if (msg.empty()) msg = context;
    throw EDatabaseError(msg);
}

unsigned TDMBase::LastErrorNumber() const { return conn_ ? mysql_errno(conn_) : 2006; }

std::string TDMBase::QuoteString(const std::string& text) const {
    std::string out;
    if (conn_) {
        std::string buf(text.size() * 2 + 1, '\0');
        unsigned long n = mysql_real_escape_string(conn_, buf.data(), text.data(),
                                                   static_cast<unsigned long>(text.size()));
        buf.resize(n);
        out.reserve(n + 2);
        out += '\'';
        out += buf;
        out += '\'';
        return out;
    }
    // Not connected: the same escaping the connector applies to a
    // single-byte character set.
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        switch (c) {
            case '\0': out += "\\0"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            case '\'': out += "\\'"; break;
            case '"': out += "\\\""; break;
            case '\032': out += "\\Z"; break;
            default: out += c;
        }
    }
    out += '\'';
    return out;
}

std::string TDMBase::QuoteIdentifier(const std::string& name) {
    std::string out = "`";
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    out += '`';
    return out;
}

// ---------------------------------------------------------------------------
// Statement execution
// ---------------------------------------------------------------------------

void TDMBase::Run(const std::string& text, RawResult* result) {
    EnsureConnected();
    sessionUse_->Sending(text);
    if (mysql_real_query(conn_, text.data(), static_cast<unsigned long>(text.size())) != 0)
        RaiseError("Query failed");

    // Reads the remaining results so that the connection stays in step; the
    // first error among them is returned.
    auto drain = [this]() -> std::string {
        std::string err;
        while (mysql_more_results(conn_)) {
            int st = mysql_next_result(conn_);
            if (st > 0) {
                NoteLostConnection();
                if (err.empty()) err = mysql_error(conn_);
                break;
            }
            if (st < 0) break;
            if (MYSQL_RES* res = mysql_store_result(conn_)) mysql_free_result(res);
        }
        return err;
    };

    for (;;) {
        MYSQL_RES* res = mysql_store_result(conn_);
        if (res) {
            try {
                if (result && result->wantRows && (result->wantAll || result->sets.empty())) {
                    RawSet& set = result->sets.emplace_back();
                    const unsigned int nf = mysql_num_fields(res);
                    MYSQL_FIELD* fields = mysql_fetch_fields(res);
                    std::vector<TFieldType> types(nf);
                    set.columns.resize(nf);
                    for (unsigned int i = 0; i < nf; ++i) {
                        RawColumn& c = set.columns[i];
                        c.name.assign(fields[i].name, fields[i].name_length);
                        c.type = MapFieldType(fields[i], c.size, c.precision);
                        types[i] = c.type;
                    }
                    set.rows.reserve(static_cast<size_t>(mysql_num_rows(res)));
                    while (MYSQL_ROW row = mysql_fetch_row(res)) {
                        unsigned long* lengths = mysql_fetch_lengths(res);
                        std::vector<Variant> values;
                        values.reserve(nf);
                        for (unsigned int i = 0; i < nf; ++i)
                            values.push_back(ConvertValue(fields[i], types[i], row[i], lengths[i]));
                        set.rows.push_back(std::move(values));
                    }
                }
            } catch (...) {
                mysql_free_result(res);
                drain();
                throw;
            }
            mysql_free_result(res);
        } else if (mysql_field_count(conn_) != 0) {
            NoteLostConnection();
            std::string err = mysql_error(conn_);
            drain();
            throw EDatabaseError(err.empty() ? "Cannot read the result" : err);
        } else if (result) {
            my_ulonglong n = mysql_affected_rows(conn_);
            if (n != static_cast<my_ulonglong>(-1)) result->affected += static_cast<int64_t>(n);
        }
        sessionUse_->ResultRead(conn_);
        int st = mysql_next_result(conn_);
        if (st > 0) RaiseError("Query failed");
        if (st < 0) break;
    }
    sessionUse_->Finished();
}

std::unique_ptr<TQuery> TDMBase::CreateQuery(const std::string& sql) {
    auto q = std::make_unique<TQuery>(this);
    q->SetSQL(sql);
    return q;
}

std::unique_ptr<TQuery> TDMBase::CreateQueryFmt(const std::string& fmt, const std::vector<Variant>& args) {
    return CreateQuery(Format(fmt, args));
}

std::unique_ptr<TQuery> TDMBase::OpenQuery(const std::string& sql) {
    auto q = CreateQuery(sql);
    q->Open();
    return q;
}

std::unique_ptr<TQuery> TDMBase::OpenQueryFmt(const std::string& fmt, const std::vector<Variant>& args) {
    return OpenQuery(Format(fmt, args));
}

std::vector<std::unique_ptr<TQuery>> TDMBase::OpenQueries(const std::vector<std::string>& statements) {
    // Each statement's own text, joined by the separator it lacks.
    std::string text;
    for (const std::string& st : statements) {
        text += st;
        const size_t last = st.find_last_not_of(" \t\r\n");
        if (last == std::string::npos || st[last] != ';') text += ';';
    }
    EnsureConnected();
    RawResult r;
    r.wantRows = true;
    r.wantAll = true;
    Run(text, &r);
    std::vector<std::unique_ptr<TQuery>> out;
    for (RawSet& set : r.sets) {
        out.push_back(std::make_unique<TQuery>(this));
        out.back()->Fill(std::move(set));
    }
    return out;
}

Variant TDMBase::GetScalar(const std::string& sql) {
    auto q = OpenQuery(sql);
    if (q->Eof() || q->FieldCount() == 0) return Variant::Null();
    return q->Fields(0).AsVariant();
}

bool TDMBase::ExecSQL(const std::string& sql) {
    RawResult r;
    Run(sql, &r);
    return true;
}

bool TDMBase::ExecSQLFmt(const std::string& fmt, const std::vector<Variant>& args) {
    return ExecSQL(Format(fmt, args));
}

// ---------------------------------------------------------------------------
// Table information
// ---------------------------------------------------------------------------

void TDMBase::GetNonAutoIncColumns(const std::string& table, std::vector<std::string>& list) {
    // Values are quoted and escaped for the connection. The rows are ordered
    // by column position explicitly: the staging merge inserts into tables
    // without naming their columns, so the list must be in the table's own
    // order, which the server does not promise without ORDER BY.
    auto q = OpenQuery(Format(
        "  SELECT C.column_name FROM information_schema.`COLUMNS` C \r\n"
        "WHERE C.TABLE_SCHEMA = %s AND C.TABLE_NAME = %s AND NOT C.EXTRA LIKE %s "
        "ORDER BY C.ORDINAL_POSITION;",
        {QuoteString(dataBaseName_), QuoteString(table), QuoteString("%auto_increment%")}));
    list.clear();
    for (q->First(); !q->Eof(); q->Next()) list.push_back(q->Fields(0).AsString());
}

std::string TDMBase::GetColumnList(const std::string& table, bool withColons) {
    std::vector<std::string> names;
    GetNonAutoIncColumns(table, names);
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (withColons) out += ':';
        out += names[i];
        if (i + 1 < names.size()) out += ',';
    }
    return out;
}

int64_t TDMBase::GetRowCount(const std::string& table) {
    // The name may come from outside (packets): quoted as an identifier.
    auto q = OpenQuery("select count(*) total_count from " + QuoteIdentifier(table));
    return q->FieldByName("total_count").AsLargeInt();
}

int32_t TDMBase::GetLastInsertID() {
    return GetScalar("SELECT last_insert_id() as last_id;").AsInteger();
}

// ---------------------------------------------------------------------------
// Transactions
// ---------------------------------------------------------------------------

namespace {

// The statements that begin a transaction of the level, as one text.
std::string StartTransactionText(TIsolationLevel level) {
    const char* iso = nullptr;
    switch (level) {
        case TIsolationLevel::ilReadUncommitted: case TIsolationLevel::ilBrowse:
            iso = "READ UNCOMMITTED"; break;
        case TIsolationLevel::ilReadCommitted: case TIsolationLevel::ilCursorStability:
            iso = "READ COMMITTED"; break;
        case TIsolationLevel::ilRepeatableRead:
            iso = "REPEATABLE READ"; break;
        case TIsolationLevel::ilSerializable: case TIsolationLevel::ilIsolated:
            iso = "SERIALIZABLE"; break;
        default:
            break;
    }
    return iso ? std::string("SET TRANSACTION ISOLATION LEVEL ") + iso + ";START TRANSACTION" : "START TRANSACTION";
}

}  // namespace

int TDMBase::StartTransaction(TIsolationLevel level) {
    if (unit_) return unit_->FoldStart();
    EnsureConnected();
    if (inTransaction_) CommitTransaction();
    // One text, one round trip to the server.
    ExecSQL(StartTransactionText(level));
    inTransaction_ = true;
    return 1;
}

std::unique_ptr<TQuery> TDMBase::StartTransactionAndOpen(TIsolationLevel level, const std::string& sql) {
    if (unit_ || inTransaction_) {
        StartTransaction(level);
        return OpenQuery(sql);
    }
    EnsureConnected();
    // The transaction is open once the text reached the server, even when
    // the query fails: a rollback then ends it.
    inTransaction_ = true;
    auto q = OpenQueries({StartTransactionText(level), sql});
    if (q.size() != 1) throw EDatabaseError("The statement returned no result set");
    return std::move(q.front());
}

void TDMBase::CommitTransaction() {
    if (unit_) return unit_->FoldCommit();
    if (!inTransaction_) return;
    inTransaction_ = false;
    ExecSQL("COMMIT");
}

void TDMBase::RollbackTransaction() {
    if (unit_) return unit_->RollBackAndGoOn();
    if (!inTransaction_) return;
    inTransaction_ = false;
    ExecSQL("ROLLBACK");
}

void TDMBase::RollbackTransactionQuietly() noexcept {
    try {
        RollbackTransaction();
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

void TDMBase::SetParam(TQuery& query, const std::string& name, TFieldType type, const Variant& value) {
    TParameter& p = query.ParamByName(name);
    p.DataType = type;
    p.Value = value;
}

void TDMBase::SetParams(TQuery& query, const std::vector<std::string>& names,
                        const std::vector<TFieldType>& types, const std::vector<Variant>& values) {
    VT_ASSERT_IN(kAssertUnit, names.size() == types.size() && names.size() == values.size(), "Assertion failure");
    for (size_t i = 0; i < names.size(); ++i) SetParam(query, names[i], types[i], values[i]);
}

void TDMBase::SetDateTimeParam(TQuery& query, const std::string& name, TDateTime value) {
    SetParam(query, name, TFieldType::ftString, Variant(DateTimeToSqlText(value)));
}

// ---------------------------------------------------------------------------
// Existence tests
// ---------------------------------------------------------------------------

bool TDMBase::RecordExists(const std::string& sql) {
    auto q = OpenQuery(sql);
    return !q->Eof();
}

bool TDMBase::RecordExistsFmt(const std::string& fmt, const std::vector<Variant>& args) {
    return RecordExists(Format(fmt, args));
}

bool TDMBase::StoredProcExists(const std::string& procName) {
    return RecordExists("select name from mysql.proc where (upper(name) = " +
                        QuoteString(UpperCase1251(procName)) + ")");
}

bool TDMBase::ProducerExists(int32_t id) {
    return RecordExists("SELECT ID FROM PRODUCER WHERE ID = " + std::to_string(id));
}

bool TDMBase::ShelfExists(int32_t id) {
    return RecordExists("SELECT ID FROM SHELF WHERE (ID = " + std::to_string(id) + ") AND (PHARM_ID = 0);");
}

// ---------------------------------------------------------------------------
// Stored procedures
// ---------------------------------------------------------------------------

void TDMBase::CallStoredProcedure(const std::string& procName, const std::vector<std::string>& names,
                                  const std::vector<Variant>& values, Variant& results,
                                  bool ignoreErrors) {
    if (!ValidProcName(procName)) throw EDatabaseError("Invalid stored procedure name '" + procName + "'");

    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        list += ":" + names[i] + ",";
        if (i + 1 < names.size()) list += "\r\n";
    }
    if (!list.empty()) list.pop_back();
    auto q = CreateQuery(Format("call %s(%s)", {procName, list}));
    env_->Log(ClassName(), q->SQL());

    for (size_t i = 0; i < names.size(); ++i) {
        TParameter& p = q->ParamByName(names[i]);
        // A value missing for a name fails here, after the text and the
        // parameters before it have been logged.
        if (i >= values.size()) throw ERangeError("Range check error");
        const Variant& v = values[i];
        const std::string& n = names[i];
        env_->Log(ClassName(), n + " = " + "ftVariant");
        p.DataType = TFieldType::ftVariant;
        TFieldType t = TFieldType::ftVariant;
        switch (v.Type()) {
            case VarType::String: t = TFieldType::ftString; break;
            case VarType::ShortInt: t = TFieldType::ftSmallint; break;
            case VarType::Integer: t = TFieldType::ftInteger; break;
            case VarType::Int64: t = TFieldType::ftLargeint; break;
            case VarType::Currency: t = TFieldType::ftCurrency; break;
            case VarType::Double: {
                std::string up = UpperCase1251(n);
                t = up.find("DATE") != std::string::npos || up.find("TIME") != std::string::npos
                        ? TFieldType::ftDateTime
                        : TFieldType::ftFloat;
                break;
            }
            default: break;
        }
        if (t != TFieldType::ftVariant) {
            p.DataType = t;
            env_->Log(ClassName(), n + " = " + FieldTypeName(t));
        }
        p.Value = v;
    }

    env_->Log(ClassName(), "BEFORE OPEN qryCallStoredProcedure");
    try {
        q->Open();
    } catch (const std::exception&) {
        if (!ignoreErrors) throw;
    }
    env_->Log(ClassName(), "AFTER OPEN qryCallStoredProcedure");

    if (names.empty()) {
        results = Variant::Null();
        return;
    }
    env_->Log(ClassName(), "BEFORE FIELDBYNAME");
    Variant out = Variant::CreateArray(names.size());
    for (size_t i = 0; i < names.size(); ++i) out[i] = q->FieldByName(names[i]).AsVariant();
    results = out;
    env_->Log(ClassName(), "AFTER FIELDBYNAME");
}

int64_t TDMBase::NextIDValue(int32_t generatorID) {
    Variant results;
    CallStoredProcedure("sp_NextIDValue", {"AGENERATOR_ID", "AID_VALUE"},
                        {Variant(generatorID), Variant(static_cast<int64_t>(0))}, results, false);
    return VarToInt64Def(results[1], 0);
}
