// Start and stop of the replication data service: its pharmacy list, the
// folders and FTP accounts made from it, and the ports it listens on,
// against a real database.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <thread>

#include "repl_data_fixture.h"

namespace fs = std::filesystem;

namespace {

class ReplDataServiceTest : public ReplDataFixture {
protected:
    // Waits (a bounded number of times) until the log holds a message n times.
    bool WaitForLogged(const std::string& message, int n) {
        for (int i = 0; i < 500; ++i) {
            auto m = Logs();
            if (std::count(m.begin(), m.end(), message) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

// Every pharmacy gets its folder; an account only a line of exactly three
// parts with a password, under "pharm" + id, with its own password.
TEST_F(ReplDataServiceTest, StartMakesFoldersAndAccountsOfTheList) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (12, 'A|B', 'p12'), (13, 'Null pass', NULL)");
    Start();
    for (int id : {0, 3, 7, 12, 13}) {
        EXPECT_TRUE(fs::is_directory(Folder(id))) << id;
        EXPECT_TRUE(Logged("Create Folder " + Folder(id))) << id;
    }
    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm0", "pharm12", "pharm13", "pharm3", "pharm7"}));
    const struct {
        const char *user, *pass;
        int code;
    } logins[] = {{"pharm3", "Secret3", 230}, {"pharm7", "Pass7", 230},  {"pharm3", "Pass7", 530},
                  {"pharm0", "", 530},        {"pharm12", "p12", 530},   {"pharm13", "", 530}, {"pharm13", "NULL", 530},
                  {"PHARM3", "Secret3", 530}, {"pharm3", "secret3", 530}};
    for (const auto& l : logins) EXPECT_EQ(FtpLogin(l.user, l.pass), l.code) << l.user << "/" << l.pass;
    EXPECT_TRUE(Logged("Pharmacy 0 has no internet password: no FTP account and no uploads for it."));
    EXPECT_TRUE(Logged("DataServer Activated!"));
    EXPECT_EQ(srv->TcpPort(), 0);

    // A pharmacy added while the service runs gets its folder and account
    // with the next start, which finds the other folders there.
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (9, 'Nine', 'p9')");
    EXPECT_EQ(FtpLogin("pharm9", "p9"), 530);
    StopService();
    EXPECT_EQ(srv->FtpPort(), 0);
    log.Clear();
    Start();
    EXPECT_EQ(FtpLogin("pharm9", "p9"), 230);
    EXPECT_EQ(LoggedCount("Create Folder "), 1);
    EXPECT_TRUE(Logged("Create Folder " + Folder(9)));
}

// Active-mode data connections of a session: the port they come from.
int ActiveDataSourcePort(int ftpPort) {
    TFtpTestClient c;
    c.Connect(ftpPort);
    if (c.Login("pharm3", "Secret3").Code != 230) return -1;
    auto [lfd, lport] = ListenLoopback();
    c.Command("EPRT |1|127.0.0.1|" + std::to_string(lport) + "|");
    c.Send("STOR xml1.rar\r\n");
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int data = ::accept(lfd, reinterpret_cast<sockaddr*>(&peer), &len);
    CloseFd(data);
    CloseFd(lfd);
    return data < 0 ? -1 : ntohs(peer.sin_port);
}

// The FTP server listens on FileTransferPort with PTPort2 as its data port,
// the secondary protocol on PTPort2 alone, neither when the data server is
// blocked; the folders are made in every case.
TEST_F(ReplDataServiceTest, EachProtocolListensOnItsConfiguredPortOnly) {
    const struct {
        const char* logged;
        bool blocked, secondary, ftpActive, tcpActive;
    } cases[] = {{"DataServer Activated!", false, false, true, false},
                 {"DataServer Disabled!", true, false, false, false},
                 {"DataServer Activated! Secondary Protocol...", false, true, false, true}};
    NewService({"127.0.0.1"});
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
        fs::remove_all(Folder(3));
        Start();
        EXPECT_TRUE(Logged(c.logged));
        EXPECT_EQ(srv->FtpPort(), c.ftpActive ? ftp : 0);
        EXPECT_EQ(srv->TcpPort(), c.tcpActive ? tcp : 0);
        EXPECT_EQ(LoopbackListens(ftp), c.ftpActive);
        EXPECT_EQ(LoopbackListens(tcp), c.tcpActive);
        if (c.ftpActive) {
            EXPECT_EQ(ActiveDataSourcePort(ftp), tcp);
        }
        EXPECT_TRUE(fs::is_directory(Folder(3)));
        StopService();
    }
    // A data port of 0 in the listening settings: one of the system's choosing.
    NewService();
    const int ptPort2 = FreeLoopbackPort();
    SetOptions([&](TOptions& o) { o.PTPort2 = ptPort2; });
    Start();
    const int from = ActiveDataSourcePort(srv->FtpPort());
    EXPECT_GT(from, 0);
    EXPECT_NE(from, ptPort2);
}

// A busy port, or one outside the valid range (65536 + 3053 would otherwise
// wrap round to 3053), fails the start of either server.
TEST_F(ReplDataServiceTest, APortThatCannotBeOpenedFailsTheStart) {
    auto [fd, busy] = ListenLoopback();
    NewService({"127.0.0.1", -1, -1, 0});
    const struct {
        bool secondary;
        int port;
        bool outOfRange;
    } cases[] = {{false, busy, false}, {false, 65536 + 3053, true}, {true, busy, false}, {true, -1, true},
                 {true, 65536, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        SetOptions([&](TOptions& o) {
            o.UseSecondaryDataProtocol = c.secondary;
            (c.secondary ? o.PTPort2 : o.FileTransferPort) = c.port;
        });
        bool started = false;
        if (c.outOfRange) {
            EXPECT_THROW(srv->ServiceStart(started), EInOutError);
        } else {
            EXPECT_ANY_THROW(srv->ServiceStart(started));
        }
        EXPECT_FALSE(started);
        EXPECT_EQ(srv->FtpPort() + srv->TcpPort(), 0);
    }
    EXPECT_FALSE(LoggedStart("DataServer Activated!"));
    CloseFd(fd);
}

TEST_F(ReplDataServiceTest, EmptyListIsRetriedUntilPharmaciesAppear) {
    db.Exec("DELETE FROM pharmacy");
    bool started = false;
    std::thread t([&] { srv->ServiceStart(started); });
    EXPECT_TRUE(WaitForLogged("No Users Found! Check the db connection!", 2));
    EXPECT_EQ(srv->FtpPort(), 0);
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (5, 'Five', 'p5')");
    t.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(FtpLogin("pharm5", "p5"), 230);
    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm5"}));
}

// An unreachable database gives an empty list: the start waits for
// pharmacies until a stop ends it.
TEST_F(ReplDataServiceTest, StopEndsAStartThatWaitsForPharmacies) {
    NewService({"127.0.0.1", 0, 0, 0, std::chrono::hours(1)});
    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    bool started = true;
    std::thread t([&] { srv->ServiceStart(started); });
    EXPECT_TRUE(WaitForLogged("No Users Found! Check the db connection!", 1));
    bool stopped = false;
    srv->ServiceStop(stopped);
    t.join();
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(started);
    EXPECT_EQ(srv->FtpPort(), 0);
}

// The list is shared with the installer: readers never see it half made.
TEST_F(ReplDataServiceTest, ListCanBeReadWhileItIsReloaded) {
    Start();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 2000 && !done; ++i) {
            auto copy = env.Pharmacies().List();
            EXPECT_TRUE(copy.size() == 3u || copy.size() == 4u);
        }
    });
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (9, 'Nine', 'p9')");
    for (int i = 0; i < 5; ++i) env.Pharmacies().Reload(env);
    done = true;
    reader.join();
    EXPECT_EQ(env.Pharmacies().List().size(), 4u);
}

}  // namespace
