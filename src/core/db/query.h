// A query on a TDMBase connection: SQL text with named ":NAME" parameters,
// typed parameter values, and the rows of its result read through the
// dataset interface (core/dataset.h).
//
// Parameters: every ":NAME" outside quoted strings, back-quoted names and
// comments is a parameter; a name may appear several times and then shares
// one value. Names compare without regard to letter case. Values are sent as
// SQL literals built from their type (numbers in the C locale with ".", texts
// and date-times quoted and escaped under the connection's code page 1251,
// NULL for a null or unset value); a value never becomes SQL text unescaped.
//
// Results: Open stores every row of the first result set of the statement;
// the rows are then read with First/Next/Eof and the fields by name or index.
// Field types come from the result's column metadata: integer columns as
// ftSmallint/ftInteger/ftLargeint, DECIMAL as ftBCD holding an exact
// Currency (ftFMTBcd as a double when it has more than four decimals),
// FLOAT/DOUBLE as ftFloat, DATE/TIME/DATETIME/TIMESTAMP as
// ftDate/ftTime/ftDateTime (date variants), BIT as an integer (ftInteger, or
// ftLargeint above 31 bits), CHAR/VARCHAR as ftFixedChar/ftString, TEXT as
// ftMemo, binary columns as ftBytes/ftVarBytes/ftBlob (raw bytes in a string).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

class TDMBase;

// One named parameter of a query.
class TParameter {
public:
    explicit TParameter(std::string name) : Name(std::move(name)) {}
    std::string Name;
    // ftUnknown or ftVariant: the literal follows the value's own type.
    TFieldType DataType = TFieldType::ftUnknown;
    // Empty (never set) and Null both bind NULL.
    Variant Value;
};

// The parameters of a query, in order of their first appearance in the text.
class TParameters {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    TParameter& operator[](int i);
    const TParameter& operator[](int i) const;
    // nullptr when the statement has no parameter of that name.
    TParameter* FindParam(const std::string& name);
    const TParameter* FindParam(const std::string& name) const;
    // Raises EDatabaseError "Parameter '<name>' not found" for a name the
    // statement lacks.
    TParameter& ParamByName(const std::string& name);
    // Adds a parameter unless one of that name exists; returns its index.
    int Add(const std::string& name);
    void Clear() { items_.clear(); }

private:
    std::vector<std::unique_ptr<TParameter>> items_;
};

// A parsed statement: literal text pieces and parameter references.
struct TSqlPiece {
    std::string text;   // literal text (when param < 0)
    int param = -1;     // index into the parameter list
};
// Splits SQL text at its ":NAME" parameters (see above); the names are added
// to `params` in order of first appearance. Exposed for tests and for code
// that needs to know a text's parameter names.
std::vector<TSqlPiece> ParseSqlParameters(const std::string& sql, TParameters& params);

// The field class of query results: the value lives in the query's rows.
class TQueryField : public TField {
public:
    TQueryField(TDataSet* ds, std::string name, TFieldType type, int size)
        : TField(ds, std::move(name), type, size) {}
};

struct TRawResultSet;

class TQuery : public TDataSet {
public:
    // Queries are made by TDMBase::CreateQuery/OpenQuery.
    explicit TQuery(TDMBase* dm);
    ~TQuery() override;

    // The SQL text. Setting it closes the query and rebuilds the parameter
    // list from the text (values of parameters that keep their name are kept).
    const std::string& SQL() const { return sql_; }
    void SetSQL(const std::string& sql);

    TParameters& Parameters() { return params_; }
    const TParameters& Parameters() const { return params_; }
    TParameter& ParamByName(const std::string& name) { return params_.ParamByName(name); }
    TParameter* FindParam(const std::string& name) { return params_.FindParam(name); }

    // The statement as it is sent, with every parameter replaced by its
    // literal. Raises when the query's connection is gone.
    std::string ExpandedSQL() const;

    // Runs the statement and stores the rows of its first result set; the
    // cursor is on the first row. Raises EDatabaseError on every database error
    // (the query then stays closed).
    void Open();
    void Close();
    // Runs the statement and discards any result; returns the number of rows
    // the statement changed (summed over every statement of the text).
    int64_t ExecSQL();
    // Rows changed by the last ExecSQL.
    int64_t RowsAffected() const { return rowsAffected_; }

    // TDataSet.
    bool Active() const override { return active_; }
    void First() override;
    void Next() override;
    void Prior() override;
    void Last() override;
    bool Eof() const override { return eof_; }
    bool Bof() const override { return bof_; }
    int RecordCount() const override;
    int RecNo() const override;
    Variant GetFieldValue(const TField& field) const override;
    const char* ClassName() const override { return "TQuery"; }

    TDMBase* DataModule() const { return dm_; }

private:
    friend class TDMBase;
    void Detach() { dm_ = nullptr; }
    // Takes a result set read by the data module: the query is then open on
    // its first row.
    void Fill(TRawResultSet&& set);
    TDMBase& Connection() const;

    TDMBase* dm_;
    std::string sql_;
    TParameters params_;
    std::vector<TSqlPiece> pieces_;
    bool active_ = false;
    bool eof_ = true;
    bool bof_ = true;
    int cur_ = -1;
    int64_t rowsAffected_ = 0;
    std::vector<std::vector<Variant>> rows_;
};
