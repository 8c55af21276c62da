#include "replication/packet/replication_items.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/format.h"
#include "replication/packet/packet_names.h"

std::vector<std::string> GetPacketFileList(const std::string& folder, const std::string& mask) {
    std::vector<std::string> out;
    std::string dir = AddTrailingBackslash(folder);
    for (const std::string& name : GetFileList(dir, mask)) {
        struct stat st;
        if (::lstat((dir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(name);
    }
    return out;
}

void TReplicationItems::SetInitialData() {
    log_("Set Initial Data");
    ImportTables(true);
}

void TReplicationItems::SetRegularData() {
    log_("Set Regular Data");
    ImportTables(false);
    RemoveDuplicateItems();
    ApplyReplicationItems();
}

std::vector<std::string> TReplicationItems::ReplicatedTables() {
    std::vector<std::string> tables;
    auto q = dm_.OpenQuery(Format("select * from %s", {QuoteIdent(Format("%s_%d", {"REPL_TABLES", pharmID_}))}));
    for (q->First(); !q->Eof(); q->Next()) tables.push_back(q->FieldByName("table_name").AsString());
    return tables;
}

void TReplicationItems::ImportTables(bool initial) {
    try {
        std::vector<std::string> tables = ReplicatedTables();
        // Every name is checked before the first statement of the loads.
        for (std::string& t : tables)
            if (!Trim(t).empty()) t = CheckIdentifier(t, "table");
        for (const std::string& t : tables) {
            std::string tid = Format("%s_%d", {t, pharmID_});
            std::vector<std::string> files = t.empty() ? std::vector<std::string>()
                                                       : GetPacketFileList(folder_, t + "[*].xml");
            log_("Importing " + t);
            if (!files.empty()) {
                if (initial) {
                    log_("Dropping table " + tid);
                    import_.DropTable(tid);
                }
                std::string first = AddTrailingBackslash(folder_) + files.front();
                log_("Check table existence " + t);
                import_.CreateOrUpdateTable(first, t);
                log_("Check table existence " + tid);
                import_.CreateOrUpdateTable(first, tid);
                if (!initial) dm_.ExecSQL("delete from " + QuoteIdent(tid));
                log_("InsertXMLDataIntoTable " + tid);
                import_.ImportDataFiles(folder_, files, tid, 0);
            }
            if (initial) {
                log_("PharmTableDataToGlobalData... " + t);
                import_.MergeSplitTable(t, pharmID_, false);
            }
        }
    } catch (const std::exception& e) {
        log_(Cp(u8"Грешка: ") + e.what());
        throw;
    }
}

void TReplicationItems::RemoveDuplicateItems() {
    static const char* const kStatements[] = {
        "CREATE TEMPORARY TABLE TempTable (ID int) ENGINE=MEMORY; ",
        "INSERT INTO TempTable (\r\nselect `ID` FROM `repl_items_%0:d` \r\n  where `ID` NOT IN ( \r\n"
        "  SELECT MIN(ri1.`ID`) FROM `repl_items_%0:d` ri1 \r\n  GROUP BY ri1.`TABLE_ID`, ri1.`KEY_VALUE`, "
        "ri1.`OP`) \r\n); ",
        "delete FROM repl_items_%0:d where `ID` IN (select `ID` from TempTable); ",
        "DROP TEMPORARY TABLE TempTable; ",
        "CREATE TEMPORARY TABLE TempTable (ID int) ENGINE=MEMORY; ",
        "INSERT INTO TempTable (SELECT ri1.`ID` FROM `repl_items_%0:d` ri1 \r\nWHERE (ri1.`OP` = 2) AND \r\n"
        "EXISTS (SELECT ri2.`ID` FROM `repl_items_%0:d` ri2 \r\n     WHERE ri2.`TABLE_ID` = ri1.`TABLE_ID` \r\n"
        "      AND ri2.`KEY_VALUE` = ri1.`KEY_VALUE` \r\n      AND ri2.`OP` = 1)); ",
        "delete FROM repl_items_%0:d where `ID` IN (select `ID` from TempTable); ",
        "DROP TEMPORARY TABLE TempTable; ",
    };
    for (const char* s : kStatements) dm_.ExecSQLFmt(s, {pharmID_});
}

std::string TReplicationItems::BuildSelectFieldList(const TDataSet& row, int32_t pharmID) {
    std::string out;
    for (int i = 0; i < row.FieldCount(); ++i) {
        if (i) out += ", ";
        out += QuoteIdent(row.Fields(i).FieldName());
    }
    if (row.FieldCount() > 0) out += ", ";
    return out + std::to_string(pharmID) + " as " + QuoteIdent("PHARM_ID");
}

std::string TReplicationItems::BuildUpdateSetList(const TDataSet& row, const std::string& keyField) {
    std::string out;
    for (int i = 0; i < row.FieldCount(); ++i) {
        const std::string& name = row.Fields(i).FieldName();
        if (SameText1251(name, keyField) || SameText1251(name, "PHARM_ID")) continue;
        if (!out.empty()) out += ", ";
        out += QuoteIdent(name) + " = :" + name;
    }
    return out;
}

void TReplicationItems::ApplyItem(const std::string& rawTable, int32_t op, const std::string& key) {
    std::string table = CheckIdentifier(rawTable, "table");
    std::string staging = QuoteIdent(Format("%s_%d", {table, pharmID_}));
    std::unique_ptr<TQuery> row;
    if (op != 3)
        row = dm_.OpenQuery(Format("select * from %s where %s = %s;", {staging, QuoteIdent("ID"), key}));
    if (op == 1) {
        if (dm_.RecordExists(Format("select id from %s where (pharm_id=%d) and (%s=%s)",
                                    {QuoteIdent(table), pharmID_, QuoteIdent("ID"), key})))
            return;
        // The target columns are named: the staging copy's columns, then PHARM_ID.
        std::string target;
        for (int i = 0; i < row->FieldCount(); ++i) target += QuoteIdent(row->Fields(i).FieldName()) + ", ";
        target += QuoteIdent("PHARM_ID");
        dm_.ExecSQL(Format("insert into %s (%s) (%s);",
                           {QuoteIdent(table), target,
                            Format("select %s from %s where %s = %s",
                                   {BuildSelectFieldList(*row, pharmID_), staging, QuoteIdent("ID"), key})}));
    } else if (op == 2) {
        std::string where = Format("(%0:s = :%1:s)", {QuoteIdent("ID"), "ID"}) +
                            Format(" AND (%0:s = :%1:s)", {QuoteIdent("PHARM_ID"), "PHARM_ID"});
        auto q = dm_.CreateQuery(Format("update %s set %s where %s;",
                                        {QuoteIdent(table), BuildUpdateSetList(*row, "ID"), where}));
        bool has = !row->Eof();
        for (int i = 0; i < row->FieldCount(); ++i) {
            const TField& f = row->Fields(i);
            TParameter* p = q->FindParam(f.FieldName());
            if (!p) continue;
            Variant v = has ? f.AsVariant() : Variant::Null();
            if (v.IsNull()) {
                dm_.SetParam(*q, f.FieldName(), f.DataType(), Variant::Null());
            } else if (f.DataType() == TFieldType::ftDateTime) {
                dm_.SetParam(*q, f.FieldName(), TFieldType::ftString, Variant(DateTimeToSqlText(v.AsDateTime())));
            } else {
                dm_.SetParam(*q, f.FieldName(), f.DataType(), v);
            }
        }
        dm_.SetParam(*q, "PHARM_ID", TFieldType::ftInteger, Variant(pharmID_));
        q->ExecSQL();
    } else if (op == 3) {
        dm_.ExecSQL(Format("delete from %s where %s;",
                           {QuoteIdent(table), Format("(%s = %s) and (%s = %d)",
                                                      {QuoteIdent("ID"), key, QuoteIdent("PHARM_ID"), pharmID_})}));
    }
}

void TReplicationItems::ApplyReplicationItems() {
    std::string items = Format("%s_%d", {"REPL_ITEMS", pharmID_});
    import_.ExecDDL(Format("alter table %s add isValid BIT default 0;", {QuoteIdent(items)}));
    for (int sweep = 0; sweep <= 1; ++sweep) {
        auto q = dm_.OpenQueryFmt(
            "SELECT \r\n  RI.*, \r\n  RT.`TABLE_NAME` \r\nFROM `repl_items_%0:d` RI \r\n"
            "LEFT OUTER JOIN `repl_tables_%0:d` RT ON (RT.`ID` = RI.`TABLE_ID`) \r\nWHERE RI.isValid = %1:d \r\n"
            "ORDER BY RI.ID ",
            {pharmID_, sweep});
        TField& fTable = q->FieldByName("TABLE_NAME");
        TField& fOp = q->FieldByName("OP");
        TField& fKey = q->FieldByName("KEY_VALUE");
        TField& fTableID = q->FieldByName("TABLE_ID");
        TField& fID = q->FieldByName("ID");
        for (q->First(); !q->Eof(); q->Next()) {
            try {
                std::string table = fTable.AsString().substr(0, 255);
                if (!table.empty()) {
                    int32_t op = fOp.AsInteger();
                    ApplyItem(table, op, fKey.AsString());
                }
            } catch (const std::exception& e) {
                if (sweep == 0) {
                    dm_.ExecSQLFmt("update %s set isValid = 1 where id = %d;", {items, fID.AsInteger()});
                } else {
                    log_(Format(Cp(u8"Грешка при актуализиране: \r\nНомер на ред %d#%d: %s"),
                                {fKey.AsInteger(), fTableID.AsInteger(), std::string(e.what())}));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kItemPauseMs));
        }
    }
}
