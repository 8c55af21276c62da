// The installation pass when a file, the extractor, the database connection
// or the clock fails in the middle of an archive: the archive is installed
// whole exactly once, at the latest by the first pass after the fault.
#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "installer_fixture.h"
#include "replication/packet/packet_installer_service.h"

namespace installer_test {
namespace {

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
    std::vector<std::string> Logs() {
        std::vector<std::string> all = log.Messages("TArchiveInstallerNoThread");
        for (const std::string& l : log.Messages("TVantrellPacketInstallerService")) all.push_back(l);
        return all;
    }

    TVantrellPacketInstallerService svc{env};
    int extractions = 0;
};

int Count(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

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
        int before = Count(Logs(), f.Logged);
        f.Arm(env, db);
        svc.CheckPackets();
        EXPECT_EQ(LastArchive(), f.LastAfterFault);
        EXPECT_EQ(Count(Logs(), f.Logged) - before, 1);

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

}  // namespace
}  // namespace installer_test
