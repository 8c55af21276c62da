// The table work of the packet installer on a data module: make a table fit
// a packet's field definitions, map packet field types to column types,
// import packet files row by row, drop tables, test for a table or its
// PHARM_ID column, and merge a pharmacy's staging copy into the shared
// table.
//
// Shared table: one table for all pharmacies, their rows told apart by
// PHARM_ID. Staging copy: the shared table's name + "_" + the pharmacy number
// (ARTICLE_12), one pharmacy's rows, no PHARM_ID column.
//
// Every table and column name is back-quoted in the statements, every text
// literal escaped; names that come from packets are checked by the installer
// before they get here. Nothing here starts, commits or rolls back a
// transaction of its own; but a statement that changes a table's structure
// commits the open transaction implicitly (the database does so), and the
// operations then begin a new one at once, so that what follows stays
// transactional.
#pragma once

#include <string>
#include <vector>

#include "core/db/dm_base.h"
#include "replication/packet/xml_data_packet.h"

class TStagingImport {
public:
    explicit TStagingImport(TDMBase& dm) : dm_(dm) {}

    // Whether the table exists in the connection's database (any letter case).
    bool TableExists(const std::string& table);
    // Whether the table has a column PHARM_ID (any letter case).
    bool TableHasPharmID(const std::string& table);
    // "DROP TABLE IF EXISTS `<table>`;".
    void DropTable(const std::string& table);

    // Column type of a packet field: "varchar(n)", "smallint", "int",
    // "BIGINT", "bit", "double precision", "numeric(m,d)" (DECIMAL(19,4) when
    // the field's size and precision make no valid pair), "datetime",
    // "LONGBLOB", "text", "char(n)", or "unsupported field type".
    static std::string FieldToSQLType(const TPacketFieldDef& field);
    // The statement that creates Table for the fields: one line per field,
    // PHARM_ID unless Table is a split name, the primary key on ID (and
    // PHARM_ID) when there is a field ID.
    static std::string BuildCreateTableSQL(const std::vector<TPacketFieldDef>& fields, const std::string& table);

    // Creates Table from the field definitions of the packet File, or adds
    // the columns it lacks (an ALTER that fails is passed over). Existing
    // columns are never changed or dropped. Returns the statements it ran.
    std::vector<std::string> CreateOrUpdateTable(const std::string& file, const std::string& table);

    // Inserts every row of the packet files (names relative to Dir, taken in
    // the order of their bracket numbers) into Table, up to kImportBatchRows
    // rows (and about kImportBatchBytes of text) per statement when Table is
    // transactional, else one statement per row;
    // when Table has PHARM_ID, that column gets PharmID. A packet value that
    // cannot be read is imported as null, with a log line naming file, row,
    // field and the value's text. In a table whose name
    // contains "PARCEL" an EXPIRY_DATE below 0 is imported as 0. A failing row
    // raises EDatabaseError "Файл:<file> Ред: <row> <message>" (row counted
    // from 0 in each file); rows already inserted stay.
    void ImportDataFiles(const std::string& dir, std::vector<std::string> files, const std::string& table,
                         int32_t pharmID);

    // Unless Skip: replaces the pharmacy's rows of the shared Table by the
    // rows of its staging copy Table_PharmID, naming the target columns, in
    // ordered chunks of 5000 rows when the copy holds more. Nothing happens
    // when Table or the copy is missing. A shared table without PHARM_ID is
    // never emptied: the merge raises EPacketError instead.
    void MergeSplitTable(const std::string& table, int32_t pharmID, bool skip);

    // Whether a failing statement on Table leaves no row behind (InnoDB).
    bool TableIsTransactional(const std::string& table);

    // Rows per statement of the import, and the text size after which no
    // further row is added (far below the statement size the server takes).
    static constexpr size_t kImportBatchRows = 1000;
    static constexpr size_t kImportBatchBytes = 512 * 1024;
    // Rows per chunk of the merge.
    static constexpr int kMergeChunkRows = 5000;
    // The statements the last merge ran (for tests and diagnostics).
    const std::vector<std::string>& LastMergeStatements() const { return lastMerge_; }

    // Runs a statement that changes a table's structure; when a transaction
    // was open, begins a new one afterwards (the statement committed it).
    void ExecDDL(const std::string& sql);

private:
    std::vector<std::string> ColumnNames(const std::string& table);

    TDMBase& dm_;
    std::vector<std::string> lastMerge_;
};
