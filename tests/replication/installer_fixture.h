// Shared set-up of the packet installer tests: a fresh database, a daily log
// in a temporary folder, a packet folder (RarFilesDir) and the real
// extractor; helpers that build the packets and RAR archives a pharmacy
// uploads.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/app_paths.h"
#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/options.h"
#include "replication/packet/archive_installer.h"
#include "replication/packet/packet_extractor.h"
#include "replication/packet/xml_data_packet.h"
#include "support/fault_env.h"
#include "support/xml_packet_writer.h"
#include "support/rar4_writer.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace installer_test {

namespace fs = std::filesystem;

using Row = std::vector<Variant>;
using Rows = std::vector<Row>;

inline Variant I(int64_t v) { return Variant(static_cast<int32_t>(v)); }
inline Variant S(const std::string& v) { return Variant(v); }
inline Variant D(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
    return Variant::FromDate(EncodeDateTime(y, m, d, hh, mm, ss));
}
inline Variant Null() { return Variant::Null(); }

// One packet file of an archive.
struct Packet {
    std::string FileName;  // "DENIAL[1].xml"
    std::vector<TPacketFieldDef> Fields;
    Rows Data;
};

// REPL_TABLES: ID, TABLE_NAME, SORT_NO, DEPENDENCE_NO.
inline Packet ReplTables(const std::vector<std::pair<int, std::string>>& tables,
                         const std::string& fileName = "REPL_TABLES[1].xml") {
    Packet p{fileName,
             {{"ID", TFieldType::ftInteger}, {"TABLE_NAME", TFieldType::ftString, 50},
              {"SORT_NO", TFieldType::ftInteger}, {"DEPENDENCE_NO", TFieldType::ftInteger}},
             {}};
    for (const auto& [id, name] : tables) p.Data.push_back({I(id), S(name), I(id), I(0)});
    return p;
}

struct Item {
    int Id, Op, TableId, Key;
};

// REPL_ITEMS: ID, OP, TABLE_ID, KEY_VALUE.
inline Packet ReplItems(const std::vector<Item>& items, const std::string& fileName = "REPL_ITEMS[1].xml") {
    Packet p{fileName,
             {{"ID", TFieldType::ftInteger}, {"OP", TFieldType::ftInteger}, {"TABLE_ID", TFieldType::ftInteger},
              {"KEY_VALUE", TFieldType::ftInteger}},
             {}};
    for (const Item& i : items) p.Data.push_back({I(i.Id), I(i.Op), I(i.TableId), I(i.Key)});
    return p;
}

// The replicated table of most tests: ID, NAME, CHANGED (date-time), QTY.
inline std::vector<TPacketFieldDef> StockFields() {
    return {{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 40}, {"CHANGED", TFieldType::ftDateTime},
            {"QTY", TFieldType::ftInteger}};
}

inline Packet Stock(const Rows& rows, const std::string& fileName = "STOCK[1].xml") {
    return Packet{fileName, StockFields(), rows};
}

inline Row StockRow(int id, const std::string& name, int qty) {
    return {I(id), S(name), D(2009, 3, 5, 14, 7, 9), I(qty)};
}

// The RAR archive of the packets, each as the file its name says.
inline std::string ArchiveOf(const std::vector<Packet>& packets, TPacketEncoding enc = TPacketEncoding::Cp1251) {
    std::vector<TRar4Entry> entries;
    for (const Packet& p : packets)
        entries.push_back(TRar4Entry::File(p.FileName, WriteXmlDataPacket(p.Fields, p.Data, enc)));
    return MakeRar4Archive(entries);
}

class InstallerTest : public ::testing::Test {
protected:
    static constexpr int kPharm = 5;

    InstallerTest() {
        rarDir_ = tmp_.Path() + "/packets dir";
        fs::create_directories(rarDir_);
        db.EditOptions([&](TOptions& o) { o.RarFilesDir = rarDir_; });
        env.ExtractorProgram = (fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string();
        db.Exec("INSERT INTO pharmacy (id, name, inet_pass, last_archive_num) VALUES (5, 'Five', 'p5', 0), "
                "(6, 'Six', 'p6', 0)");
    }

    std::string PharmFolder(int pharm = kPharm) const { return rarDir_ + "/pharm" + std::to_string(pharm) + "/"; }

    std::string ArchivePath(int n, int pharm = kPharm) const {
        return PharmFolder(pharm) + "xml" + std::to_string(n) + ".rar";
    }

    // Writes the archive xml<n>.rar of the pharmacy holding the packets.
    std::string WriteArchive(int n, const std::vector<Packet>& packets, int pharm = kPharm,
                             TPacketEncoding enc = TPacketEncoding::Cp1251) {
        fs::create_directories(PharmFolder(pharm));
        std::ofstream(ArchivePath(n, pharm), std::ios::binary) << ArchiveOf(packets, enc);
        return ArchivePath(n, pharm);
    }

    // One run of the archive installer up to archive `highest`.
    void Install(int highest, int pharm = kPharm) {
        TArchiveInstallerNoThread inst(env);
        inst.FPharmID = pharm;
        inst.FLastArchiveNumber = highest;
        inst.Execute();
    }

    int LastArchive(int pharm = kPharm) {
        return static_cast<int>(db.ScalarInt("SELECT last_archive_num FROM pharmacy WHERE id = " + std::to_string(pharm)));
    }

    bool TableExists(const std::string& t) {
        return db.ScalarInt("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = database() "
                            "AND table_name = '" + t + "'") > 0;
    }

    // "id:name:qty" of the pharmacy's STOCK rows, by ID.
    std::vector<std::string> StockOf(int pharm = kPharm, const std::string& table = "STOCK") {
        std::vector<std::string> out;
        for (const auto& r : db.Rows("SELECT ID, NAME, QTY FROM " + table + " WHERE PHARM_ID = " +
                                     std::to_string(pharm) + " ORDER BY ID"))
            out.push_back(VarToStr(r[0]) + ":" + VarToStr(r[1]) + ":" + VarToStr(r[2]));
        return out;
    }

    // How many of the lines hold part.
    static int Count(const std::vector<std::string>& lines, const std::string& part) {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    bool Contains(const std::vector<std::string>& lines, const std::string& part) { return Count(lines, part) > 0; }

    std::vector<std::string> InstallerLog() { return log.Messages("TArchiveInstallerNoThread"); }

    TempDir tmp_;
    std::string rarDir_;
    // The pharmacy list the installer sees: these lines, or the table's.
    void SetPharmacies(std::optional<std::vector<std::string>> lines) {
        env.Directory.Lines = std::move(lines);
        env.Directory.Reload(env);
    }

    TestDatabase db;
    TestLog log;
    TFaultEnv env;
};

}  // namespace installer_test
