#include "replication/packet/staging_import.h"

#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/format.h"
#include "core/log.h"
#include "core/text.h"
#include "replication/packet/packet_names.h"

namespace {

bool IsDateTimeField(TFieldType t) {
    return t == TFieldType::ftDate || t == TFieldType::ftTime || t == TFieldType::ftDateTime;
}

// numeric(m,d) when it is a pair the database takes, else DECIMAL(19,4).
std::string NumericType(int digits, int decimals) {
    if (digits >= 1 && digits <= 65 && decimals >= 0 && decimals <= 38 && decimals <= digits)
        return Format("numeric(%d,%d)", {digits, decimals});
    return "DECIMAL(19,4)";
}

// A packet value's text as a log line shows it: on one line, and cut when
// it is long (a damaged blob can be megabytes).
std::string ValueLogText(const std::string& text) {
    constexpr size_t kMax = 100;
    std::string out = text.substr(0, kMax);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    return text.size() > kMax ? out + "..." : out;
}

}  // namespace

void TStagingImport::ExecDDL(const std::string& sql) {
    bool inTransaction = dm_.InTransaction();
    try {
        dm_.ExecSQL(sql);
    } catch (...) {
        if (inTransaction) dm_.StartTransaction(TIsolationLevel::ilReadCommitted);
        throw;
    }
    if (inTransaction) dm_.StartTransaction(TIsolationLevel::ilReadCommitted);
}

bool TStagingImport::TableExists(const std::string& table) {
    return dm_.RecordExists(
        "select table_name from `information_schema`.`tables` where table_schema = database() and table_name = " +
        dm_.QuoteString(table));
}

bool TStagingImport::TableHasPharmID(const std::string& table) {
    return dm_.RecordExists(
        "select column_name from `information_schema`.`columns` where table_schema = database() and "
        "table_name = " + dm_.QuoteString(table) + " and upper(column_name) = 'PHARM_ID'");
}

void TStagingImport::DropTable(const std::string& table) {
    ExecDDL("DROP TABLE IF EXISTS " + QuoteIdent(table) + ";");
}

std::string TStagingImport::FieldToSQLType(const TPacketFieldDef& f) {
    switch (f.DataType) {
        case TFieldType::ftString: case TFieldType::ftWideString:
            return "varchar(" + std::to_string(f.Size) + ")";
        case TFieldType::ftSmallint: return "smallint";
        case TFieldType::ftInteger: case TFieldType::ftWord: return "int";
        case TFieldType::ftLargeint: return "BIGINT";
        case TFieldType::ftBoolean: return "bit";
        case TFieldType::ftFloat: return "double precision";
        case TFieldType::ftCurrency: return NumericType(f.Size, f.Precision);
        case TFieldType::ftBCD: return NumericType(f.Precision, f.Size);
        case TFieldType::ftDate: case TFieldType::ftTime: case TFieldType::ftDateTime: return "datetime";
        case TFieldType::ftBlob: case TFieldType::ftGraphic: return "LONGBLOB";
        case TFieldType::ftMemo: case TFieldType::ftFmtMemo: return "text";
        case TFieldType::ftFixedChar: return "char(" + std::to_string(f.Size) + ")";
        default: return "unsupported field type";
    }
}

std::string TStagingImport::BuildCreateTableSQL(const std::vector<TPacketFieldDef>& fields,
                                                const std::string& table) {
    const std::string crlf = "\r\n";
    bool split = IsSplitTableName(table);
    std::string sql = "CREATE TABLE " + QuoteIdent(table) + "(" + crlf;
    bool hasID = false;
    for (const TPacketFieldDef& f : fields) {
        sql += ' ';
        sql += QuoteIdent(Trim(f.Name));
        sql += ' ';
        sql += FieldToSQLType(f);
        sql += ',';
        sql += crlf;
        if (SameText1251(Trim(f.Name), "ID")) hasID = true;
    }
    if (!split) {
        sql += ' ';
        sql += QuoteIdent("PHARM_ID");
        sql += " int,";
        sql += crlf;
    }
    if (hasID) {
        sql += split ? "PRIMARY KEY (`ID`))" : "PRIMARY KEY (`ID`, `PHARM_ID`))";
    } else {
        sql.resize(sql.size() - 3);
        sql += ")";
    }
    // Replicated tables and their staging copies take part in the archive's
    // transaction.
    return sql + " ENGINE=InnoDB DEFAULT CHARSET=cp1251";
}

std::vector<std::string> TStagingImport::ColumnNames(const std::string& table) {
    std::vector<std::string> names;
    auto q = dm_.OpenQuery("select * from `information_schema`.`columns` where table_schema = " +
                           dm_.QuoteString(dm_.DataBaseName()) + " and table_name = " + dm_.QuoteString(table) +
                           " order by ORDINAL_POSITION;");
    for (q->First(); !q->Eof(); q->Next()) names.push_back(Trim(q->FieldByName("COLUMN_NAME").AsString()));
    return names;
}

std::vector<std::string> TStagingImport::CreateOrUpdateTable(const std::string& file, const std::string& table) {
    std::vector<TPacketFieldDef> fields = TXmlDataPacket::ReadFieldDefs(file);
    std::vector<std::string> ran;

    bool listed = TableExists(table);
    Log(dm_.ClassName(), "\"Show tables\" Table " + table + (listed ? " exists" : " not exists"));
    std::vector<std::string> columns = ColumnNames(table);
    bool present = listed && !columns.empty();

    if (!present) {
        std::string sql = BuildCreateTableSQL(fields, table);
        ExecDDL(sql);
        ran.push_back(sql);
        return ran;
    }
    for (const TPacketFieldDef& f : fields) {
        std::string name = Trim(f.Name);
        bool found = false;
        for (const std::string& c : columns)
            if (SameText1251(c, name)) { found = true; break; }
        if (found) continue;
        std::string sql = "ALTER TABLE " + QuoteIdent(table) + " ADD " + QuoteIdent(name) + " " + FieldToSQLType(f) + ";";
        ran.push_back(sql);
        try {
            ExecDDL(sql);
        } catch (const Exception& e) {
            // The column stays missing; the import names it and fails there.
        }
    }
    return ran;
}

bool TStagingImport::TableIsTransactional(const std::string& table) {
    Variant engine = dm_.GetScalar(
        "select engine from `information_schema`.`tables` where table_schema = database() and table_name = " +
        dm_.QuoteString(table));
    return SameText1251(VarToStr(engine), "InnoDB");
}

namespace {

// Errors after which the server has already rolled back more than the
// failing statement (or the connection is gone): the rows of the batch
// cannot be tried again one by one.
bool EndsTheTransaction(unsigned int error) {
    return error == 1205 /* lock wait timeout */ || error == 1213 /* deadlock */ ||
           error == 2006 /* server gone */ || error == 2013 /* connection lost */;
}

}  // namespace

void TStagingImport::ImportDataFiles(const std::string& dir, std::vector<std::string> files,
                                     const std::string& table, int32_t pharmID) {
    bool hasPharmID = TableHasPharmID(table);
    // Several rows go in one statement where a failing statement leaves no
    // row behind (a transactional table): a failing batch is then sent again
    // row by row, so that the rows before the failing one stay and the error
    // names its row, as when every row is sent alone.
    bool batched = TableIsTransactional(table);
    SortByBracketNumber(files);
    bool parcel = table.find("PARCEL") != std::string::npos;
    for (const std::string& file : files) {
        TXmlDataPacket packet;
        // A value that cannot be read goes in as null, so that one bad value
        // does not hold back the pharmacy's archives; each is logged so that
        // it can be found and mended at the pharmacy.
        packet.SetOnUnreadableValue([&](const TUnreadableValue& u) {
            Log(dm_.ClassName(), Format("File %s row %d field %s: value '%s' cannot be read, imported as null",
                                        {file, static_cast<int32_t>(u.Row), u.Field, ValueLogText(u.Text)}));
        });
        packet.LoadFromFile(AddTrailingBackslash(dir) + file);
        const auto& defs = packet.FieldDefs();

        if (parcel) {
            if (TField* expiry = packet.FindField("EXPIRY_DATE")) {
                size_t col = static_cast<size_t>(expiry->Index());
                for (size_t r = 0; r < packet.RowCount(); ++r) {
                    const Variant& v = packet.Value(r, col);
                    if (!v.IsNull() && v.AsDouble() < 0) packet.SetValue(r, col, Variant::FromDate(0));
                }
            }
        }

        std::vector<std::string> names;
        for (const auto& d : defs) names.push_back(Trim(d.Name));
        std::string columns = QuoteIdentList(names);
        std::string params;
        for (size_t i = 0; i < names.size(); ++i) params += (i ? ", :" : ":") + names[i];
        if (hasPharmID) {
            columns += (names.empty() ? "" : ", ") + QuoteIdent("PHARM_ID");
            params += names.empty() ? ":PHARM_ID" : ", :PHARM_ID";
        }
        const std::string head = Format("insert into %s (%s) values ", {QuoteIdent(table), columns});
        auto q = dm_.CreateQuery(head + "(" + params + ");");
        // The values of one row, as the statement above writes them.
        auto tuple = dm_.CreateQuery("(" + params + ")");

        // Binds the row's values to the parameters of a query.
        auto bind = [&](TQuery& query, size_t r) {
            for (size_t i = 0; i < defs.size(); ++i) {
                const Variant& v = packet.Value(r, i);
                TFieldType t = defs[i].DataType;
                if (v.IsNull()) {
                    dm_.SetParam(query, names[i], t, Variant::Null());
                } else if (IsDateTimeField(t)) {
                    dm_.SetParam(query, names[i], TFieldType::ftString, Variant(DateTimeToSqlText(v.AsDateTime())));
                } else if (t == TFieldType::ftBCD || t == TFieldType::ftFMTBcd) {
                    // The exact decimal text; the column converts it.
                    dm_.SetParam(query, names[i], TFieldType::ftString, v);
                } else {
                    dm_.SetParam(query, names[i], t, v);
                }
            }
            if (hasPharmID) dm_.SetParam(query, "PHARM_ID", TFieldType::ftInteger, Variant(pharmID));
        };
        auto rowFailed = [&](size_t r, const Exception& e) {
            return EDatabaseError(Cp(u8"Файл:") + file + Cp(u8" Ред: ") + std::to_string(r) + " " + e.Message());
        };
        // One row, one statement.
        auto insertRow = [&](size_t r) {
            try {
                bind(*q, r);
                q->ExecSQL();
            } catch (const Exception& e) {
                throw rowFailed(r, e);
            }
        };

        const size_t rows = packet.RowCount();
        if (!batched) {
            for (size_t r = 0; r < rows; ++r) insertRow(r);
            continue;
        }
        std::string sql;
        for (size_t first = 0; first < rows;) {
            sql = head;
            size_t end = first;
            try {
                while (end < rows && end - first < kImportBatchRows && sql.size() < kImportBatchBytes) {
                    if (end > first) sql += ',';
                    bind(*tuple, end);
                    sql += tuple->ExpandedSQL();
                    ++end;
                }
            } catch (const Exception&) {
                // A value that cannot be written: the rows before it go in
                // one by one, then that row fails as it would alone.
                for (size_t r = first; r <= end; ++r) insertRow(r);
                first = end + 1;
                continue;
            }
            sql += ';';
            try {
                dm_.ExecSQL(sql);
            } catch (const Exception& e) {
                unsigned int error = dm_.LastErrorNumber();
                if (EndsTheTransaction(error)) throw rowFailed(first, e);
                for (size_t r = first; r < end; ++r) insertRow(r);
            }
            first = end;
        }
    }
}

void TStagingImport::MergeSplitTable(const std::string& table, int32_t pharmID, bool skip) {
    lastMerge_.clear();
    if (skip) return;
    if (!TableExists(table)) return;
    std::string staging = Format("%s_%d", {table, pharmID});
    std::vector<std::string> columns;
    dm_.GetNonAutoIncColumns(staging, columns);
    // No staging copy (or one without columns): nothing to merge, and no
    // error. So an initial archive that lists a table it carries no packets
    // for, and of which no earlier archive left a copy, still installs; the
    // pharmacy's rows of that table stay as they are.
    if (columns.empty()) return;
    if (!TableHasPharmID(table))
        throw EPacketError("Table " + table + " has no PHARM_ID column; its rows are not replaced by an archive");
    int64_t count = dm_.GetRowCount(staging);  // quotes the name itself

    auto run = [this](const std::string& sql) {
        lastMerge_.push_back(sql);
        dm_.ExecSQL(sql);
    };
    run(Format("delete from %s where %s = %d", {QuoteIdent(table), QuoteIdent("PHARM_ID"), pharmID}));

    std::string target = QuoteIdentList(columns) + ", " + QuoteIdent("PHARM_ID");
    std::string select = QuoteIdentList(columns) + Format(", %d as %s", {pharmID, QuoteIdent("PHARM_ID")});
    std::string head = "insert into " + QuoteIdent(table) + " (" + target + ") (select " + select + " from " +
                       QuoteIdent(staging);
    if (count <= kMergeChunkRows) {
        run(head + ")");
        return;
    }
    // Ordered chunks, so that every row is taken exactly once.
    std::string order;
    for (const std::string& c : columns)
        if (SameText1251(c, "ID")) order = QuoteIdent(c);
    if (order.empty()) order = QuoteIdentList(columns);
    for (int64_t offset = 0; offset <= count; offset += kMergeChunkRows)
        run(head + " order by " + order + Format(" limit %d,%d)", {offset, kMergeChunkRows}));
}
