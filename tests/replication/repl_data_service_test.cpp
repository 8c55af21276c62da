// Start and stop of the replication data service and its pharmacy list,
// against a real database.
#include <gtest/gtest.h>

#include <thread>

#include "support/ftp_test_client.h"
#include "repl_data_fixture.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Waits (a bounded number of times) until the log holds a message n times.
bool WaitForLogged(const TestLog& log, const std::string& message, int n) {
    for (int i = 0; i < 500; ++i) {
        auto m = log.Messages("TZorvelCentralServerSrv");
        if (std::count(m.begin(), m.end(), message) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class ReplDataServiceTest : public ReplDataFixture {};

TEST_F(ReplDataServiceTest, NamesAndProperties) {
    EXPECT_EQ(srv->Name(), "ZorvelCentralServerSrv");
    EXPECT_EQ(srv->DisplayName(), "Vantrell ReplData Server");
    EXPECT_STREQ(srv->ClassName(), "TZorvelCentralServerSrv");
    EXPECT_FALSE(srv->AllowPause);
    EXPECT_TRUE(srv->Interactive);
    EXPECT_EQ(srv->ErrorSeverity, TErrorSeverity::esIgnore);
}

TEST_F(ReplDataServiceTest, StartBuildsListFoldersAndAccounts) {
    Start();
    EXPECT_EQ(Sorted(srv->GetUserListCopy()),
              (std::vector<std::string>{"0|Central|", "3|Pharmacy Three|Secret3", "7|Pharmacy Seven|Pass7"}));
    for (int id : {0, 3, 7}) {
        EXPECT_TRUE(fs::is_directory(Folder(id))) << id;
        EXPECT_TRUE(Logged("Create Folder " + Folder(id))) << id;
    }
    auto accounts = srv->IdUserManager().Accounts();
    ASSERT_EQ(accounts.size(), 2u);
    TFtpUserAccount a;
    ASSERT_TRUE(srv->IdUserManager().FindUser("pharm3", a));
    EXPECT_EQ(a.Password, "Secret3");
    EXPECT_EQ(a.RealName, "Pharmacy Three");
    ASSERT_TRUE(srv->IdUserManager().FindUser("pharm7", a));
    EXPECT_EQ(a.Password, "Pass7");
    // The central pseudo-pharmacy has no password: no account, one log line.
    EXPECT_FALSE(srv->IdUserManager().FindUser("pharm0", a));
    EXPECT_TRUE(Logged("Pharmacy 0 has no internet password: no FTP account and no uploads for it."));

    EXPECT_TRUE(Logged("DataServer Activated!"));
    EXPECT_TRUE(srv->IdFTPServer().Active());
    EXPECT_FALSE(srv->IdTCPServer().Active());

    auto list = srv->GetUserListCopy();
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(srv->GetUserFolderName(i), "pharm" + list[i].substr(0, list[i].find('|')));
    EXPECT_THROW(srv->GetUserFolderName(list.size()), EListError);

    // A second start finds the folders there and logs no creation.
    bool stopped = false;
    srv->ServiceStop(stopped);
    EXPECT_FALSE(srv->IdFTPServer().Active());
    log.Clear();
    Start();
    EXPECT_FALSE(LoggedStart("Create Folder "));
    EXPECT_TRUE(srv->IdFTPServer().Active());
}

TEST_F(ReplDataServiceTest, LinesWithoutThreePartsGetAFolderButNoAccount) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (12, 'A|B', 'p12'), (13, 'Null pass', NULL)");
    Start();
    EXPECT_TRUE(fs::is_directory(Folder(12)));
    EXPECT_TRUE(fs::is_directory(Folder(13)));
    TFtpUserAccount a;
    EXPECT_FALSE(srv->IdUserManager().FindUser("pharm12", a));
    EXPECT_FALSE(srv->IdUserManager().FindUser("pharm13", a));
    auto list = srv->GetUserListCopy();
    EXPECT_NE(std::find(list.begin(), list.end(), "13|Null pass|"), list.end());
    EXPECT_NE(std::find(list.begin(), list.end(), "12|A|B|p12"), list.end());
}

// The FTP server listens on FileTransferPort with PTPort2 as its data port,
// the secondary protocol on PTPort2 alone, neither when the data server is
// blocked; the list, the folders and the accounts are built in every case.
TEST_F(ReplDataServiceTest, EachProtocolListensOnItsConfiguredPortOnly) {
    const struct {
        const char* logged;
        bool blocked, secondary, ftpActive, tcpActive;
    } cases[] = {{"DataServer Activated!", false, false, true, false},
                 {"DataServer Disabled!", true, false, false, false},
                 {"DataServer Activated! Secondary Protocol...", false, true, false, true}};
    srv->SetPortOverrides(-1, -1, -1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        int ftp = FreeLoopbackPort(), tcp = FreeLoopbackPort();
        SetOptions([&](TOptions& o) {
            o.BlockDataServer = c.blocked;
            o.UseSecondaryDataProtocol = c.secondary;
            o.FileTransferPort = ftp;
            o.PTPort2 = tcp;
        });
        log.Clear();
        Start();
        EXPECT_TRUE(Logged(c.logged));
        EXPECT_EQ(srv->IdFTPServer().Active(), c.ftpActive);
        EXPECT_EQ(srv->IdTCPServer().Active(), c.tcpActive);
        EXPECT_EQ(LoopbackListens(ftp), c.ftpActive);
        EXPECT_EQ(LoopbackListens(tcp), c.tcpActive);
        if (c.ftpActive) {
            EXPECT_EQ(srv->IdFTPServer().BoundPort(), ftp);
            EXPECT_EQ(srv->IdFTPServer().DefaultDataPort, tcp);
        }
        if (c.tcpActive) {
            EXPECT_EQ(srv->IdTCPServer().Port(), tcp);
        }
        EXPECT_TRUE(fs::is_directory(Folder(3)));
        EXPECT_EQ(srv->IdUserManager().Count(), 2u);
        bool stopped = false;
        srv->ServiceStop(stopped);
    }
}

TEST_F(ReplDataServiceTest, BusyPortFailsTheStart) {
    auto [fd, port] = ListenLoopback();
    srv->SetPortOverrides(-1, -1, 0);
    SetOptions([&](TOptions& o) { o.FileTransferPort = port; });
    bool started = false;
    EXPECT_ANY_THROW(srv->ServiceStart(started));
    EXPECT_FALSE(started);
    EXPECT_FALSE(srv->IdFTPServer().Active());
    CloseFd(fd);
}

TEST_F(ReplDataServiceTest, PortsOutsideTheValidRangeFailTheStart) {
    // 65536 + 3053 would otherwise wrap round to 3053.
    srv->SetPortOverrides(-1, -1, 0);
    SetOptions([&](TOptions& o) { o.FileTransferPort = 65536 + 3053; });
    bool started = false;
    EXPECT_THROW(srv->ServiceStart(started), EInOutError);
    EXPECT_FALSE(srv->IdFTPServer().Active());
    SetOptions([&](TOptions& o) {
        o.UseSecondaryDataProtocol = true;
        o.PTPort2 = -1;
    });
    EXPECT_THROW(srv->ServiceStart(started), EInOutError);
    EXPECT_FALSE(started);
    EXPECT_FALSE(srv->IdTCPServer().Active());
    EXPECT_FALSE(Logged("DataServer Activated!"));
    EXPECT_FALSE(Logged("DataServer Activated! Secondary Protocol..."));
}

TEST_F(ReplDataServiceTest, EmptyListIsRetriedUntilPharmaciesAppear) {
    db.Exec("DELETE FROM pharmacy");
    bool started = false;
    std::thread t([&] { srv->ServiceStart(started); });
    EXPECT_TRUE(WaitForLogged(log, "No Users Found! Check the db connection!", 2));
    EXPECT_FALSE(srv->IdFTPServer().Active());
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (5, 'Five', 'p5')");
    t.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(srv->GetUserListCopy(), (std::vector<std::string>{"5|Five|p5"}));
    EXPECT_TRUE(srv->IdFTPServer().Active());
}

TEST_F(ReplDataServiceTest, StopEndsAStartThatWaitsForPharmacies) {
    srv->SetRetryDelay(std::chrono::hours(1));
    db.Exec("DELETE FROM pharmacy");
    bool started = true;
    std::thread t([&] { srv->ServiceStart(started); });
    EXPECT_TRUE(WaitForLogged(log, "No Users Found! Check the db connection!", 1));
    bool stopped = false;
    srv->ServiceStop(stopped);
    t.join();
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(started);
    EXPECT_FALSE(srv->IdFTPServer().Active());
}

TEST_F(ReplDataServiceTest, UnreachableDatabaseGivesAnEmptyList) {
    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    EXPECT_TRUE(srv->LoadPharmacyUsers().empty());
    srv->ReloadUserList();
    EXPECT_TRUE(srv->GetUserListCopy().empty());
}

TEST_F(ReplDataServiceTest, ReloadReplacesTheListOnly) {
    Start();
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (9, 'Nine', 'p9')");
    EXPECT_EQ(srv->GetUserListCopy().size(), 3u);
    srv->ReloadUserList();
    auto list = srv->GetUserListCopy();
    EXPECT_EQ(list.size(), 4u);
    EXPECT_NE(std::find(list.begin(), list.end(), "9|Nine|p9"), list.end());
    // Folder and account come with the next start.
    EXPECT_FALSE(fs::exists(Folder(9)));
    TFtpUserAccount a;
    EXPECT_FALSE(srv->IdUserManager().FindUser("pharm9", a));
    // A copy is the caller's own.
    list.clear();
    EXPECT_EQ(srv->GetUserListCopy().size(), 4u);
}

TEST_F(ReplDataServiceTest, ListCanBeReadWhileItIsReloaded) {
    Start();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 2000 && !done; ++i) {
            auto copy = srv->GetUserListCopy();
            EXPECT_TRUE(copy.size() == 3u || copy.size() == 4u);
        }
    });
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (9, 'Nine', 'p9')");
    for (int i = 0; i < 5; ++i) srv->ReloadUserList();
    done = true;
    reader.join();
    srv->LockUserList();
    srv->UnlockUserList();
    EXPECT_EQ(srv->GetUserListCopy().size(), 4u);
}

}  // namespace
