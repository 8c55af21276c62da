// The installer killed at random moments while it installs a series of
// archives: after it is started again and its passes finish, every central
// table holds exactly what one undisturbed install of the same archives
// gives.
#include "installer_fixture.h"

#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "core/format.h"
#include "replication/packet/packet_installer_service.h"
#include "support/child_process.h"

namespace installer_test {
namespace {

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
            Rows rows;
            int id = 1;
            for (int k = 0; k < 40; ++k) {
                int key = (n * 37 + k * 11) % 500 + 1;
                int op = k % 4 == 3 ? 3 : (key > 400 ? 1 : 2);
                items.push_back({id++, op, 1, key});
                rows.push_back(StockRow(key, Format("a%d_%d", {n, k}), n * 100 + k));
            }
            std::vector<Packet> a{ReplItems(items), Stock(rows)};
            if (n >= 3) {
                Rows notes;
                for (int k = 1; k <= 30; ++k) notes.push_back({I(k), S("note " + std::to_string(n))});
                std::vector<Item> more;
                for (int k = 1; k <= 30; ++k) more.push_back({id++, n == 3 ? 1 : 2, 2, k});
                a[0] = ReplItems([&] { auto all = items; all.insert(all.end(), more.begin(), more.end()); return all; }());
                a.push_back(Packet{"NOTES[1].xml", {{"ID", TFieldType::ftInteger}, {"TXT", TFieldType::ftString, 30}}, notes});
            }
            s.push_back(a);
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
        int rc = 3;
        try {
            TVantrellPacketInstallerService svc(env);
            env.ClockShift = 3600;  // every upload long settled
            SetPharmacies(std::vector<std::string>{"5|Five|p5"});
            rc = 2;
            for (int pass = 0; pass < 50; ++pass) {
                svc.CheckPackets();
                TDMBase dm;
                bool done = VarToIntDef(dm.GetScalar("SELECT last_archive_num FROM pharmacy WHERE id = 5"), 0) ==
                            kArchives;
                bool left = false;
                for (const auto& e : fs::directory_iterator(PharmFolder(5)))
                    if (e.path().extension() == ".rar") left = true;
                if (done && !left) { rc = 0; break; }
            }
        } catch (...) {
            rc = 4;
        }
        return rc;
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
