// The replication data service with the pharmacies of a real database: its
// two upload paths, FTP (driven by curl, lftp and a plain client) and the TCP
// frames, what both must do alike, what each does of its own, and how they
// come through a full disk, a failing rename or a vanished folder; its start
// and stop.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <thread>

#include "core/cp1251.h"
#include "core/format.h"
#include "core/env/env.h"
#include "core/env/pharmacy_directory.h"
#include "core/env/upload_registry.h"
#include "repl_data_fixture.h"
#include "support/private_db.h"

namespace fs = std::filesystem;

namespace {

bool FolderBusy(const std::string& folder) { return TEnv::Default().Uploads().IsFolderBusy(folder); }

// ---- Both paths alike (the parameter: the TCP path) ---------------------------

class UploadPaths : public ReplDataFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        ReplDataFixture::SetUp();
        Start(GetParam());
    }
    bool Upload(int pharm, const std::string& pass, const std::string& name, const std::string& bytes) {
        return ReplDataFixture::Upload(GetParam(), pharm, pass, name, bytes);
    }
};
INSTANTIATE_TEST_SUITE_P(FtpAndTcp, UploadPaths, ::testing::Bool());

// (Refused logins are the FTP accounts' and the TCP replies' tests.)
TEST_P(UploadPaths, ArchivesGoToTheOwnFolderMadeAgainAndALaterOneReplacesTheEarlier) {
    EXPECT_TRUE(Upload(7, "Pass7", "xml7.rar", std::string(5000, 'a'))) << lastOutput;
    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm0", "pharm3", "pharm7"}));
    EXPECT_FALSE(FolderBusy(Folder(7)));
    EXPECT_TRUE(Upload(7, "Pass7", "xml7.rar", "short"));
    EXPECT_EQ(Contents(7), "xml7.rar=short;");
    EXPECT_TRUE(Upload(7, "Pass7", "XML7.RAR", "upper"));
    // A deleted folder is made again.
    fs::remove_all(Folder(3));
    EXPECT_TRUE(Upload(3, "Secret3", "xml4.rar", "four")) << lastOutput;
    EXPECT_EQ(Contents(3) + Contents(7), "xml4.rar=four;XML7.RAR=upper;");
}

// Under each fault an upload is refused or left incomplete, the failure is
// logged once; once the fault is gone the archive arrives whole and once.
TEST_P(UploadPaths, FaultsOfTheDiskAndTheFolderLeaveNothingHalfDone) {
    const struct {
        const char* name;
        std::function<void(TFaultEnv&, const std::string& folder)> arm;
        const char* logged;
        bool tcpOnly;
    } faults[] = {
        {"the disk fills up half-way through a write", [](TFaultEnv& e, const std::string&) { e.DiskRoom = 5; },
         "Cannot write", false},
        {"the pharmacy's folder becomes read-only",
         [](TFaultEnv& e, const std::string& folder) {
             e.OpenFault = [folder](const std::string& p) { return p.rfind(folder, 0) == 0 && TFaultEnv::Fail(EACCES); };
         },
         "Permission denied", false},
        {"the pharmacy's folder disappears and cannot be made again",
         [](TFaultEnv& e, const std::string& folder) {
             fs::remove_all(folder);
             e.CreateFolderFault = [](const std::string&) { return TFaultEnv::Fail(EROFS); };
         },
         "Unable to create directory", false},
        {"the completed transfer file cannot be renamed",
         [](TFaultEnv& e, const std::string&) { e.RenameFault = [](auto&, auto&) { return TFaultEnv::Fail(EIO); }; },
         "Cannot rename", true},
    };
    const std::string archive = "0123456789abcdefghijklmnopqrstuvwxyz";
    int n = 0;
    for (const auto& f : faults) {
        if (f.tcpOnly && !GetParam()) continue;
        SCOPED_TRACE(f.name);
        std::string name = "xml" + std::to_string(++n) + ".rar";
        fs::create_directories(Folder(3));
        int before = LoggedCount(f.logged);
        f.arm(env, Folder(3));
        EXPECT_FALSE(Upload(3, "Secret3", name, archive));
        env.ClearFaults();
        EXPECT_EQ(LoggedCount(f.logged) - before, 1) << ::testing::PrintToString(Logs());
        EXPECT_TRUE(Upload(3, "Secret3", name, archive));
        EXPECT_EQ(TempDir::Read(PharmFile(3, name)), archive);
        EXPECT_FALSE(fs::exists(PharmFile(3, name + ".trf")));
    }
}

// ---- The FTP path -------------------------------------------------------------

class FtpPath : public ReplDataFixture {
protected:
    void SetUp() override {
        ReplDataFixture::SetUp();
        Start();
        port_ = srv->FtpPort();
        ASSERT_GT(port_, 0);
    }
    int Put(const std::string& path, const std::string& bytes, const std::string& options = "") {
        return CurlPut("pharm3", "Secret3", path, bytes, options);
    }
    int port_ = 0;
};

// Any folder is accepted and listed empty, its part of a path dropped, as are
// blanks around a name and slashes inside it (curl sends the whole path with
// STOR when told not to change folders).
TEST_F(FtpPath, AnyFolderIsAcceptedAndListedEmptyAndNamesAreCleaned) {
    std::string out;
    // curl changes into every folder of the path and lists the last one.
    EXPECT_EQ(RunCommand("curl -sS " + ShellQuote(Url("pharm3", "Secret3", "no/such/folder/")), &out), 0) << out;
    EXPECT_EQ(out, "");
    std::string src = work.Write("l.rar", "by lftp");
    std::string script = "set ftp:ssl-allow no; set net:max-retries 1; cd /somewhere/else; ls; put " +
                         ShellQuote(src) + " -o xml3.rar; ls; bye";
    EXPECT_EQ(RunCommand("lftp -u pharm3,Secret3 -p " + std::to_string(port_) + " -e " + ShellQuote(script) +
                             " 127.0.0.1",
                         &out),
              0)
        << out;
    EXPECT_EQ(out.find("xml"), std::string::npos) << out;  // nothing listed
    for (auto [path, options] : {std::pair{"deep/down/xml2.rar", ""}, {"%20%20xml8.rar%20", ""},
                                 {"in/xml15.rar", "--ftp-method nocwd"}, {"in%5Cxml16.rar", ""}})
        EXPECT_EQ(Put(path, path, options), 0) << lastOutput;
    EXPECT_EQ(Contents(3), "inxml15.rar=in/xml15.rar;inxml16.rar=in%5Cxml16.rar;xml2.rar=deep/down/xml2.rar;"
                           "xml3.rar=by lftp;xml8.rar=%20%20xml8.rar%20;");
}

TEST_F(FtpPath, AppendContinuesAnExistingFileAndIsRefusedForAMissingOne) {
    EXPECT_EQ(Put("xml7.rar", "first-"), 0);
    EXPECT_EQ(Put("xml7.rar", "second", "-a"), 0) << lastOutput;
    // The name is found whatever its letter case.
    EXPECT_EQ(Put("Xml7.Rar", "-third", "-a"), 0) << lastOutput;
    EXPECT_EQ(Contents(3), "xml7.rar=first-second-third;");

    log.Clear();
    EXPECT_NE(Put("xml8.rar", "nothing to continue", "-a"), 0);
    EXPECT_FALSE(fs::exists(PharmFile(3, "xml8.rar")));
    // The store is announced before the open that fails, and no stream follows.
    EXPECT_TRUE(Logged("Receiving file " + PharmFile(3, "xml8.rar") + " from pharm3(127.0.0.1)."));
    EXPECT_FALSE(Logged("After Stream Redirect!"));

    // Resuming an interrupted upload: curl asks the size, then appends the rest.
    std::string whole = std::string(3000, 'r') + "tail";
    EXPECT_EQ(Put("xml9.rar", whole.substr(0, 1000)), 0);
    EXPECT_EQ(Put("xml9.rar", whole, "-C -"), 0) << lastOutput;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml9.rar")), whole);
    EXPECT_TRUE(Logged("After Stream Redirect!"));
}

// Names that would leave the folder are refused or stay inside; sizes are
// given only for the own folder; a file being written is not written by
// another upload, and marks the folder busy meanwhile.
TEST_F(FtpPath, UploadsStayInTheOwnFolderAndAFileBeingWrittenIsLeftAlone) {
    TFtpTestClient c, b;
    c.Connect(port_);
    b.Connect(port_);
    ASSERT_EQ(c.Login("pharm3", "Secret3").Code, 230);
    ASSERT_EQ(b.Login("pharm3", "Secret3").Code, 230);
    for (std::string bad : {"..", ".", " / ", "\\..\\", " .. ", "x\x01y"}) {
        EXPECT_EQ(c.Command("EPSV").Code, 229);
        EXPECT_EQ(c.Command("STOR " + bad).Code, 550) << bad;
    }
    EXPECT_EQ(LoggedCount("Refused file name \"..\" from pharm3(127.0.0.1)."), 1);
    EXPECT_EQ(Put("%2E%2E/pharm7/xml2.rar", "mine too"), 0) << lastOutput;
    EXPECT_FALSE(FolderBusy(Folder(3)));
    int data = c.OpenPassive();
    ASSERT_GE(data, 0);
    c.Send("STOR ../pharm7/xml1.rar\r\n");
    EXPECT_EQ(c.ReadReply().Code, 150);
    SendAll(data, "mine");
    EXPECT_TRUE(FolderBusy(Folder(3)));
    EXPECT_FALSE(FolderBusy(Folder(7)));
    for (const char* cmd : {"STOR ..PHARM7XML1.RAR", "APPE ..pharm7xml1.rar"}) {
        EXPECT_EQ(b.Command("EPSV").Code, 229);
        EXPECT_EQ(b.Command(cmd).Code, 550) << cmd;
    }
    CloseFd(data);
    EXPECT_EQ(c.ReadReply().Code, 226);
    EXPECT_FALSE(FolderBusy(Folder(3)));
    EXPECT_EQ(Contents(3) + "|" + Contents(7), "..pharm7xml1.rar=mine;xml2.rar=mine too;|");

    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm0", "pharm3", "pharm7"}));

    std::ofstream(PharmFile(7, "xml9.rar")) << "seven's";
    EXPECT_EQ(c.Command("SIZE xml2.rar").Text, "213 8");
    EXPECT_EQ(c.Command("SIZE xml9.rar").Code, 550);
    EXPECT_EQ(c.Command("SIZE ../pharm7/xml9.rar").Code, 550);
}

// ---- The TCP path ---------------------------------------------------------------

class TcpPath : public ReplDataFixture {
protected:
    void SetUp() override {
        ReplDataFixture::SetUp();
        Start(true);
        port_ = srv->TcpPort();
        ASSERT_GT(port_, 0);
        client_ = std::make_unique<TUploadClient>(port_);
        ASSERT_TRUE(client_->Connected());
    }
    // The reply of pharmacy 3 to that request, as text.
    std::string Send3(const std::string& name, int32_t start, int32_t fileSize, const std::string& data = "") {
        return Exchange(*client_, *SendFileCommand(3, "Secret3", name, start, fileSize, data)).Text();
    }
    // Sends that and expects the position asked for next and whether the
    // archive is complete.
    void Step(const std::string& name, int32_t start, int32_t fileSize, const std::string& data, int64_t position,
              bool transfered) {
        EXPECT_EQ(Send3(name, start, fileSize, data),
                  std::to_string(position) + (transfered ? " done " : " ") + "CustomerAuthorized=1")
            << name << " from " << start;
    }

    int port_ = 0;
    std::unique_ptr<TUploadClient> client_;
};

// The first request asks for the size held; a refused login is answered
// with position 0 and the customer block saying so; what cannot be taken
// with -1.
TEST_F(TcpPath, RepliesSayWhereToGoOnAndWhetherTheCustomerIsAuthorized) {
    EXPECT_EQ(Send3("xml12.rar", -1, 1000), "0 CustomerAuthorized=1");
    const std::pair<int, const char*> refused[] = {{3, "Secret3  "}, {3, "secret3"}, {3, "SECRET3"}, {3, ""},
                                                   {3, "Pass7"},     {0, ""},        {99, "Secret3"}};
    for (auto [pharm, pass] : refused)
        EXPECT_EQ(Exchange(*client_, *SendFileCommand(pharm, pass, "xml9.rar", 0, 10, "0123456789")).Text(),
                  "0 CustomerAuthorized=0")
            << pass;
    EXPECT_FALSE(std::filesystem::exists(Folder(99)));

    // Names without a file part, damaged customer information, or a database
    // that cannot be reached: answered with -1, nothing written.
    for (const char* bad : {"", "C:\\out\\", "dir/", "..", ".", "a/..", "C:..", "x\x01.rar", "x\ny.rar"})
        EXPECT_EQ(Send3(bad, 0, 3, "abc"), "-1 CustomerAuthorized=1") << bad;
    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm0", "pharm3", "pharm7"}));
    EXPECT_EQ(LoggedCount("Send file request \"..\" failed: "), 1);

    auto c = SendFileCommand(3, "Secret3", "xml1.rar", 0, 2, "ok");
    c->CustomerInfoSize += 1;  // the block is not the size announced
    EXPECT_EQ(Exchange(*client_, *c).Text(), "-1 ");
    EXPECT_EQ(LoggedCount("Send file request \"xml1.rar\" failed: " +
                          Cp(u8"Грешка при получаване на данните за достъп на аптеката!\r")),
              1);
    auto empty = std::make_unique<TPharmServerSendFileCommand>();
    empty->PacketFileName = "xml1.rar";
    EXPECT_EQ(Exchange(*client_, *empty).Text(), "-1 ");

    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    EXPECT_EQ(Send3("xml1.rar", 0, 2, "ok"), "-1 ");
    EXPECT_EQ(Contents(3) + Contents(0), "");
}

// Transfers chunk by chunk: the chunks go to "<name>.trf", found whatever its
// letter case, which takes the archive's name when it is complete (replacing
// the old archive in any letter case); a chunk sent again replaces itself, one
// beyond the end is not taken, a transfer file longer than the archive starts
// over, an unknown size never completes, the folder part of a name is dropped.
TEST_F(TcpPath, ChunksBuildTheArchiveInItsTransferFile) {
    std::string bin;
    for (int i = 0; i < 1000; ++i) bin += static_cast<char>(i * 7 % 256);
    const std::string a(400, 'a'), b(400, 'b'), c(200, 'c'), abc = a + b + c;
    struct StepCase {
        std::string name;
        int32_t start, size;
        std::string data;
        int64_t position;
        bool done;
    };
    using Files = std::vector<std::pair<std::string, std::string>>;  // the folder before
    const struct {
        const char* what;
        Files before;
        std::vector<StepCase> steps;
        std::string after;  // as Contents gives it
    } cases[] = {
        {"three chunks",
         {{"xml12.rar", "old archive"}, {"XML12.RAR", "old archive in capitals"}},
         {{"C:\\out\\xml12.rar", -1, 1000, "", 0, false},
          {"C:\\out\\xml12.rar", 0, 1000, bin.substr(0, 400), 400, false},
          {"C:\\out\\xml12.rar", 400, 1000, bin.substr(400, 400), 800, false},
          {"C:\\out\\xml12.rar", 800, 1000, bin.substr(800), 1000, true},
          {"xml12.rar", -1, 1000, "", 0, false}},
         "xml12.rar=" + bin + ";"},
        {"a chunk sent again",
         {},
         {{"xml5.rar", 0, 1000, a, 400, false},
          {"xml5.rar", 400, 1000, b, 800, false},
          {"xml5.rar", 400, 1000, b, 800, false},
          {"xml5.rar", 800, 1000, c, 1000, true}},
         "xml5.rar=" + abc + ";"},
        {"a chunk beyond the end",
         {},
         {{"xml7.rar", 0, 1000, a, 400, false}, {"xml7.rar", 800, 1000, c, 400, false}},
         "xml7.rar.trf=" + a + ";"},
        {"a transfer file longer than the archive",
         {{"xml6.rar.trf", std::string(1200, 'x')}},
         {{"xml6.rar", -1, 1000, "", 0, false}, {"xml6.rar", 0, 1000, abc, 1000, true}},
         "xml6.rar=" + abc + ";"},
        {"an unknown size",
         {},
         {{"xml8.rar", 0, 0, a, 400, false}, {"xml8.rar", 400, 0, c, 600, false}, {"xml8.rar", -1, -5, "", 600, false}},
         "xml8.rar.trf=" + a + c + ";"},
        {"a transfer file in capitals",
         {{"XML16.RAR.trf", a}},
         {{"xml16.rar", -1, 600, "", 400, false}, {"xml16.rar", 400, 600, c, 600, true}},
         "xml16.rar=" + a + c + ";"},
        {"folder parts",
         {},
         {{"../pharm7/xml13.rar", 0, 3, "xyz", 3, true},
          {"..\\..\\xml14.rar", 0, 3, "xyz", 3, true},
          {"D:xml15.rar", 0, 3, "xyz", 3, true}},
         "xml13.rar=xyz;xml14.rar=xyz;xml15.rar=xyz;"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        fs::remove_all(Folder(3));
        fs::create_directories(Folder(3));
        for (const auto& [name, bytes] : k.before) std::ofstream(PharmFile(3, name)) << bytes;
        for (const StepCase& s : k.steps) Step(s.name, s.start, s.size, s.data, s.position, s.done);
        EXPECT_EQ(Contents(3), k.after);
        EXPECT_FALSE(FolderBusy(Folder(3)));
    }
    EXPECT_EQ(Contents(7), "");
}

// A transfer file longer than the archive (left by an earlier fault) is
// deleted as soon as the pharmacy asks where to go on from.
TEST_F(TcpPath, ATransferFileLongerThanTheArchiveIsDeletedWhenAsked) {
    std::ofstream(PharmFile(3, "xml6.rar.trf")) << std::string(1200, 'x');
    Step("xml6.rar", -1, 1000, "", 0, false);
    EXPECT_EQ(Contents(3), "");
}

// (Frame lengths are the TCP server's own tests'.)
TEST_F(TcpPath, BadFramesEndTheConnectionOtherCommandsGetNoReply) {
    client_->SendRaw(std::string("\0\0\0\x05hello", 9));  // not a component stream
    EXPECT_TRUE(client_->ClosedWithoutReply());
    // The server goes on serving; the first reply on a connection answers
    // the request after the other commands.
    client_ = std::make_unique<TUploadClient>(port_);
    TPharmServerRefreshDataCommand refresh;
    SetCommandCustomerLines(refresh, {"CustomerCode=3", "Password=Secret3"});
    client_->Send(refresh);
    TPharmServerLoginCommand login;
    SetCommandCustomerLines(login, {"CustomerCode=3", "Password=Secret3"});
    client_->Send(login);
    Step("xml1.rar", -1, 2, "", 0, false);
}

// Pharmacies upload at the same time, each on its own connection.
TEST_F(TcpPath, SeveralPharmaciesUploadAtOnce) {
    constexpr int kSize = 50000;
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            TUploadClient c(port_);
            const int id = k % 2 == 0 ? 3 : 7;
            const std::string pass = id == 3 ? "Secret3" : "Pass7", name = "xml" + std::to_string(20 + k) + ".rar";
            const std::string archive(kSize, static_cast<char>('a' + k));
            int64_t pos = Exchange(c, *SendFileCommand(id, pass, name, -1, kSize)).StartPosition;
            for (int i = 0; i < 20 && pos >= 0 && pos < kSize; ++i) {
                TReply r = Exchange(c, *SendFileCommand(id, pass, name, static_cast<int32_t>(pos), kSize,
                                                        archive.substr(static_cast<size_t>(pos), 5000)));
                pos = r.StartPosition;
                if (r.IsTransfered) ++done;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(done.load(), 4);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(TempDir::Read(PharmFile(k % 2 == 0 ? 3 : 7, "xml" + std::to_string(20 + k) + ".rar")),
                  std::string(kSize, static_cast<char>('a' + k)))
            << k;
}

// A chunk that finds the disk full is taken whole or not at all.
TEST_F(TcpPath, AChunkCutShortLeavesNothingOfItself) {
    ASSERT_FALSE(TcpUpload(3, "Secret3", "xml1.rar", std::string(36, 'z'), 2));  // the first chunk is in
    env.DiskRoom = 3;
    ASSERT_FALSE(TcpUpload(3, "Secret3", "xml1.rar", std::string(36, 'z'), 2));
    EXPECT_EQ(fs::file_size(PharmFile(3, "xml1.rar.trf")), 8u);
}

// ---- Start and stop: the pharmacy list, its folders and FTP accounts, the ports ----

using ReplDataServiceTest = ReplDataFixture;

// Every pharmacy gets its folder; an account only a line of exactly three
// parts with a password, under "pharm" + id, with its own password.
TEST_F(ReplDataServiceTest, StartMakesFoldersAndAccountsOfTheList) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (12, 'A|B', 'p12'), (13, 'Null pass', NULL)");
    Start();
    for (int id : {0, 3, 7, 12, 13}) EXPECT_TRUE(Logged("Create Folder " + Folder(id))) << id;
    EXPECT_EQ(Listing(rar.Path()), (std::vector<std::string>{"pharm0", "pharm12", "pharm13", "pharm3", "pharm7"}));
    std::string codes;  // of logins: the two accounts, then what has none
    for (auto [user, pass] : {std::pair{"pharm3", "Secret3"}, {"pharm7", "Pass7"}, {"pharm3", "Pass7"}, {"pharm0", ""},
                              {"pharm12", "p12"}, {"pharm13", ""}, {"pharm13", "NULL"}})
        codes += std::to_string(FtpLogin(user, pass)) + " ";
    EXPECT_EQ(codes, "230 230 530 530 530 530 530 ");
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

TEST_F(ReplDataServiceTest, NamesAndProperties) {
    EXPECT_EQ(srv->Name(), "ZorvelCentralServerSrv");
    EXPECT_EQ(srv->DisplayName(), "Vantrell ReplData Server");
    EXPECT_STREQ(srv->ClassName(), "TZorvelCentralServerSrv");
    EXPECT_FALSE(srv->AllowPause);
    EXPECT_TRUE(srv->Interactive);
    EXPECT_EQ(srv->ErrorSeverity, TErrorSeverity::esIgnore);
    EXPECT_EQ(srv->StartType, TStartType::stAuto);
}

// The list a start reads holds every row as "id|name|inet_pass" (a null
// password as empty text), can be read while it is read again, and is empty
// when the database cannot be reached.
TEST_F(ReplDataServiceTest, TheListHoldsEveryRowAndIsReadWhileItIsReloaded) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (12, 'A|B', 'p12'), (13, 'Null pass', NULL)");
    Start();
    auto sorted = [&] {
        auto l = env.Pharmacies().List();
        std::sort(l.begin(), l.end());
        return l;
    };
    EXPECT_EQ(sorted(), (std::vector<std::string>{"0|Central|", "12|A|B|p12", "13|Null pass|",
                                                  "3|Pharmacy Three|Secret3", "7|Pharmacy Seven|Pass7"}));
    for (const std::string& line : env.Pharmacies().List())
        EXPECT_EQ("/" + TPharmacyDirectory::FolderNameOf(line), Folder(std::stoi(line)).substr(rar.Path().size()));

    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (9, 'Nine', 'p9')");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 2000 && !done; ++i) {
            const size_t n = env.Pharmacies().List().size();
            EXPECT_TRUE(n == 5u || n == 6u) << n;
        }
    });
    for (int i = 0; i < 5; ++i) env.Pharmacies().Reload(env);
    done = true;
    reader.join();
    EXPECT_EQ(env.Pharmacies().List().size(), 6u);
    // Folder and account of the new pharmacy come with the next start.
    EXPECT_FALSE(fs::exists(Folder(9)));

    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    EXPECT_TRUE(env.Pharmacies().Load(env).empty());
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
        EXPECT_TRUE(Logged(c.logged) && fs::is_directory(Folder(3)));
        // The ports served and listened on; the port active-mode data comes from.
        EXPECT_EQ(Format("%d %d %d %d %d", {srv->FtpPort(), srv->TcpPort(), LoopbackListens(ftp) ? 1 : 0,
                                            LoopbackListens(tcp) ? 1 : 0, c.ftpActive ? ActiveDataSourcePort(ftp) : 0}),
                  Format("%d %d %d %d %d", {c.ftpActive ? ftp : 0, c.tcpActive ? tcp : 0, c.ftpActive ? 1 : 0,
                                            c.tcpActive ? 1 : 0, c.ftpActive ? tcp : 0}));
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
    const std::pair<bool, int> cases[] = {{false, busy}, {false, 65536 + 3053}, {true, busy}, {true, -1}, {true, 65536}};
    for (auto [secondary, port] : cases) {
        SCOPED_TRACE(port);
        SetOptions([&](TOptions& o) {
            o.UseSecondaryDataProtocol = secondary;
            (secondary ? o.PTPort2 : o.FileTransferPort) = port;
        });
        bool started = false;
        EXPECT_ANY_THROW(srv->ServiceStart(started));
        EXPECT_FALSE(started);
        EXPECT_EQ(srv->FtpPort() + srv->TcpPort(), 0);
    }
    EXPECT_EQ(LoggedCount("DataServer Activated!"), 0);
    CloseFd(fd);
}

// An empty list is retried until pharmacies appear.
TEST_F(ReplDataServiceTest, EmptyListIsRetriedUntilPharmaciesAppearOrAStopEndsTheStart) {
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

    // An unreachable database gives an empty list: the start waits for
    // pharmacies until a stop ends it.
    NewService({"127.0.0.1", 0, 0, 0, std::chrono::hours(1)});
    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    log.Clear();
    started = true;
    std::thread u([&] { srv->ServiceStart(started); });
    EXPECT_TRUE(WaitForLogged("No Users Found! Check the db connection!", 1));
    bool stopped = false;
    srv->ServiceStop(stopped);
    u.join();
    EXPECT_TRUE(stopped && !started);
    EXPECT_EQ(srv->FtpPort(), 0);
}

class TcpPathOutage : public OwnDbInstance, public TcpPath {};

TEST_F(TcpPathOutage, ChunksFailWhileTheDatabaseIsDownAndGoOnOnceItIsBack) {
    const std::string data = std::string(400, 'a') + std::string(400, 'b') + std::string(200, 'c');
    Step("xml4.rar", 0, 1000, data.substr(0, 400), 400, false);

    instance.Stop();
    // Refused (the login check cannot be made), answered, nothing written.
    EXPECT_EQ(Send3("xml4.rar", 400, 1000, data.substr(400, 400)), "-1 ");
    EXPECT_EQ(fs::file_size(PharmFile(3, "xml4.rar.trf")), 400u);

    instance.Start();
    // The same connection, the same running service.
    Step("xml4.rar", 400, 1000, data.substr(400, 400), 800, false);
    Step("xml4.rar", 800, 1000, data.substr(800), 1000, true);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml4.rar")), data);
}

}  // namespace
