// Archive installation with real archives and the real extractor: initial
// and regular archives, the archive sequence, failures and their retry, and
// the order of commit and marking; the extractor program on its own.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "installer_fixture.h"
#include "core/app_paths.h"
#include "core/env/env.h"
#include "core/env/upload_registry.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/process.h"
#include "replication/packet/packet_names.h"
#include "support/rar4_writer.h"
#include "support/temp_dir.h"

namespace installer_test {
namespace {

using ArchiveInstall = InstallerTest;

// Archive 1: initial data for the tables of REPL_TABLES.
std::vector<Packet> InitialArchive() {
    return {ReplTables({{1, "STOCK"}}), Stock({StockRow(1, "one", 10), StockRow(2, "two", 20)})};
}

// A regular archive updating row `id` of STOCK.
std::vector<Packet> RegularArchive(int itemId, int id, int qty) {
    return {ReplItems({{itemId, 2, 1, id}}), Stock({StockRow(id, "upd", qty)})};
}

// An initial archive replaces the pharmacy's rows only, merged in chunks of
// 5,000 rows from its packet files in bracket order.
TEST_F(ArchiveInstall, InitialArchiveReplacesThePharmacysRowsOnly) {
    db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), CHANGED DATETIME, QTY INT, PHARM_ID INT, "
            "PRIMARY KEY (ID, PHARM_ID)) ENGINE=InnoDB");
    db.Exec("INSERT INTO STOCK VALUES (9, 'stale', NULL, 0, 5), (1, 'other', NULL, 0, 6)");
    Rows rows;
    for (int i = 3; i <= 5003; ++i) rows.push_back(StockRow(i, Format("r%d", {i}), i % 100));
    // Items in small letters are no items: the archive is initial data.
    WriteArchive(1, {ReplTables({{1, "STOCK"}}), Stock(rows, "STOCK[2].xml"),
                     ReplItems({{1, 3, 1, 1}}, "repl_items[1].xml"),
                     Stock({StockRow(1, "one", 10), StockRow(2, "two", 20), StockRow(6000, "z", 0)})});
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS(' ', COUNT(*), COUNT(DISTINCT ID), SUM(NAME = 'stale'), "
                           "SUM(ID = 9 AND NAME = 'r9')) FROM STOCK WHERE PHARM_ID = 5"),
              "5004 5004 0 1");
    EXPECT_EQ(StockOf(5).front() + " " + StockOf(5)[1], "1:one:10 2:two:20");
    EXPECT_EQ(StockOf(6), (std::vector<std::string>{"1:other:0"}));
    EXPECT_TRUE(fs::exists(ArchivePath(1) + ".inst"));
    EXPECT_FALSE(fs::exists(ArchivePath(1)));
    EXPECT_FALSE(fs::exists(PharmFolder() + "1"));
    EXPECT_FALSE(db.ScalarStr("SELECT last_update_date FROM pharmacy WHERE id = 5").empty());
    // A later archive with them only meets the cannot-continue rule.
    WriteArchive(2, {ReplItems({{1, 3, 1, 1}}, "repl_items[1].xml")});
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(5).front(), "1:one:10");
    EXPECT_TRUE(Contains(InstallerLog(), Cp(u8"не може да продължи")));
}

// A table an initial archive lists without packets of it: its rows come
// from the staging copy an earlier attempt left; without such a copy there
// is nothing to merge and the archive installs all the same, leaving that
// table's rows alone.
TEST_F(ArchiveInstall, InitialTablesWithoutPacketsMergeAnEarlierCopyOrAreLeftAlone) {
    db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), CHANGED DATETIME, QTY INT, PHARM_ID INT, "
            "PRIMARY KEY (ID, PHARM_ID))");
    db.Exec("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), CHANGED DATETIME, QTY INT)");
    db.Exec("INSERT INTO STOCK_5 VALUES (4, 'kept', NULL, 4)");
    db.Exec("CREATE TABLE SHELVES (ID INT, NAME VARCHAR(40), PHARM_ID INT)");
    db.Exec("INSERT INTO SHELVES VALUES (1, 'own', 5), (1, 'other', 6)");
    WriteArchive(1, {ReplTables({{1, "STOCK"}, {2, "NOTES"}, {3, "SHELVES"}, {4, "NEVER_SENT"}}),
                     Packet{"NOTES[1].xml", StockFields(), {StockRow(1, "note", 1)}}});
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"4:kept:4"}));
    EXPECT_EQ(StockOf(5, "NOTES"), (std::vector<std::string>{"1:note:1"}));
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(CONCAT(NAME, PHARM_ID) ORDER BY PHARM_ID) FROM SHELVES"), "own5,other6");
    EXPECT_FALSE(TableExists("NEVER_SENT") || TableExists("NEVER_SENT_5") || TableExists("SHELVES_5"));
    const auto lines = InstallerLog();
    for (const char* t : {"SHELVES", "NEVER_SENT"}) EXPECT_TRUE(Contains(lines, std::string("PharmTableDataToGlobalData... ") + t));
    EXPECT_FALSE(Contains(lines, Cp(u8"Грешка")));
    EXPECT_TRUE(fs::exists(ArchivePath(1) + ".inst"));
}

// A value of the table list that cannot be read is imported as null like
// any other: the names are checked, the archive installs.
TEST_F(ArchiveInstall, AnUnreadableValueOfTheTableListIsImportedAsNull) {
    const Packet tables = ReplTables({{1, "STOCK"}});
    std::string xml = WriteXmlDataPacket(tables.Fields, tables.Data);
    ASSERT_NE(xml.find("SORT_NO=\"1\""), std::string::npos);
    xml.replace(xml.find("SORT_NO=\"1\""), 11, "SORT_NO=\"first\"");
    const Packet stock = Stock({StockRow(1, "one", 10)});
    fs::create_directories(PharmFolder());
    std::ofstream(ArchivePath(1), std::ios::binary)
        << MakeRar4Archive({TRar4Entry::File(tables.FileName, xml),
                            TRar4Entry::File(stock.FileName, WriteXmlDataPacket(stock.Fields, stock.Data))});
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10"}));
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT(TABLE_NAME, IFNULL(SORT_NO, ' null')) FROM repl_tables_5"), "STOCK null");
    EXPECT_EQ(Count(log.Messages("TDMBase"), "field SORT_NO: value 'first' cannot be read"), 1);
}

TEST_F(ArchiveInstall, AMissingArchiveStopsTheRunAndIsRetried) {
    WriteArchive(1, InitialArchive());
    WriteArchive(2, RegularArchive(1, 1, 2));
    fs::rename(ArchivePath(2), PharmFolder() + "XML2.RAR");  // found in capitals
    WriteArchive(4, RegularArchive(1, 1, 4), kPharm, TPacketEncoding::Utf8);
    Install(4);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_TRUE(fs::exists(PharmFolder() + "XML2.RAR.inst"));
    EXPECT_TRUE(fs::exists(ArchivePath(4)));
    std::string msg = Cp(u8"Файлът ") + ArchivePath(3) + Cp(u8" не съществува.");
    auto lines = InstallerLog();
    EXPECT_TRUE(Contains(lines, Cp(u8"Грешка: ") + msg));
    EXPECT_EQ(lines.back(), Cp(u8"Грешка : ") + msg);

    WriteArchive(3, RegularArchive(1, 1, 3));
    Install(4);
    EXPECT_EQ(LastArchive(), 4);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:upd:4", "2:two:20"}));
    // Nothing to do at the last installed number; a highest below it fails.
    log.Clear();
    Install(4);
    EXPECT_EQ(InstallerLog(), (std::vector<std::string>{Cp(u8"Пакет 4 е вече инсталиран!"),
                                                        Cp(u8"Успешно инсталиране на пакетите!")}));
    log.Clear();
    Install(3);
    EXPECT_EQ(InstallerLog(), (std::vector<std::string>{"ALastArchiveNum 4; FLastArchiveNuber 3",
                                                        Cp(u8"Грешка при инсталиране... ")}));
}

// An archive that cannot be read fails, is kept, and is installed by the
// next pass that finds a good upload under its name.
TEST_F(ArchiveInstall, EmptyCorruptAndForeignArchivesFailAndAreRetried) {
    WriteArchive(1, InitialArchive());
    Install(1);
    std::string damaged = ArchiveOf({ReplItems({{1, 2, 1, 1}})});
    damaged[damaged.size() - 20] ^= 0x20;
    const struct {
        const char* what;
        std::string bytes;  // of archive 2
        std::string logged;
    } cases[] = {
        {"size 0", "", Cp(u8"Грешка : Файлът ") + ArchivePath(2) + Cp(u8" е повреден.")},
        // An error of the archive, not an archive without items.
        {"no archive", "<html>upload interrupted</html>", "could not be extracted"},
        {"damaged data", damaged, "could not be extracted"},
        {"without any packet", MakeRar4Archive({TRar4Entry::File("readme.txt", "hi")}), "No packet"},
        {"the extractor does not start", ArchiveOf(RegularArchive(1, 2, 22)), "could not be started"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        std::ofstream(ArchivePath(2), std::ios::binary) << c.bytes;
        if (c.logged == "could not be started") env.ExtractorProgram = tmp_.Path() + "/no-such-extractor";
        Install(2);
        EXPECT_EQ(LastArchive(), 1);
        EXPECT_TRUE(fs::exists(ArchivePath(2)));
        EXPECT_TRUE(Contains(InstallerLog(), c.logged)) << ::testing::PrintToString(InstallerLog());
        EXPECT_FALSE(Contains(InstallerLog(), Cp(u8"не може да продължи")));
        env.ClearFaults();
        env.ExtractorProgram = (fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string();
    }
    WriteArchive(2, RegularArchive(1, 2, 22));
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:upd:22"}));
}

// The archive's number is committed before the archive gets its installed
// name: at the rename another connection sees the number already.
TEST_F(ArchiveInstall, NumberIsCommittedBeforeTheArchiveIsMarked) {
    WriteArchive(1, InitialArchive());
    int seen = -1;
    bool stillNamed = false;
    env.RenameFault = [&](const std::string& from, const std::string&) {
        seen = static_cast<int>(db.ScalarInt("SELECT last_archive_num FROM pharmacy WHERE id = 5"));
        stillNamed = fs::exists(from) && !fs::exists(from + ".inst");
        return TFaultEnv::Fail(EIO);  // as if the process ended here
    };
    Install(1);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(stillNamed);
    // As after a crash at that moment: recorded, the archive kept its name.
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_TRUE(fs::exists(ArchivePath(1)));
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:two:20"}));
}

// An archive that carries the installed name while its number is not
// recorded, its extract folder gone, is extracted again from the ".inst".
TEST_F(ArchiveInstall, InstalledArchiveWithoutItsNumberIsExtractedAgain) {
    WriteArchive(1, InitialArchive());
    fs::rename(ArchivePath(1), ArchivePath(1) + ".inst");
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:two:20"}));
    EXPECT_TRUE(fs::exists(ArchivePath(1) + ".inst"));
    EXPECT_FALSE(fs::exists(ArchivePath(1)));
    EXPECT_FALSE(fs::exists(PharmFolder() + "1"));
}

// No connection to the database: one line, the run's error.
TEST_F(ArchiveInstall, DatabaseDownIsLogged) {
    db.EditOptions([](TOptions& o) { o.Password = "wrong"; });
    WriteArchive(1, InitialArchive());
    Install(1);
    const auto lines = InstallerLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(Cp(u8"Грешка : "), 0), 0u) << lines[0];
    EXPECT_TRUE(fs::exists(ArchivePath(1)));
}

TEST_F(ArchiveInstall, AnArchiveBeingUploadedWaits) {
    WriteArchive(1, InitialArchive());
    {
        auto held = TEnv::Default().Uploads().Acquire(ArchivePath(1));
        Install(1);
        EXPECT_EQ(LastArchive(), 0);
        EXPECT_TRUE(Contains(InstallerLog(), "being written"));
    }
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
}

TEST_F(ArchiveInstall, BadNamesFailTheArchiveBeforeAnyStatement) {
    struct Case {
        const char* what;
        std::vector<Packet> packets;
        const char* logPart;
    };
    std::vector<TPacketFieldDef> badField = StockFields();
    badField[1].Name = "NAME`, `PHARM_ID";
    std::vector<Case> cases{
        {"table with SQL", {ReplTables({{1, "STOCK; DROP TABLE pharmacy"}}), Stock({StockRow(1, "x", 1)})},
         "Invalid table name"},
        {"field with a back-quote", {ReplTables({{1, "STOCK"}}), Packet{"STOCK[1].xml", badField, {}}},
         "Invalid field name"},
        {"reserved central table", {ReplTables({{1, "pharmacy"}}), Packet{"pharmacy[1].xml", StockFields(), {}}},
         "table of the central server"},
        {"catalogue table", {ReplTables({{1, "ARTICLE"}}), Packet{"ARTICLE[1].xml", StockFields(), {}}},
         "table of the central server"},
        {"split name", {ReplTables({{1, "STOCK_7"}}), Packet{"STOCK_7[1].xml", StockFields(), {}}},
         "table of the central server"},
        {"shared table without PHARM_ID", {ReplTables({{1, "SHELF_LIKE"}}), Packet{"SHELF_LIKE[1].xml", StockFields(), {}}},
         "has no PHARM_ID column"},
    };
    db.Exec("CREATE TABLE SHELF_LIKE (ID INT PRIMARY KEY, NAME VARCHAR(40))");
    db.Exec("INSERT INTO SHELF_LIKE VALUES (1, 'central')");
    int articles = static_cast<int>(db.ScalarInt("SELECT COUNT(*) FROM ARTICLE"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        WriteArchive(1, c.packets);
        Install(1);
        EXPECT_EQ(LastArchive(), 0);
        EXPECT_TRUE(Contains(InstallerLog(), c.logPart));
        EXPECT_FALSE(TableExists("REPL_TABLES_5"));
        EXPECT_FALSE(TableExists("STOCK"));
        EXPECT_TRUE(fs::exists(ArchivePath(1)));
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM pharmacy"), 2);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ARTICLE"), articles);
    EXPECT_EQ(db.ScalarStr("SELECT NAME FROM SHELF_LIKE"), "central");

    // Regular archives: a packet file named after a central table.
    WriteArchive(1, InitialArchive());
    Install(1);
    WriteArchive(2, {ReplItems({{1, 2, 1, 1}}), Stock({StockRow(1, "x", 1)}),
                     Packet{"ACTION_REQUEST[1].xml", StockFields(), {}}});
    Install(2);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM repl_tables_5"), 1);
    // The edges of an identifier: up to 64 letters, digits and underscores,
    // trimmed, not starting with a digit.
    std::string valid;
    for (std::string name : {std::string("DENIAL"), std::string(" _x9 "), std::string(64, 'a'), std::string(65, 'a'),
                             std::string(), std::string("9A"), std::string("A-B"), std::string("\xC0\xC1")})
        valid += IsValidIdentifier(name) ? '1' : '0';
    EXPECT_EQ(valid, "11100000");
    EXPECT_EQ(CheckIdentifier(" x ", "table"), "x");
    EXPECT_TRUE(IsSplitTableName("ARTICLE_") && !IsSplitTableName("REPL_ITEMS"));
}

// The names the installer takes from an archive, and the tables it refuses.
TEST(PacketNames, IdentifiersAndTablesTheInstallerRefuses) {
    for (const char* bad : {"A B", "A`B", "A'B", "A;DROP", "A.B", "A\"B"}) {
        EXPECT_FALSE(IsValidIdentifier(bad)) << bad;
        EXPECT_THROW(CheckIdentifier(bad, "table"), EPacketError) << bad;
    }
    EXPECT_EQ(QuoteIdent("a`b"), "`a``b`");
    const std::pair<const char*, bool> split[] = {{"ARTICLE_12", true}, {"ARTICLE_", true}, {"ARTICLE", false},
                                                  {"REPL_ITEMS", false}, {"A_1B", false}, {"12", false}};
    for (auto [name, expected] : split) EXPECT_EQ(IsSplitTableName(name), expected) << name;
    for (const char* t : {"pharmacy", "ARTICLE", "article_nzok", "ACTION_REQUEST", "action_request_status",
                          "PAYMENT_CENTRAL", "ZVL_ENV_VARS", "zvl_generators", "NOM_UPDATE_ARTICLE", "REPL_ITEMS",
                          "repl_tables", "DENIAL_12", "PRODUCER", "SUPPLIER", "MEASURE", "MEASURE_NAME",
                          "ARTICLE_INFO", "ARTICLE_GROUP", "SUBSTITUDE_ARTICLE", " pharmacy "})
        EXPECT_TRUE(IsCentralSystemTable(t)) << t;
    for (const char* t : {"DENIAL", "SUPPLIER_CODE", "STOCK", "PARCEL", "NOM_UPDATE", "ARTICLES"})
        EXPECT_FALSE(IsCentralSystemTable(t)) << t;
}

TEST_F(ArchiveInstall, LinksInTheExtractFolderAreNeitherFollowedNorImported) {
    std::string secret = tmp_.Write("secret.txt", "do not read");
    WriteArchive(1, InitialArchive());
    // A link standing where the extract folder goes.
    fs::create_directories(tmp_.Path() + "/elsewhere");
    std::string keep = tmp_.Write("elsewhere/keep.xml", "keep");
    fs::create_directory_symlink(tmp_.Path() + "/elsewhere", PharmFolder() + "1");
    Install(1);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_TRUE(fs::exists(keep));
    EXPECT_EQ(TempDir::Read(secret), "do not read");

    // A link among the packets of an archive that is used as it was left.
    WriteArchive(2, RegularArchive(1, 1, 5));
    fs::rename(ArchivePath(2), ArchivePath(2) + ".inst");
    fs::create_directories(PharmFolder() + "2");
    SaveXmlDataPacket(PharmFolder() + "2/REPL_ITEMS[1].xml", ReplItems({{1, 2, 1, 1}}).Fields,
                      ReplItems({{1, 2, 1, 1}}).Data);
    SaveXmlDataPacket(PharmFolder() + "2/STOCK[1].xml", StockFields(), {StockRow(1, "real", 1)});
    fs::create_symlink(secret, PharmFolder() + "2/STOCK[2].xml");
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:real:1", "2:two:20"}));
    EXPECT_EQ(TempDir::Read(secret), "do not read");
}

TEST_F(ArchiveInstall, AFailureAfterTheItemsRollsTheItemsBack) {
    // The statements that change table structures commit implicitly; the
    // items, the number and the commit must still be one transaction.
    WriteArchive(1, InitialArchive());
    Install(1);
    db.Exec("CREATE TRIGGER pharmacy_refuses BEFORE UPDATE ON pharmacy FOR EACH ROW "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by test'");
    WriteArchive(2, {ReplItems({{1, 2, 1, 1}, {2, 3, 1, 2}, {3, 1, 1, 3}}),
                     Stock({StockRow(1, "upd", 99), StockRow(3, "new", 3)})});
    Install(2);
    EXPECT_TRUE(Contains(InstallerLog(), "refused by test"));
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:two:20"}));
    EXPECT_TRUE(fs::exists(ArchivePath(2)));
    db.Exec("DROP TRIGGER pharmacy_refuses");
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:upd:99", "3:new:3"}));
}

TEST_F(ArchiveInstall, AnExtractorThatHangsIsStoppedAndTheArchiveFails) {
    WriteArchive(1, InitialArchive());
    // The extractor writes its process id and then hangs: once the install
    // has given up, that process no longer exists.
    const std::string pidFile = tmp_.File("extractor.pid");
    std::string script = tmp_.Write("hanging-extractor", "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 30\n");
    fs::permissions(script, fs::perms::owner_all);
    env.ExtractorProgram = script;
    env.ExtractorTime = std::chrono::milliseconds(300);
    Install(1);
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "the hanging extractor was left running";
    EXPECT_EQ(LastArchive(), 0);
    EXPECT_TRUE(fs::exists(ArchivePath(1)));
}

TEST_F(ArchiveInstall, TheStepsOfEachArchiveRunInTheirOrder) {
    using V = std::vector<std::string>;
    // The lines every archive begins with, and those of its STOCK packets.
    auto begin = [&](int n) {
        const std::string s = std::to_string(n);
        return V{"Installing archive " + s, "Extract archive " + s, Cp(u8"Разархивиране на архив ") + s + ".",
                 "Install archive " + s, Cp(u8"Инсталиране на архив ") + s + ". ",
                 "Rar Extract Folder: " + PharmFolder() + s + "/"};
    };
    const V import{"Importing STOCK", "Check table existence STOCK", "Check table existence STOCK_5",
                   "InsertXMLDataIntoTable STOCK_5"};
    auto end = [](int n) {
        return V{Cp(u8"Актуализиране на данни за последно обновяване."),
                 Cp(u8"Маркиране на архив ") + std::to_string(n) + "."};
    };
    const std::string done = Cp(u8"Успешно инсталиране на пакетите!");
    auto join = [](std::initializer_list<V> parts) {
        V all;
        for (const V& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    WriteArchive(1, InitialArchive());
    Install(1);
    EXPECT_EQ(InstallerLog(), join({{"ALastArchiveNum 0; FLastArchiveNuber 1"}, begin(1), {"Set Initial Data"},
                                    {import[0], "Dropping table STOCK_5"}, V(import.begin() + 1, import.end()),
                                    {"PharmTableDataToGlobalData... STOCK"}, end(1), {done}}));

    // A regular archive, then one that cannot continue for want of items.
    log.Clear();
    WriteArchive(2, RegularArchive(1, 1, 2));
    WriteArchive(3, {Stock({StockRow(1, "ignored", 0)})});
    Install(3);
    EXPECT_EQ(InstallerLog(),
              join({{"ALastArchiveNum 1; FLastArchiveNuber 3"}, begin(2), {"Set Regular Data"}, import, end(2), begin(3),
                    {Cp(u8"Инсталирането на архив 3. не може да продължи, защото таблицата \"REPL_ITEMS\" я няма в "
                        u8"архива!")},
                    end(3), {done}}));
    // The archive without items is recorded and marked, and applies nothing.
    EXPECT_EQ(LastArchive(), 3);
    for (int n : {2, 3}) {
        EXPECT_TRUE(fs::exists(ArchivePath(n) + ".inst")) << n;
        EXPECT_FALSE(fs::exists(ArchivePath(n)) || fs::exists(PharmFolder() + std::to_string(n))) << n;
    }
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:upd:2", "2:two:20"}));
}

// ---- The packet archive extractor, run as the real program beside the server.

class RarExtractor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(extractor)) << extractor;
        fs::create_directory(out);
    }
    // The extractor's exit code for the arguments.
    int Run(const std::string& args) { return ExecAndWait("\"" + extractor + "\" " + args, false, ""); }
    // Extracts the archive of the test folder into the output folder.
    int Extract(const std::string& archive) { return Run("e -o+ \"" + dir.File(archive) + "\" \"" + out + "/\""); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::string extractor = (fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string();
    TempDir dir;
    const std::string out = dir.Path() + "/out dir";
};

// Files arrive without their stored paths; neither links nor entries without
// a name (a 32-byte file header) are made, and the entries after them still
// arrive; a file in the way is overwritten, a link in the way replaced
// without being followed.
TEST_F(RarExtractor, ExtractsFilesAndNothingElse) {
    std::string outside = dir.Write("outside.txt", "keep me");
    dir.Write("out dir/A[1].xml", "old content that is longer");
    fs::create_symlink(outside, out + "/B[1].xml");
    using E = TRar4Entry;
    WriteRar4Archive(dir.File("xml 5.rar"),
                     {E::File("REPL_ITEMS[1].xml", "items"), E::Folder("sub"),
                      E::File("sub\\deep\\ARTICLE[2].xml", std::string("a\0b", 3)), E::File("../../escape.xml", "up"),
                      E::Symlink("X[1].xml", "/etc/passwd"), E::Symlink("up", ".."), E::File("", "lost"),
                      E::File("A[1].xml", "new"), E::File("B[1].xml", "bee")});
    ASSERT_EQ(Extract("xml 5.rar"), 0);
    std::string got;
    for (const std::string& name : Names()) {
        EXPECT_FALSE(fs::is_symlink(out + "/" + name)) << name;
        got += name + "=" + TempDir::Read(out + "/" + name) + ";";
    }
    EXPECT_EQ(got, "ARTICLE[2].xml=" + std::string("a\0b", 3) +
                       ";A[1].xml=new;B[1].xml=bee;REPL_ITEMS[1].xml=items;escape.xml=up;");
    EXPECT_FALSE(fs::exists(dir.Path() + "/escape.xml"));
    EXPECT_EQ(TempDir::Read(outside), "keep me");
}

// Failures end with a code other than 0 (2 for a broken archive, 10 when
// there is nothing to extract) and leave no file behind, not even a partial one.
TEST_F(RarExtractor, FailuresExitNonZeroAndLeaveNoPartialFile) {
    const std::string good = MakeRar4Archive({TRar4Entry::File("A[1].xml", std::string(5000, 'x'))});
    std::string damaged = good;
    damaged[good.size() - 100] ^= 0x55;  // the checksum does not match
    const std::string first = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a")});
    const std::string two = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a"), TRar4Entry::File("B[1].xml", "b")});
    const struct {
        const char* what;
        std::string bytes;
        int rc;  // -1: any but 0
    } cases[] = {
        {"damaged data", damaged, -1},
        {"cut short during upload", good.substr(0, good.size() / 2), -1},
        // The first entry whole, the end block (7 bytes) missing.
        {"cut short between two entries", two.substr(0, first.size() - 7), 2},
        {"empty", "", -1},
        {"not an archive", "this is not an archive", -1},
        {"folders only", MakeRar4Archive({TRar4Entry::Folder("only")}), 10},
        {"an entry without a name only", MakeRar4Archive({TRar4Entry::File("", "lost")}), 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dir.Write("bad.rar", c.bytes);
        int rc = Extract("bad.rar");
        if (c.rc < 0) {
            EXPECT_NE(rc, 0);
        } else {
            EXPECT_EQ(rc, c.rc);
        }
        EXPECT_TRUE(Names().empty());
    }
    EXPECT_NE(Extract("missing.rar"), 0);
}


// A folder in the way of an entry stays; the extraction fails and says so on
// standard error, unless -inul asks for quiet.
TEST_F(RarExtractor, AFolderInTheWayIsKeptAndReportedUnlessQuiet) {
    WriteRar4Archive(dir.File("a.rar"), {TRar4Entry::File("A[1].xml", "a")});
    fs::create_directories(out + "/A[1].xml/inner");
    for (const std::string sw : {"", "-inul "}) {
        SCOPED_TRACE(sw);
        const std::string err = dir.File("err.txt");
        const int rc = std::system(("'" + extractor + "' e -o+ " + sw + "'" + dir.File("a.rar") + "' '" + out +
                                    "/' 2>'" + err + "'").c_str());
        EXPECT_NE(rc, 0);
        EXPECT_TRUE(fs::is_directory(out + "/A[1].xml/inner"));
        EXPECT_EQ(TempDir::Read(err).find("Cannot create") != std::string::npos, sw.empty()) << TempDir::Read(err);
    }
}

// Only "e" with the switches the installer passes is understood; anything
// else ends with 7 and extracts nothing.
TEST_F(RarExtractor, RefusesCommandLinesItDoesNotUnderstand) {
    WriteRar4Archive(dir.File("a.rar"), {TRar4Entry::File("A[1].xml", "a")});
    const std::string archive = "\"" + dir.File("a.rar") + "\" \"" + out + "/\"";
    for (const std::string& args : {"x " + archive, "e -p-secret " + archive, std::string("e"),
                                     "e " + archive + " extra", std::string("")})
        EXPECT_EQ(Run(args), 7) << args;
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(Run("E -y -inul -o+ " + archive), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A[1].xml"}));
}

}  // namespace
}  // namespace installer_test
