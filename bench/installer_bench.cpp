// Installation rates of the packet installer: an initial archive of 100,000
// rows over 5 tables and a regular archive of 10,000 replication items, each
// installed by the archive installer from a real RAR archive through the
// extractor, against the rate at which the same 100,000 rows load with one
// multi-row INSERT per 1,000 rows on the same database in the same run.
// Needs the private test database instance (scripts/db.sh start <folder>
// 3307, or $VT_TEST_DB_PORT) and the extractor built beside the server
// (build/bin/rar).
//
//     build/bench/installer_bench
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/app_paths.h"
#include "core/datetime.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "core/process.h"
#include "replication/packet/archive_installer.h"
#include "core/env/posix_env.h"
#include "replication/packet/replication_items.h"
#include "replication/packet/xml_data_packet.h"
#include "support/rar4_writer.h"
#include "support/temp_dir.h"
#include "support/test_db.h"
#include "support/xml_packet_writer.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTables = 5;
constexpr int kRowsPerTable = 20000;
constexpr int kItems = 10000;

std::vector<TPacketFieldDef> Fields() {
    return {{"ID", TFieldType::ftInteger},       {"NAME", TFieldType::ftString, 40},
            {"QTY", TFieldType::ftInteger},      {"PRICE", TFieldType::ftCurrency},
            {"CHANGED", TFieldType::ftDateTime}, {"NOTE", TFieldType::ftString, 60}};
}

std::vector<Variant> Row(int id, int version) {
    return {Variant(id), Variant("article " + std::to_string(id)), Variant(id % 97 + version),
            Variant(Currency::FromRaw(int64_t(id) * 1234 + version)),
            Variant::FromDate(EncodeDateTime(2009, 3, 5, 14, 7, id % 60)),
            Variant("note " + std::to_string(version))};
}

std::string Table(int t) { return "BENCH_T" + std::to_string(t); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string PacketBytes(const std::vector<std::vector<Variant>>& rows) { return WriteXmlDataPacket(Fields(), rows); }

std::string ReplTablesPacket() {
    std::vector<TPacketFieldDef> f{{"ID", TFieldType::ftInteger}, {"TABLE_NAME", TFieldType::ftString, 50},
                                   {"SORT_NO", TFieldType::ftInteger}, {"DEPENDENCE_NO", TFieldType::ftInteger}};
    std::vector<std::vector<Variant>> rows;
    for (int t = 1; t <= kTables; ++t) rows.push_back({Variant(t), Variant(Table(t)), Variant(t), Variant(0)});
    return WriteXmlDataPacket(f, rows);
}

}  // namespace

int main() {
    try {
        TestDatabase db;
        TempDir dir;
        db.EditOptions([&](TOptions& o) { o.RarFilesDir = dir.Path(); });
        DefaultPosixEnv().SetExtractor((fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string(),
                                       kExecDefaultTimeout);
        db.Exec("INSERT INTO pharmacy (id, name, inet_pass, last_archive_num) VALUES (5, 'Bench', 'x', 0)");
        std::string folder = dir.Path() + "/pharm5/";
        fs::create_directories(folder);

        // Initial archive: 5 tables of 20,000 rows, two packets each.
        std::vector<TRar4Entry> entries{TRar4Entry::File("REPL_TABLES[1].xml", ReplTablesPacket())};
        for (int t = 1; t <= kTables; ++t)
            for (int part = 0; part < 2; ++part) {
                std::vector<std::vector<Variant>> rows;
                for (int i = 1; i <= kRowsPerTable / 2; ++i) rows.push_back(Row(part * kRowsPerTable / 2 + i, 0));
                entries.push_back(TRar4Entry::File(Table(t) + "[" + std::to_string(part + 1) + "].xml", PacketBytes(rows)));
            }
        WriteRar4Archive(folder + "xml1.rar", entries);

        // Regular archive: 10,000 items spread over the tables: updates,
        // inserts of new keys and deletes.
        std::vector<TPacketFieldDef> itemFields{{"ID", TFieldType::ftInteger}, {"OP", TFieldType::ftInteger},
                                                {"TABLE_ID", TFieldType::ftInteger}, {"KEY_VALUE", TFieldType::ftInteger}};
        std::vector<std::vector<Variant>> items;
        std::vector<std::vector<std::vector<Variant>>> staged(kTables + 1);
        for (int i = 0; i < kItems; ++i) {
            int t = i % kTables + 1;
            int k = i / kTables;
            int op = k % 10 == 9 ? 3 : (k % 10 == 8 ? 1 : 2);
            int key = op == 1 ? kRowsPerTable + k + 1 : k * 7 % kRowsPerTable + 1;
            items.push_back({Variant(i + 1), Variant(op), Variant(t), Variant(key)});
            if (op != 3) staged[t].push_back(Row(key, 1));
        }
        std::vector<TRar4Entry> regular{TRar4Entry::File("REPL_ITEMS[1].xml", WriteXmlDataPacket(itemFields, items))};
        for (int t = 1; t <= kTables; ++t)
            regular.push_back(TRar4Entry::File(Table(t) + "[1].xml", PacketBytes(staged[t])));
        WriteRar4Archive(folder + "xml2.rar", regular);

        auto install = [](int n) {
            TArchiveInstallerNoThread inst;
            inst.FPharmID = 5;
            inst.FLastArchiveNumber = n;
            auto t0 = Clock::now();
            inst.Execute();
            return Seconds(Clock::now() - t0);
        };
        double initial = install(1);
        if (db.ScalarInt("SELECT last_archive_num FROM pharmacy WHERE id = 5") != 1) {
            std::fprintf(stderr, "initial archive not installed\n");
            return 1;
        }
        int64_t rows = 0;
        for (int t = 1; t <= kTables; ++t) rows += db.ScalarInt("SELECT COUNT(*) FROM " + Table(t) + " WHERE PHARM_ID = 5");

        double regularSecs = install(2);
        if (db.ScalarInt("SELECT last_archive_num FROM pharmacy WHERE id = 5") != 2) {
            std::fprintf(stderr, "regular archive not installed\n");
            return 1;
        }

        // The same rows with one multi-row INSERT per 1,000 rows.
        TDMBase& dm = db.Connection();
        auto t0 = Clock::now();
        for (int t = 1; t <= kTables; ++t) {
            std::string table = "BASE_T" + std::to_string(t);
            dm.ExecSQL("CREATE TABLE " + table + " (ID int, NAME varchar(40), QTY int, PRICE DECIMAL(19,4), "
                       "CHANGED datetime, NOTE varchar(60), PHARM_ID int, PRIMARY KEY (ID, PHARM_ID)) "
                       "ENGINE=InnoDB DEFAULT CHARSET=cp1251");
            for (int start = 1; start <= kRowsPerTable; start += 1000) {
                std::string sql = "INSERT INTO " + table + " VALUES ";
                for (int id = start; id < start + 1000; ++id) {
                    auto r = Row(id, 0);
                    if (id != start) sql += ",";
                    for (const std::string& piece :
                         {std::string("("), std::to_string(id), std::string(","), dm.QuoteString(r[1].AsString()),
                          std::string(","), std::to_string(r[2].AsInteger()), std::string(","),
                          r[3].AsCurrency().ToString(), std::string(",'"), DateTimeToSqlText(r[4].AsDateTime()),
                          std::string("',"), dm.QuoteString(r[5].AsString()), std::string(",5)")})
                        sql += piece;
                }
                dm.ExecSQL(sql);
            }
        }
        double baseline = Seconds(Clock::now() - t0);
        int64_t baseRows = 0;
        for (int t = 1; t <= kTables; ++t) baseRows += db.ScalarInt("SELECT COUNT(*) FROM BASE_T" + std::to_string(t));

        double pause = kItems * TReplicationItems::kItemPauseMs / 1000.0;
        std::printf("initial archive: %lld rows over %d tables in %.2f s: %.0f rows/s\n",
                    static_cast<long long>(rows), kTables, initial, rows / initial);
        std::printf("multi-row INSERT (1,000 rows each): %lld rows in %.2f s: %.0f rows/s (the installer: %.2fx that)\n",
                    static_cast<long long>(baseRows), baseline, baseRows / baseline,
                    (rows / initial) / (baseRows / baseline));
        std::printf("regular archive: %d items in %.2f s: %.0f items/s (of which at least %.1f s are the 1 ms "
                    "pauses after each item; without them about %.0f items/s)\n",
                    kItems, regularSecs, kItems / regularSecs, pause, kItems / std::max(0.001, regularSecs - pause));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "installer_bench: %s\n", e.what());
        return 1;
    }
}
