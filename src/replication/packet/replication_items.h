// Application of one extracted packet archive to the central tables, on the
// run of the archive installer, inside the archive's transaction.
//
// Initial data (archive 1 without replication items): every table listed in
// REPL_TABLES_<id> that has packets in the archive is loaded into its staging
// copy <table>_<id>, and the pharmacy's rows of the central table are replaced
// by the copy's rows. Regular data (an archive with items): the packets are
// loaded into the staging copies, the item list REPL_ITEMS_<id> is pruned of
// duplicates, and each item inserts, updates or deletes one row of the central
// table (keyed by ID and PHARM_ID), in item order, with a second sweep for the
// items that failed in the first.
//
// Statements that change a table's structure commit the open transaction
// (the database does so); a new one begins right after each, so the loads of
// an archive may be committed before its items are applied, while the item
// sweeps, the recorded archive number and the commit stay one transaction.
// A retry reloads everything, so an archive that failed half-way is applied
// again from the start with the same result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "replication/packet/staging_import.h"

class TReplicationItems {
public:
    using TLogFn = std::function<void(const std::string&)>;

    // Files: the archive's packet file list (bare names in ExtractFolder).
    TReplicationItems(TDMBase& dm, std::string extractFolder, int32_t pharmID, TLogFn log)
        : dm_(dm), import_(dm), folder_(std::move(extractFolder)), pharmID_(pharmID), log_(std::move(log)) {}

    void SetInitialData();
    void SetRegularData();

    // Loads every listed table's packets into its staging copy; in initial
    // mode also replaces the pharmacy's rows of the central table.
    void ImportTables(bool initial);
    // Keeps, of all items with the same table, key and operation, the one
    // with the smallest ID; then drops every update of a table and key that
    // also has an insert.
    void RemoveDuplicateItems();
    // The two sweeps over the items.
    void ApplyReplicationItems();

    // "a, b, c, 5 as PHARM_ID" (names back-quoted) for the columns of a
    // staging row's query and pharmacy 5.
    static std::string BuildSelectFieldList(const TDataSet& row, int32_t pharmID);
    // "`a` = :a, `b` = :b" for every column but the key and PHARM_ID.
    static std::string BuildUpdateSetList(const TDataSet& row, const std::string& keyField);

    // Pause after every item (1 ms).
    static constexpr int kItemPauseMs = 1;

    // The names of the tables in REPL_TABLES_<id>, in the order the database
    // returns its rows.
    std::vector<std::string> ReplicatedTables();

private:
    void ApplyItem(const std::string& table, int32_t op, const std::string& key);

    TDMBase& dm_;
    TStagingImport import_;
    std::string folder_;
    int32_t pharmID_;
    TLogFn log_;
};

// The plain files (no links, no folders) of Folder that match the Windows
// mask, in the order of the folder listing.
std::vector<std::string> GetPacketFileList(const std::string& folder, const std::string& mask);
