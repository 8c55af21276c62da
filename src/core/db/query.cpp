#include "core/db/query.h"

#include <charconv>
#include <cmath>

#include "core/cp1251.h"
#include "core/date_text.h"
#include "core/db/dm_base.h"
#include "core/exceptions.h"

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

TParameter& TParameters::operator[](int i) {
    if (i < 0 || i >= Count()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
    return *items_[static_cast<size_t>(i)];
}

const TParameter& TParameters::operator[](int i) const {
    if (i < 0 || i >= Count()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
    return *items_[static_cast<size_t>(i)];
}

TParameter* TParameters::FindParam(const std::string& name) {
    for (auto& p : items_)
        if (SameText1251(p->Name, name)) return p.get();
    return nullptr;
}

const TParameter* TParameters::FindParam(const std::string& name) const {
    for (const auto& p : items_)
        if (SameText1251(p->Name, name)) return p.get();
    return nullptr;
}

TParameter& TParameters::ParamByName(const std::string& name) {
    TParameter* p = FindParam(name);
    if (!p) throw EDatabaseError("Parameter '" + name + "' not found");
    return *p;
}

int TParameters::Add(const std::string& name) {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameText1251(items_[i]->Name, name)) return static_cast<int>(i);
    items_.push_back(std::make_unique<TParameter>(name));
    return Count() - 1;
}

namespace {

bool IsNameStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

}  // namespace

std::vector<TSqlPiece> ParseSqlParameters(const std::string& sql, TParameters& params) {
    std::vector<TSqlPiece> pieces;
    std::string lit;
    const size_t n = sql.size();
    size_t i = 0;
    auto copyTo = [&](size_t end) {  // copies sql[i, end) to the literal
        lit.append(sql, i, end - i);
        i = end;
    };
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // Quoted string: a doubled quote or a backslash escape stays inside.
            size_t j = i + 1;
            while (j < n) {
                if (sql[j] == '\\' && j + 1 < n) { j += 2; continue; }
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) { j += 2; continue; }
                    ++j;
                    break;
                }
                ++j;
            }
            copyTo(std::min(j, n));
        } else if (c == '`') {
            size_t j = i + 1;
            while (j < n) {
                if (sql[j] == '`') {
                    if (j + 1 < n && sql[j + 1] == '`') { j += 2; continue; }
                    ++j;
                    break;
                }
                ++j;
            }
            copyTo(std::min(j, n));
        } else if (c == '#' ||
                   (c == '-' && i + 1 < n && sql[i + 1] == '-' &&
                    (i + 2 >= n || static_cast<unsigned char>(sql[i + 2]) <= ' '))) {
            size_t j = sql.find('\n', i);
            copyTo(j == std::string::npos ? n : j);
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            size_t j = sql.find("*/", i + 2);
            copyTo(j == std::string::npos ? n : j + 2);
        } else if (c == ':' && i + 1 < n && IsNameStart(static_cast<unsigned char>(sql[i + 1]))) {
            size_t j = i + 1;
            while (j < n && IsNameChar(static_cast<unsigned char>(sql[j]))) ++j;
            if (!lit.empty()) pieces.push_back({std::move(lit), -1});
            lit.clear();
            pieces.push_back({std::string(), params.Add(sql.substr(i + 1, j - i - 1))});
            i = j;
        } else {
            lit += c;
            ++i;
        }
    }
    if (!lit.empty()) pieces.push_back({std::move(lit), -1});
    return pieces;
}

// ---------------------------------------------------------------------------
// Literals
// ---------------------------------------------------------------------------

namespace {

std::string FloatLiteral(double d) {
    if (!std::isfinite(d)) throw EDatabaseError("Invalid floating point parameter value");
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

bool IsStringType(TFieldType t) {
    switch (t) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString:
        case TFieldType::ftMemo: case TFieldType::ftFmtMemo: case TFieldType::ftGuid:
        case TFieldType::ftOraClob:
            return true;
        default:
            return false;
    }
}

bool IsBinaryType(TFieldType t) {
    switch (t) {
        case TFieldType::ftBytes: case TFieldType::ftVarBytes: case TFieldType::ftBlob:
        case TFieldType::ftGraphic: case TFieldType::ftTypedBinary: case TFieldType::ftOraBlob:
        case TFieldType::ftParadoxOle: case TFieldType::ftDBaseOle:
            return true;
        default:
            return false;
    }
}

// Literal of a value by its own variant type.
std::string VariantLiteral(const TDMBase& dm, const Variant& v) {
    switch (v.Type()) {
        case VarType::Boolean: return v.AsBoolean() ? "1" : "0";
        case VarType::ShortInt: case VarType::SmallInt: case VarType::Integer: case VarType::Int64:
        case VarType::Byte: case VarType::Word: case VarType::LongWord:
            return std::to_string(v.AsInt64());
        case VarType::UInt64: return v.AsString();
        case VarType::Single: case VarType::Double: return FloatLiteral(v.AsDouble());
        case VarType::Currency: return v.AsCurrency().ToString();
        case VarType::Date: return dm.QuoteString(DateTimeToSqlText(v.AsDateTime()));
        case VarType::String: case VarType::WideString: return dm.QuoteString(v.AsString());
        default:
            throw EDatabaseError(std::string("Unsupported parameter value of type ") + VarTypeName(v.Type()));
    }
}

std::string ParamLiteral(const TDMBase& dm, const TParameter& p) {
    const Variant& v = p.Value;
    if (v.IsEmptyOrNull()) return "NULL";
    const TFieldType t = p.DataType;
    if (IsStringType(t)) {
        if (v.Type() == VarType::Date) return dm.QuoteString(DateTimeToSqlText(v.AsDateTime()));
        return dm.QuoteString(v.AsString());
    }
    if (IsBinaryType(t)) return "_binary" + dm.QuoteString(v.AsString());
    switch (t) {
        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
        case TFieldType::ftAutoInc:
            return std::to_string(v.AsInteger());
        case TFieldType::ftLargeint:
            return std::to_string(v.AsInt64());
        case TFieldType::ftBoolean:
            return v.AsBoolean() ? "1" : "0";
        case TFieldType::ftFloat:
            return FloatLiteral(v.AsDouble());
        case TFieldType::ftCurrency: case TFieldType::ftBCD:
            return v.AsCurrency().ToString();
        case TFieldType::ftFMTBcd:
            if (v.Type() == VarType::Double || v.Type() == VarType::Single) return FloatLiteral(v.AsDouble());
            return v.AsCurrency().ToString();
        case TFieldType::ftDate: case TFieldType::ftTime: case TFieldType::ftDateTime:
        case TFieldType::ftTimeStamp: {
            if (v.IsStringType()) return dm.QuoteString(v.AsString());
            const TDateTime dt = v.AsDateTime();
            if (t == TFieldType::ftDate) return dm.QuoteString(DateToSqlText(dt));
            if (t == TFieldType::ftTime) return dm.QuoteString(TimeToSqlText(dt));
            return dm.QuoteString(DateTimeToSqlText(dt));
        }
        default:
            return VariantLiteral(dm, v);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// TQuery
// ---------------------------------------------------------------------------

TQuery::TQuery(TDMBase* dm) : dm_(dm) {
    if (dm_) dm_->Register(this);
}

TQuery::~TQuery() {
    if (dm_) dm_->Unregister(this);
}

TDMBase& TQuery::Connection() const {
    if (!dm_) throw EDatabaseError("The query's data module has been freed");
    return *dm_;
}

void TQuery::SetSQL(const std::string& sql) {
    Close();
    TParameters fresh;
    std::vector<TSqlPiece> pieces = ParseSqlParameters(sql, fresh);
    for (int i = 0; i < fresh.Count(); ++i) {
        if (const TParameter* old = params_.FindParam(fresh[i].Name)) {
            fresh[i].DataType = old->DataType;
            fresh[i].Value = old->Value;
        }
    }
    sql_ = sql;
    params_ = std::move(fresh);
    pieces_ = std::move(pieces);
}

std::string TQuery::ExpandedSQL() const {
    const TDMBase& dm = Connection();
    std::string out;
    out.reserve(sql_.size() + 16 * static_cast<size_t>(params_.Count()));
    for (const TSqlPiece& piece : pieces_) {
        if (piece.param < 0) out += piece.text;
        else out += ParamLiteral(dm, params_[piece.param]);
    }
    return out;
}

void TQuery::Open() {
    Close();
    TDMBase& dm = Connection();
    dm.EnsureConnected();
    TDMBase::RawResult r;
    r.wantRows = true;
    dm.Run(ExpandedSQL(), &r);
    if (r.sets.empty()) throw EDatabaseError("The statement returned no result set");
    Fill(std::move(r.sets.front()));
}

void TQuery::Fill(TRawResultSet&& set) {
    Close();
    for (size_t i = 0; i < set.columns.size(); ++i) {
        const auto& c = set.columns[i];
        auto f = std::make_unique<TQueryField>(this, c.name, c.type, c.size);
        f->SetPrecision(c.precision);
        f->SetFieldNo(static_cast<int>(i) + 1);
        AddField(std::move(f));
    }
    rows_ = std::move(set.rows);
    active_ = true;
    First();
}

void TQuery::Close() {
    active_ = false;
    rows_.clear();
    ClearFields();
    cur_ = -1;
    eof_ = bof_ = true;
}

int64_t TQuery::ExecSQL() {
    TDMBase& dm = Connection();
    dm.EnsureConnected();
    TDMBase::RawResult r;
    dm.Run(ExpandedSQL(), &r);
    rowsAffected_ = r.affected;
    return rowsAffected_;
}

namespace {
[[noreturn]] void ClosedDataSet() {
    throw EDatabaseError("Cannot perform this operation on a closed dataset");
}
}  // namespace

void TQuery::First() {
    if (!active_) ClosedDataSet();
    cur_ = rows_.empty() ? -1 : 0;
    bof_ = true;
    eof_ = rows_.empty();
}

void TQuery::Next() {
    if (!active_) ClosedDataSet();
    if (rows_.empty()) { eof_ = true; return; }
    if (cur_ + 1 < static_cast<int>(rows_.size())) {
        ++cur_;
        bof_ = false;
    } else {
        eof_ = true;
    }
}

void TQuery::Prior() {
    if (!active_) ClosedDataSet();
    if (rows_.empty()) { bof_ = true; return; }
    if (cur_ > 0) {
        --cur_;
        eof_ = false;
    } else {
        bof_ = true;
    }
}

void TQuery::Last() {
    if (!active_) ClosedDataSet();
    cur_ = static_cast<int>(rows_.size()) - 1;
    eof_ = true;
    bof_ = rows_.empty();
}

int TQuery::RecordCount() const { return static_cast<int>(rows_.size()); }

int TQuery::RecNo() const { return active_ && cur_ >= 0 ? cur_ + 1 : 0; }

Variant TQuery::GetFieldValue(const TField& field) const {
    if (!active_ || cur_ < 0 || cur_ >= static_cast<int>(rows_.size())) return Variant::Null();
    const auto& row = rows_[static_cast<size_t>(cur_)];
    const size_t idx = static_cast<size_t>(field.Index());
    return idx < row.size() ? row[idx] : Variant::Null();
}
