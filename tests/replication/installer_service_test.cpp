// The packet installer service: archive numbers, the timer interval, the
// installation pass with its deletions and its busy flag, and the service's
// start and timer ticks against the real database and archives.
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "installer_fixture.h"
#include "core/env/env.h"
#include "core/env/upload_registry.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/main_loop.h"
#include "replication/packet/packet_installer_service.h"
#include "replication/repl_data_service.h"
#include "support/child_process.h"
#include "support/private_db.h"

namespace installer_test {
namespace {

using Svc = TVantrellPacketInstallerService;

TEST(PacketInstallerService, ArchiveNumbersAndTheTimerInterval) {
    const std::pair<const char*, int32_t> numbers[] = {
        {"xml12.rar", 12}, {"XML12.RAR", 12}, {"pk_7.rar", 7}, {"/some/folder/xml3.rar", 3}, {"xml.rar", -1},
        {"old_xml5.rar", -1}, {"xml99999999999.rar", -1} /* beyond 32 bits */, {"xml2147483647.rar", 2147483647}};
    for (auto [name, n] : numbers) EXPECT_EQ(Svc::GetArchiveNumber(name), n) << name;
    EXPECT_EQ(Svc::TimerInterval(0), 0u);
    EXPECT_EQ(Svc::TimerInterval(71582), 4294920000u);
    EXPECT_THROW(Svc::TimerInterval(71583), EIntOverflow);
}

TEST(PacketInstallerService, HighestNumberFolderNamesAndTheTimerBeforeStart) {
    const std::pair<std::vector<std::string>, int32_t> highest[] = {
        {{"xml.rar", "old_xml5.rar"}, 0}, {{"xml3.rar", "xml8.rar", "xml6.rar"}, 8}, {{}, 0}, {{"xml0.rar"}, 0}};
    for (const auto& [files, n] : highest) EXPECT_EQ(Svc::GetMaxArchiveNum(files), n) << files.size();
    const std::vector<std::string> list{"12|Name|pass", "7", "|x|y"};
    EXPECT_EQ(Svc::GetUserFolderName(list, 0), "pharm12");
    EXPECT_EQ(Svc::GetUserFolderName(list, 1), "pharm7");
    EXPECT_EQ(Svc::GetUserFolderName(list, 2), "pharm");
    EXPECT_EQ(Svc::TimerInterval(10), 600000u);
    Svc s;
    EXPECT_EQ(s.Name(), "VantrellPacketInstallerService");
    EXPECT_EQ(s.DisplayName(), "Vantrell PacketInstallerService");
    EXPECT_FALSE(s.tmrPacketInstaller().Enabled());
    EXPECT_EQ(s.tmrPacketInstaller().Interval(), 60000u);
}

// A pass that records the installer runs it would start.
class RecordingSvc : public Svc {
public:
    using Svc::Svc;
    std::function<void(int32_t, int32_t)> OnInstall;
    void RunArchiveInstaller(int32_t pharmID, int32_t highest) override { OnInstall(pharmID, highest); }
};

class InstallerPass : public InstallerTest {
protected:
    InstallerPass() {
        env.ClockShift = 3600;  // every upload long settled
        svc.OnInstall = [this](int32_t p, int32_t h) { calls.push_back({p, h}); };
    }
    void Touch(const std::string& name, int pharm = kPharm) {
        fs::create_directories(PharmFolder(pharm));
        std::ofstream(PharmFolder(pharm) + name) << "x";
    }
    std::vector<std::string> Files(int pharm = kPharm) {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(PharmFolder(pharm))) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> ServiceLog() { return log.Messages("TVantrellPacketInstallerService"); }

    RecordingSvc svc{env};
    std::vector<std::pair<int, int>> calls;
};

TEST_F(InstallerPass, DeletesInstalledArchivesAndCallsTheInstallerWithTheHighest) {
    // Missing folders are passed over quietly.
    SetPharmacies(std::nullopt);
    svc.CheckPackets();
    EXPECT_TRUE(ServiceLog().empty());
    db.Exec("UPDATE pharmacy SET last_archive_num = 5 WHERE id = 5");
    for (const char* f : {"xml3.rar", "xml5.rar", "xml6.rar", "xml8.rar", "xml5.rar.inst", "xml.rar", "old_xml5.rar"})
        Touch(f);
    Touch("xml0.rar", 6);
    // Pharmacy 9 has no row: its last archive counts as 0.
    Touch("xml0.rar", 9);
    Touch("xml1.rar", 9);
    SetPharmacies(std::vector<std::string>{"5|Five|p5", "6|Six|p6", "9|Nine|p9", "4|Four|p4"});
    svc.CheckPackets();
    EXPECT_EQ(Files(), (std::vector<std::string>{"old_xml5.rar", "xml.rar", "xml5.rar.inst", "xml6.rar", "xml8.rar"}));
    EXPECT_TRUE(Files(6).empty());
    EXPECT_EQ(Files(9), (std::vector<std::string>{"xml1.rar"}));
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{5, 8}, {9, 1}}));
    EXPECT_EQ(ServiceLog(), (std::vector<std::string>{"Deleting already installed packet: xml3.rar",
                                                      "Deleting already installed packet: xml5.rar",
                                                      Cp(u8"Инсталиране на пакети за аптека 5..."),
                                                      "Deleting already installed packet: xml0.rar",
                                                      "Deleting already installed packet: xml0.rar",
                                                      Cp(u8"Инсталиране на пакети за аптека 9...")}));
    // An empty list does nothing.
    calls.clear();
    SetPharmacies(std::vector<std::string>{});
    svc.CheckPackets();
    EXPECT_TRUE(calls.empty());
}

TEST_F(InstallerPass, UploadsInProgressAreLeftForALaterPass) {
    Touch("xml1.rar");
    SetPharmacies(std::nullopt);
    {
        auto held = TEnv::Default().Uploads().Acquire(PharmFolder() + "xml2.rar");
        svc.CheckPackets();
        EXPECT_TRUE(calls.empty());
    }
    // A file written just now, and seen again within the settle time.
    for (std::time_t shift : {0, 30}) {
        env.ClockShift = shift;
        svc.CheckPackets();
        EXPECT_TRUE(calls.empty());
    }
    EXPECT_TRUE(Contains(ServiceLog(), "uploading"));
    // The same file a while later. A tick while the pass runs, from this
    // thread or another, starts no second pass.
    env.ClockShift = 90;
    svc.OnInstall = [&](int32_t p, int32_t h) {
        calls.push_back({p, h});
        if (calls.size() > 1) return;
        EXPECT_TRUE(svc.Busy());
        svc.tmrPacketInstallerTimer();
        std::thread([&] { svc.CheckPackets(); }).join();
    };
    svc.CheckPackets();
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{5, 1}}));
    EXPECT_TRUE(!svc.Busy() && svc.tmrPacketInstaller().Enabled());
}

// Archives without a number are never deleted and count as 0: the
// installer is called and finds nothing to do.
TEST_F(InstallerPass, UnnumberedArchivesAloneCallTheInstallerWithZero) {
    Touch("xml.rar");
    Touch("pk_.rar");
    SetPharmacies(std::vector<std::string>{"5|Five|p5"});
    svc.CheckPackets();
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{5, 0}}));
    EXPECT_EQ(Files(), (std::vector<std::string>{"pk_.rar", "xml.rar"}));
}

// A list line whose number cannot be read ends the pass with its error;
// the busy flag is cleared, so the next pass runs.
TEST_F(InstallerPass, AFailingPassEndsButClearsTheBusyFlag) {
    Touch("xml1.rar");
    Touch("xml1.rar", 6);
    SetPharmacies(std::vector<std::string>{"5|Five|p", "x|Bad|p", "6|Six|p"});
    EXPECT_THROW(svc.CheckPackets(), EConvertError);
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{5, 1}}));
    EXPECT_FALSE(svc.Busy());
    SetPharmacies(std::vector<std::string>{"6|Six|p"});
    svc.CheckPackets();
    EXPECT_EQ(calls.back(), (std::pair<int, int>{6, 1}));
}

TEST_F(InstallerPass, StartInstallsAndTheTimerKeepsInstalling) {
    TMainLoop loop;
    Svc service(env, &loop);
    WriteArchive(1, {ReplTables({{1, "STOCK"}}), Stock({StockRow(1, "one", 10)})});
    bool started = true;
    service.ServiceStart(started);
    EXPECT_TRUE(started);
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_TRUE(service.tmrPacketInstaller().Enabled());
    EXPECT_EQ(service.tmrPacketInstaller().Interval(), 600000u);

    // The next upload is installed by a tick of the timer on the main loop.
    WriteArchive(2, {ReplItems({{1, 2, 1, 1}}), Stock({StockRow(1, "upd", 2)})});
    service.tmrPacketInstaller().SetInterval(20);
    std::thread runner([&] { loop.Run(); });
    for (int i = 0; i < 500 && LastArchive() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop.Terminate();
    runner.join();
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:upd:2"}));
    EXPECT_TRUE(service.tmrPacketInstaller().Enabled());
}

class InstallerOutage : public OwnDbInstance, public InstallerTest {};

TEST_F(InstallerOutage, APassWhileTheDatabaseIsDownInstallsNothingAndTheNextOneEverything) {
    Svc service(env);
    env.ClockShift = 3600;
    SetPharmacies(std::vector<std::string>{"5|Five|p5"});
    WriteArchive(1, {ReplTables({{1, "STOCK"}}), Stock({StockRow(1, "one", 10), StockRow(2, "two", 20)})});
    bool started = true;
    service.ServiceStart(started);
    ASSERT_EQ(LastArchive(), 1);

    WriteArchive(2, {ReplItems({{1, 2, 1, 1}, {2, 3, 1, 2}}), Stock({StockRow(1, "upd", 11)})});
    instance.Stop();
    try {
        service.CheckPackets();
    } catch (const std::exception&) {
        // The pass ends at its first query; the timer's next tick tries again.
    }
    EXPECT_TRUE(fs::exists(ArchivePath(2)));
    EXPECT_FALSE(fs::exists(ArchivePath(2) + ".inst"));

    instance.Start();
    db.Reconnect();
    EXPECT_EQ(LastArchive(), 1);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:two:20"}));
    service.CheckPackets();
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:upd:11"}));
    EXPECT_TRUE(fs::exists(ArchivePath(2) + ".inst"));
}

// ---- The pass when a file, the extractor, the database connection or the clock
// fails in the middle of an archive: installed whole exactly once, at the
// latest by the first pass after the fault.

struct Fault {
    const char* Name;
    // Arms the fault in the environment for the first pass.
    std::function<void(TFaultEnv&, TestDatabase&)> Arm;
    int LastAfterFault;   // last_archive_num after the pass with the fault
    std::string Logged;   // part of the log line that says so, written once
};

class InstallerFaults : public InstallerTest {
protected:
    InstallerFaults() {
        db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), CHANGED DATETIME, QTY INT, PHARM_ID INT, "
                "PRIMARY KEY (ID, PHARM_ID)) ENGINE=InnoDB");
        SetPharmacies(std::vector<std::string>{"5|Five|p5"});
    }
    // Archive 1 installed, archive 2 uploaded two minutes ago, no fault.
    void NewCase() {
        env.ClearFaults();
        extractions = 0;
        db.Exec("UPDATE pharmacy SET last_archive_num = 0 WHERE id = 5");
        db.Exec("DELETE FROM STOCK");
        fs::remove_all(PharmFolder());
        Settled(WriteArchive(1, {ReplTables({{1, "STOCK"}}), Stock({StockRow(1, "one", 10), StockRow(2, "two", 20)})}));
        svc.CheckPackets();
        ASSERT_EQ(LastArchive(), 1);
        Settled(WriteArchive(2, {ReplItems({{1, 2, 1, 2}, {2, 1, 1, 3}}),
                                 Stock({StockRow(2, "upd", 22), StockRow(3, "new", 3)})}));
    }
    static void Settled(const std::string& path) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(2));
    }
    // Extractions run by the real extractor, counted.
    void CountExtractions() {
        env.Extractor = [this](const std::string& cmd, const std::string& folder) {
            ++extractions;
            return env.Target().RunProcess(cmd, folder, std::chrono::minutes(1));
        };
    }

    TVantrellPacketInstallerService svc{env};
    int extractions = 0;
};

TEST_F(InstallerFaults, TheArchiveIsInstalledOnceWhenTheFaultIsGone) {
    const Fault faults[] = {
        {"extraction fails half-way",
         [](TFaultEnv& e, TestDatabase&) {
             e.Extractor = [&e](const std::string& cmd, const std::string& folder) {
                 e.Target().RunProcess(cmd, folder, std::chrono::minutes(1));
                 std::filesystem::remove(folder + "STOCK[1].xml");  // one file was not written
                 return 3;
             };
         },
         1, "tried again at the next pass"},
        {"rename to the installed name fails after the commit",
         [](TFaultEnv& e, TestDatabase&) { e.RenameFault = [](auto&, auto&) { return TFaultEnv::Fail(EIO); }; }, 2,
         "could not be renamed"},
        {"deleting the extract folder fails",
         [](TFaultEnv& e, TestDatabase&) { e.DeleteTreeFault = [](auto&) { return TFaultEnv::Fail(EBUSY); }; }, 2,
         "could not be deleted"},
        {"connection dropped between statements of the archive",
         [](TFaultEnv& e, TestDatabase& db) {
             auto id = std::make_shared<std::string>();
             e.OnConnect = [id](TDMBase& dm) { *id = VarToStr(dm.GetScalar("SELECT CONNECTION_ID()")); };
             e.Extractor = [&e, &db, id](const std::string& cmd, const std::string& folder) {
                 int rc = e.Target().RunProcess(cmd, folder, std::chrono::minutes(1));
                 db.Exec("KILL CONNECTION " + *id);  // the installer's, inside its transaction
                 return rc;
             };
         },
         1, "tried again at the next pass"},
        {"the clock jumps back an hour",
         [](TFaultEnv& e, TestDatabase&) { e.ClockShift = -3600; }, 2, Cp(u8"Успешно инсталиране")},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.Name);
        NewCase();
        int before = Count(log.Messages(), f.Logged);
        f.Arm(env, db);
        svc.CheckPackets();
        EXPECT_EQ(LastArchive(), f.LastAfterFault);
        EXPECT_EQ(Count(log.Messages(), f.Logged) - before, 1);

        // The fault is gone: the next passes finish the archive, once.
        env.ClearFaults();
        CountExtractions();
        svc.CheckPackets();
        int afterRetry = extractions;
        svc.CheckPackets();
        EXPECT_EQ(LastArchive(), 2);
        EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "2:upd:22", "3:new:3"}));
        EXPECT_EQ(afterRetry, f.LastAfterFault == 2 ? 0 : 1);
        EXPECT_EQ(extractions, afterRetry);  // never again
        EXPECT_FALSE(fs::exists(ArchivePath(2)));
    }
}

// ---- The installer killed at random moments while it installs a series of
// archives: after it is started again and its passes finish, every central
// table holds exactly what one undisturbed install of the same archives gives.

constexpr int kArchives = 5;
constexpr int kMinKills = 20;

class InstallerCrash : public InstallerTest {
protected:
    // The series: an initial archive, then regular ones with inserts,
    // updates, deletes, a new table and a new column.
    std::vector<std::vector<Packet>> Series() {
        std::vector<std::vector<Packet>> s;
        Rows initial;
        for (int i = 1; i <= 400; ++i) initial.push_back(StockRow(i, Format("s%d", {i}), i));
        s.push_back({ReplTables({{1, "STOCK"}}), Stock(initial)});
        for (int n = 2; n <= kArchives; ++n) {
            std::vector<Item> items;
            Rows rows, notes;
            int id = 1;
            for (int k = 0; k < 40; ++k) {
                int key = (n * 37 + k * 11) % 500 + 1;
                int op = k % 4 == 3 ? 3 : (key > 400 ? 1 : 2);
                items.push_back({id++, op, 1, key});
                rows.push_back(StockRow(key, Format("a%d_%d", {n, k}), n * 100 + k));
            }
            for (int k = 1; n >= 3 && k <= 30; ++k) {
                items.push_back({id++, n == 3 ? 1 : 2, 2, k});
                notes.push_back({I(k), S("note " + std::to_string(n))});
            }
            s.push_back({ReplItems(items), Stock(rows)});
            if (n >= 3)
                s.back().push_back(
                    Packet{"NOTES[1].xml", {{"ID", TFieldType::ftInteger}, {"TXT", TFieldType::ftString, 30}}, notes});
        }
        return s;
    }

    void WriteSeries(int pharm) {
        auto series = Series();
        for (int n = 1; n <= kArchives; ++n) WriteArchive(n, series[n - 1], pharm);
    }

    // Pharmacy 5 from scratch: no rows, no staging tables, archives uploaded.
    void ResetPharmacy5() {
        for (const char* t : {"STOCK", "NOTES"})
            if (TableExists(t)) db.Exec(std::string("DELETE FROM ") + t + " WHERE PHARM_ID = 5");
        db.Exec("DROP TABLE IF EXISTS STOCK_5, NOTES_5, REPL_TABLES_5, REPL_ITEMS_5");
        db.Exec("UPDATE pharmacy SET last_archive_num = 0 WHERE id = 5");
        fs::remove_all(PharmFolder(5));
        WriteSeries(5);
    }

    // What the child process does: installation passes for pharmacy 5
    // until every archive is installed; it ends with 0 then.
    int RunInstaller() {
        try {
            TVantrellPacketInstallerService svc(env);
            env.ClockShift = 3600;  // every upload long settled
            SetPharmacies(std::vector<std::string>{"5|Five|p5"});
            for (int pass = 0; pass < 50; ++pass) {
                svc.CheckPackets();
                TDMBase dm;
                bool left = false;
                for (const auto& e : fs::directory_iterator(PharmFolder(5)))
                    if (e.path().extension() == ".rar") left = true;
                if (!left && VarToIntDef(dm.GetScalar("SELECT last_archive_num FROM pharmacy WHERE id = 5"), 0) ==
                                 kArchives)
                    return 0;
            }
            return 2;
        } catch (...) {
            return 4;
        }
    }

    // The rows of a table for a pharmacy, PHARM_ID left out.
    std::vector<std::string> TableRows(const std::string& table, int pharm) {
        std::vector<std::string> out;
        auto& dm = db.Connection();
        std::string where = pharm < 0 ? std::string() : " WHERE PHARM_ID = " + std::to_string(pharm);
        auto q = dm.OpenQuery("SELECT * FROM " + table + where + " ORDER BY ID");
        for (q->First(); !q->Eof(); q->Next()) {
            std::string line;
            for (int i = 0; i < q->FieldCount(); ++i)
                if (!SameText1251(q->Fields(i).FieldName(), "PHARM_ID"))
                    line += (q->Fields(i).IsNull() ? std::string("<null>") : q->Fields(i).AsString()) + "|";
            out.push_back(line);
        }
        return out;
    }
};

TEST_F(InstallerCrash, KilledAtRandomMomentsTheResultEqualsAnUndisturbedInstall) {
    // The reference: pharmacy 6, installed in one undisturbed run.
    WriteSeries(6);
    auto started = std::chrono::steady_clock::now();
    Install(kArchives, 6);
    auto undisturbed = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(LastArchive(6), kArchives);
    int fullMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(undisturbed).count());

    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // A life ends after up to 60% of an undisturbed install: every moment of
    // the archive being installed is met; a round lets the installer finish
    // after ten kills.
    std::uniform_int_distribution<int> delay(0, std::max(20, fullMs * 3 / 5));
    constexpr int kKillsPerRound = 10;

    int kills = 0, rounds = 0;
    for (int round = 0; round < 40 && kills < kMinKills; ++round) {
        ++rounds;
        ResetPharmacy5();
        for (int life = 0, inRound = 0; life < 200; ++life) {
            ChildProcess installer;
            ASSERT_TRUE(installer.Start([this] { return RunInstaller(); }));
            if (inRound >= kKillsPerRound) {
                ASSERT_TRUE(installer.WaitEnd(120000)) << "the installer did not finish";
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng)));
            }
            if (inRound < kKillsPerRound && installer.Alive()) {
                ++inRound;
                installer.Kill();
                ++kills;
                continue;
            }
            const int status = installer.Status();
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            break;
        }
        ASSERT_EQ(LastArchive(5), kArchives);
        for (const char* t : {"STOCK", "NOTES"}) {
            SCOPED_TRACE(t);
            ASSERT_EQ(TableRows(t, 5), TableRows(t, 6));
        }
        EXPECT_EQ(TableRows("STOCK_5", -1), TableRows("STOCK_6", -1));
    }
    EXPECT_GE(kills, kMinKills);
    RecordProperty("kills", kills);
    RecordProperty("rounds", rounds);
    std::printf("undisturbed install %d ms, %d kills over %d rounds\n", fullMs, kills, rounds);
    // Nothing is left to install: each archive carries the installed name, or
    // was deleted as installed when a kill came between commit and marking.
    for (int n = 1; n <= kArchives; ++n) EXPECT_FALSE(fs::exists(ArchivePath(n, 5))) << n;
}

}  // namespace
}  // namespace installer_test
