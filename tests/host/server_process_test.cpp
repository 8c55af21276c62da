// The whole server as a child process: the real application with the three
// real services against a private database, configured by the file of its
// base folder. Undisturbed, it catches wiring between the parts (the
// configuration each service reads, the pharmacy list the installer borrows,
// the shared log, the installer's first pass inside its start, a clean stop on
// SIGTERM). Killed (SIGKILL) at random moments while pharmacies upload by FTP
// or TCP (the lives alternate), the installer applies the archives and the
// pharmacies take, confirm and propose catalogue requests, then started again
// with files made old as after a long outage while the pharmacies go on as
// their clients do: at the end every archive is installed once and whole, and
// every request is closed, in order, with every pharmacy.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "core/app_paths.h"
#include "core/env/posix_env.h"
#include "core/ini_file.h"
#include "core/process.h"
#include "host/service_application.h"
#include "host/service_factory.h"
#include "nomsync/article_test_util.h"
#include "nomsync/nom_sync_service.h"
#include "nomsync/nomsync_test_util.h"
#include "nomsync/supplier.h"
#include "replication/installer_fixture.h"
#include "replication/repl_data_fixture.h"
#include "support/child_process.h"
#include "support/ftp_test_client.h"
#include "support/loopback.h"
#include "support/scoped_env.h"
#include "support/shell.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace fs = std::filesystem;
using namespace nomsync_test;
using installer_test::Item;
using installer_test::Packet;

namespace {

// Polls cond every few milliseconds until it holds or the time is up;
// whether it held. Only a bound: nothing depends on how fast it holds.
template <class F>
bool WaitUntil(F cond, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Whether process pid holds a listening TCP socket (IPv4 or IPv6) on the
// port: the socket inodes of /proc/net/tcp* against the process's descriptors.
inline bool ProcessListensOn(pid_t pid, int port) {
    std::set<std::string> held;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        held.insert(std::filesystem::read_symlink(e.path(), ec).string());
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, sl, local, remote, state, skip;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream f(line);
            if (!(f >> sl >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> skip)) continue;
            const size_t colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoi(local.substr(colon + 1), nullptr, 16) == port && held.count("socket:[" + skip + "]"))
                return true;
        }
    }
    return false;
}

// The server program as the child runs it: the program's main with the
// three real services (the catalogue service on nomSyncPort), its output
// appended to a file, and the end main has (static objects go, leaks are
// checked).
[[noreturn]] inline void RunServerProgram(const std::string& outputFile, int nomSyncPort) {
    int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
    }
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 99;
    try {
        TServiceApplication app([nomSyncPort] {
            auto services = CreateServices();
            for (auto& s : services)
                if (s->Name() == "ZorvelCentralNomSyncServerSrv")
                    s = std::make_unique<TZorvelCentralNomSyncServerSrv>(static_cast<uint16_t>(nomSyncPort));
            return services;
        });
        rc = app.Run(std::vector<std::string>{});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "escaped: %s\n", e.what());
    }
    std::fflush(nullptr);
    std::exit(rc);
}

// The whole server as a test's child process: a base folder with its
// configuration file, a private database, the extractor built beside the
// tests, ports of its own, its output in a file of the base folder.
class ServerChild : public ::testing::Test {
protected:
    ServerChild() {
        PickPorts();
        DefaultPosixEnv().SetExtractor(
            (std::filesystem::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string(),
            kExecDefaultTimeout);
    }
    ~ServerChild() override {
        server_.Kill();  // a failed test leaves no server behind
        DefaultPosixEnv().SetExtractor("", kExecDefaultTimeout);
    }

    void PickPorts() {
        ftpPort_ = FreeLoopbackPort();
        do dataPort_ = FreeLoopbackPort();
        while (dataPort_ == ftpPort_);
        do nomSyncPort_ = FreeLoopbackPort();
        while (nomSyncPort_ == ftpPort_ || nomSyncPort_ == dataPort_);
    }
    // The configuration file: the test database, FileTransferPort and PTPort2,
    // then the lines of `more` ("Key=value\r\n" each).
    void WriteConfig(int fileTransferPort, int ptPort2, const std::string& more = "") {
        auto o = db.Options();
        base_.Write("vantrell_config.ini", "[Main]\r\nServerName=127.0.0.1\r\nDataBaseName=" + o->DataBaseName +
                                               "\r\nUserName=" + o->UserName + "\r\nPassword=" + o->Password +
                                               "\r\nFileTransferPort=" + std::to_string(fileTransferPort) +
                                               "\r\nPTPort2=" + std::to_string(ptPort2) + "\r\n" + more);
    }
    // Forks the server and waits until it listens on `uploadPort` and the
    // catalogue port; false when it did not (or ended first).
    bool Start(int uploadPort) {
        const std::string output = outputFile_;
        const int nomSync = nomSyncPort_;
        if (!server_.Start([output, nomSync]() -> int { RunServerProgram(output, nomSync); })) return false;
        return WaitWhileRunning([&] {
            return ProcessListensOn(server_.Pid(), uploadPort) && ProcessListensOn(server_.Pid(), nomSyncPort_);
        });
    }
    // Waits for cond while the child runs; false when the time is up or the
    // child ended first.
    template <class F>
    bool WaitWhileRunning(F cond) {
        bool ok = WaitUntil([&] { return cond() || !server_.Alive(); });
        return ok && server_.Alive() && cond();
    }
    std::string Output() const {
        return std::filesystem::exists(outputFile_) ? TempDir::Read(outputFile_) : "";
    }
    // Sets the times of every file under folder back, as of files uploaded
    // long ago (the installer leaves a folder alone while a file is fresh).
    static void MakeOld(const std::string& folder) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            fs::last_write_time(it->path(), fs::file_time_type::clock::now() - std::chrono::minutes(10), ec);
    }

    TempDir base_;
    ScopedEnv baseEnv_{"VT_BASE_DIR", base_.Path()};
    TestDatabase db;
    ChildProcess server_;
    int ftpPort_ = 0, dataPort_ = 0, nomSyncPort_ = 0;
    std::string outputFile_ = base_.File("server_output.txt");
};

// ---- The whole process, undisturbed ------------------------------------------
constexpr int kPharm = 4;
const char* const kPharmPassword = "Pass-4";

class ServerProcess : public ServerChild {
protected:
    std::string PharmFolder() const { return base_.File("Archives/pharm" + std::to_string(kPharm)); }

    // Every line of the base folder's daily logs.
    std::string LogText() const {
        std::vector<std::string> files;
        for (const auto& e : fs::directory_iterator(base_.Path()))
            if (e.path().extension() == ".log") files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
        std::string text;
        for (const auto& f : files) text += TempDir::Read(f);
        return text;
    }
    bool Logged(const std::string& part) const { return LogText().find(part) != std::string::npos; }

    // curl's exit code and output for an upload of file as pharm4 with the password.
    std::string Curl(const std::string& file, const std::string& password, const std::string& name) {
        std::string out;
        int rc = RunCommand("curl -sS --max-time 60 -T " + ShellQuote(file) + " ftp://pharm4:" + password +
                                "@127.0.0.1:" + std::to_string(ftpPort_) + "/" + name,
                            &out);
        return std::to_string(rc) + (out.empty() ? "" : ": " + out);
    }
};

TEST_F(ServerProcess, InstallsReceivesAnswersAndStopsOnSigterm) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass, last_archive_num) VALUES (4, 'Four', 'Pass-4', 0)");
    WriteConfig(ftpPort_, dataPort_, "UseDebugMode=1\r\n");
    fs::create_directories(PharmFolder());
    const std::string archive = PharmFolder() + "/xml1.rar";
    using namespace installer_test;
    std::ofstream(archive) << ArchiveOf({ReplTables({{1, "STOCK"}}), Stock({StockRow(1, "one", 10), StockRow(2, "two", 20)})});
    MakeOld(PharmFolder());
    ASSERT_TRUE(Start(ftpPort_)) << "the server did not start\n" << Output() << LogText();

    // The installer's first pass (inside its start) installs archive 1.
    bool installed = WaitWhileRunning([&] {
        return db.ScalarInt("SELECT last_archive_num FROM pharmacy WHERE id = 4") == 1 &&
               fs::exists(archive + ".inst") && !fs::exists(archive);
    });
    ASSERT_TRUE(installed) << "archive 1 not installed\n" << Output() << LogText();
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(CONCAT_WS(':', ID, NAME, QTY) ORDER BY ID) FROM STOCK "
                           "WHERE PHARM_ID = 4"),
              "1:one:10,2:two:20");
    EXPECT_TRUE(Logged("[TVantrellPacketInstallerService]")) << LogText();

    // An upload through the configured FTP port lands in the pharmacy's folder.
    std::string upload = base_.Write("upload.rar", "the bytes of archive 2");
    EXPECT_EQ(Curl(upload, kPharmPassword, "xml2.rar"), "0");
    std::string landed = PharmFolder() + "/xml2.rar";
    EXPECT_TRUE(WaitWhileRunning([&] {
        return fs::exists(landed) && TempDir::Read(landed) == "the bytes of archive 2";
    })) << Output();

    {
        // A supplier proposed by the pharmacy on the catalogue service's
        // configured port is stored and staged.
        TSupplier s(nullptr);
        s.SetSticker("P4");
        s.SetName("Supplier of pharmacy 4");
        PharmClient c(nomSyncPort_);
        auto r = Ask<TPharmServerNomActualizationResult>(c, *MakeActualization(
            kPharm, kPharmPassword, s, TNomObjectType::notSupplier, TNomObjectActualizationType::noatInsert));
        EXPECT_EQ(std::to_string(r->RequestProceeded) + r->RequestProcessError, "1");
        ASSERT_GT(r->ActionRequestID, 0);
        // The supplier, the request (kind, action, pharmacy) and the staged copy.
        EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', (SELECT NAME FROM SUPPLIER WHERE STICKER = 'P4'), "
                                      "CONCAT(NOM_ID, ACTION_ID, PHARM_ID), (SELECT COUNT(*) FROM "
                                      "NOM_UPDATE_SUPPLIER WHERE STICKER = 'P4' AND ACTION_REQUEST_ID = ID)) "
                                      "FROM ACTION_REQUEST WHERE ID = %d",
                                      {r->ActionRequestID})),
                  "Supplier of pharmacy 4|314|1");
    }
    {
        // In debug mode an undecodable frame is logged by the service.
        PharmClient c(nomSyncPort_);
        c.SendRaw(FrameHeader(9) + "not-a-TPF");
        EXPECT_TRUE(c.ClosedByServer(30000));
    }
    EXPECT_TRUE(WaitWhileRunning([&] { return Logged("[TZorvelCentralNomSyncServerSrv]"); })) << LogText();
    {
        // An article proposal is applied at once and staged.
        PharmClient c(nomSyncPort_);
        TArticle a(nullptr);
        FillArticle(a, "Process", "P-1", "NZP");
        auto r = Ask<TPharmServerNomActualizationResult>(c, *MakeActualization(
            kPharm, kPharmPassword, a, TNomObjectType::notArticle, TNomObjectActualizationType::noatInsert));
        EXPECT_EQ(std::to_string(r->RequestProceeded) + r->RequestProcessError, "1");
        EXPECT_EQ(db.ScalarInt("SELECT NOM_KEY FROM ACTION_REQUEST"), db.ScalarInt("SELECT ID FROM ARTICLE"));
        EXPECT_EQ(db.ScalarInt(Format("SELECT COUNT(*) FROM NOM_UPDATE_ARTICLE WHERE ACTION_REQUEST_ID = %d",
                                      {r->ActionRequestID})),
                  1);
        EXPECT_EQ(db.ScalarStr("SELECT NAME FROM ARTICLE"), "Process");
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM MEASURE WHERE ARTICLE_ID > 0"), 3);
    }

    // SIGTERM: every service stops and the process ends with 0.
    ASSERT_EQ(::kill(server_.Pid(), SIGTERM), 0);
    ASSERT_TRUE(WaitUntil([&] { return !server_.Alive(); })) << "the server did not end after SIGTERM";
    const int status = server_.Status();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << "\n"
                                   << Output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << Output();
    EXPECT_EQ(Output().find("Service failed"), std::string::npos) << Output();
    for (int port : {ftpPort_, dataPort_, nomSyncPort_}) EXPECT_FALSE(LoopbackListens(port)) << port;

    // The configuration file: the given keys kept, the missing ones added.
    TIniFile ini(base_.File("vantrell_config.ini"));
    EXPECT_EQ(ini.ReadSection("Main").size(), 20u);
    std::string values;
    for (const char* k :
         {"FileTransferPort", "PTPort2", "DataBaseName", "UseDebugMode", "PacketInstallCheckPeriodInMins"})
        values += ini.ReadString("Main", k, "") + "|";
    EXPECT_EQ(values, std::to_string(ftpPort_) + "|" + std::to_string(dataPort_) + "|" + db.Name() + "|1|10|");

    // The day's log holds lines of each service.
    for (std::string part : {std::string("[TZorvelCentralServerSrv] DataServer Activated!"),
                             std::string("[TArchiveInstallerNoThread]"), std::string("[TZorvelCentralNomSyncServerSrv]"),
                             "Receiving file " + PharmFolder() + "/xml2.rar from pharm4(127.0.0.1)."})
        EXPECT_TRUE(Logged(part)) << part << "\n" << LogText();
}

// ---- Killed at random moments ------------------------------------------------
constexpr int kKills = 22;
constexpr int kRows = 60;     // rows of every archive: some 4 KiB
constexpr size_t kChunk = 1024;
const std::vector<int> kFtpPharms{1, 2}, kTcpPharms{3, 4};
const std::vector<Pharmacy> kPharms{{1, "pass-1"}, {2, "pass-2"}, {3, "pass-3"}, {4, "pass-4"}};

// Archive 1 carries the initial rows, every later one updates every row.
std::string ArchiveBytes(int n) {
    installer_test::Rows rows;
    std::vector<Item> items;
    for (int id = 1; id <= kRows; ++id) {
        rows.push_back(installer_test::StockRow(id, Format("a%d_%d", {n, id}), n));
        items.push_back({id, 2, 1, id});
    }
    return installer_test::ArchiveOf({n == 1 ? installer_test::ReplTables({{1, "STOCK"}}) : installer_test::ReplItems(items),
                                      installer_test::Stock(rows)});
}

class MixedCrash : public ServerChild {
protected:
    MixedCrash() {
        SeedPharmacies(db, 4);
        db.Exec("UPDATE pharmacy SET last_archive_num = 0");
        db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (1, 'seed')");
    }
    ~MixedCrash() override { Stop(); }

    std::string Folder(int pharm) const { return base_.File("Archives/pharm" + std::to_string(pharm)); }

    // Makes every uploaded file old, writes the configuration of the life
    // (FTP or TCP on the one upload port), starts the server and waits until
    // it listens on both ports; again on other ports when another process
    // took one of them.
    bool Restart(bool tcp) {
        for (int tries = 0; tries < 3; ++tries) {
            MakeOld(base_.File("Archives"));
            WriteConfig(ftpPort_, ftpPort_, std::string("UseSecondaryDataProtocol=") + (tcp ? "1" : "0") + "\r\n");
            if (Start(ftpPort_)) return true;
            server_.Kill();
            PickPorts();
        }
        return false;
    }

    // The pharmacies of the life: uploaders of its protocol, every
    // pharmacy's catalogue client, and (while proposing) one proposer.
    void Run(bool tcp, bool proposing) {
        stop_ = false;
        for (int p : tcp ? kTcpPharms : kFtpPharms)
            threads_.emplace_back([this, p, tcp] { Uploader(kPharms[p - 1], tcp); });
        for (const Pharmacy& ph : kPharms) threads_.emplace_back([this, ph] { Catalogue(ph); });
        if (proposing) threads_.emplace_back([this] { Proposer(kPharms[0]); });
    }
    void Stop() {
        server_.Kill();
        stop_ = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    bool UploadsDone(const std::vector<int>& pharms) {
        for (int p : pharms)
            if (next_[p] <= last_[p]) return false;
        return true;
    }
    // The bytes of archive n (the same for every pharmacy).
    const std::string& Archive(int n) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = archives_.find(n);
        if (it == archives_.end()) it = archives_.emplace(n, ArchiveBytes(n)).first;
        return it->second;
    }
    // The pharmacy has its next archive ready a little later.
    void NextArchiveLater() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
    void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    // Pharmacy 1 resumes what the server holds (SIZE, then APPE of the rest,
    // or STOR of the whole), sending small pieces at the pace of a slow line;
    // pharmacy 2 stores the whole archive again with curl.
    bool FtpResume(const Pharmacy& ph, const std::string& name, const std::string& whole) {
        TFtpTestClient c;
        if (c.Connect(ftpPort_).Code != 220 || c.Login(Format("pharm%d", {ph.id}), ph.password).Code != 230 ||
            c.Command("TYPE I").Code != 200)
            return false;
        const TFtpReply size = c.Command("SIZE " + name);
        if (size.Code != 213 && size.Code != 550) return false;
        size_t from = size.Code == 213 ? std::strtoul(size.Text.c_str() + 4, nullptr, 10) : 0;
        if (from == whole.size()) return true;
        if (from > whole.size()) from = 0;
        const int data = c.OpenPassive();
        const int go = data < 0 ? 0 : c.Command((from > 0 ? "APPE " : "STOR ") + name).Code;
        bool sent = go == 150 || go == 125;
        for (size_t at = from; sent && at < whole.size(); at += 512) {
            sent = SendAll(data, whole.substr(at, 512));
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
        CloseFd(data);
        return sent && c.ReadReply().Code == 226;
    }
    bool FtpSend(const Pharmacy& ph, int n) {
        const std::string name = Format("xml%d.rar", {n});
        const std::string src = outbox_.Write(Format("%d_%s", {ph.id, name}), Archive(n));
        const std::string url = Format("ftp://pharm%d:%s@127.0.0.1:%d/%s", {ph.id, ph.password, ftpPort_, name});
        return ph.id == 1 ? FtpResume(ph, name, Archive(n))
                          : RunCommand("curl -sS --max-time 20 --limit-rate 5k -T " + ShellQuote(src) + " " +
                                       ShellQuote(url)) == 0;
    }
    // Chunks from the size the server holds until it says the archive is
    // complete.
    bool TcpSend(const Pharmacy& ph, int n) {
        const std::string& whole = Archive(n);
        const auto size = static_cast<int32_t>(whole.size());
        TUploadClient c(ftpPort_);
        int32_t start = -1;
        for (int i = 0; c.Connected() && i < 1000; ++i) {
            const std::string data = start < 0 ? "" : whole.substr(static_cast<size_t>(start), kChunk);
            const std::string name = Format("C:\\out\\xml%d.rar", {n});
            TReply r = Exchange(c, *SendFileCommand(ph.id, ph.password, name, start, size, data));
            if (!r.Received) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a slow line
            if (r.IsTransfered && r.StartPosition == size) return true;
            start = r.StartPosition >= 0 && r.StartPosition < size ? static_cast<int32_t>(r.StartPosition) : -1;
        }
        return false;
    }
    // The pharmacy's archives one after another by the path of the life; a
    // broken transfer is made again (on a new connection) and asked again.
    void Uploader(const Pharmacy& ph, bool tcp) {
        while (!stop_ && next_[ph.id] <= last_[ph.id]) {
            if (tcp ? TcpSend(ph, next_[ph.id]) : FtpSend(ph, next_[ph.id])) {
                ++next_[ph.id], ++(tcp ? tcpUploads_ : ftpUploads_);
                NextArchiveLater();
            } else {
                ++(tcp ? tcpRetries_ : ftpRetries_), Pause();
            }
        }
    }

    // Requests over one connection while `request` says it went through; a
    // new connection after a break, until the life ends.
    template <class F>
    void Session(F request) {
        while (!stop_) {
            try {
                PharmClient c(nomSyncPort_);
                while (!stop_ && request(c)) {
                }
            } catch (const std::exception&) {
            }
            Pause();
        }
    }
    // Refresh, take the data, confirm.
    void Catalogue(const Pharmacy& ph) {
        Session([&](PharmClient& c) {
            auto r = c.Call<TPharmServerNomActualizationResult>(
                *MakeCommand<TPharmServerRefreshDataCommand>(ph.id, ph.password));
            if (!r) return false;
            if (r->CentralSyncAction == TCentralSyncAction::csaNoData) {
                Pause();
                return true;
            }
            auto obj = DecodeData<TProducer>(r->Data);
            if (obj->ProdName().empty() || obj->GetID() != 1)
                Fault("blank object handed out", Format("%d", {static_cast<int32_t>(r->ActionRequestID)}));
            c.Call<TPharmServerConfirmActionResult>(
                *MakeConfirm(ph.id, ph.password, r->ActionRequestID, TCentralSyncAction::csaDataReceiving));
            return true;
        });
    }
    // Updates of producer 1, each under a new name; one left without an
    // answer is proposed again.
    void Proposer(const Pharmacy& ph) {
        Session([&](PharmClient& c) {
            TProducer p(nullptr);
            FillProducer(p, Format("v%d", {static_cast<int32_t>(proposed_.size())}));
            p.SetID(1);
            auto r = c.Call<TPharmServerNomActualizationResult>(*MakeActualization(
                ph.id, ph.password, p, TNomObjectType::notProducer, TNomObjectActualizationType::noatUpdate));
            if (!r) return false;
            if (!r->RequestProceeded || r->ActionRequestID <= 0)
                Fault("proposal refused", r->ErrorMessage + r->RequestProcessError);
            else
                proposed_.push_back(r->ActionRequestID);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return true;
        });
    }

    void Fault(const std::string& kind, const std::string& what) {
        std::lock_guard<std::mutex> lock(mu_);
        found_[kind].insert(what);
    }

    TempDir outbox_;
    std::map<int, std::string> archives_;
    // By pharmacy: the archive its uploader sends next, and the last one it
    // sends (no end while the server is killed).
    std::atomic<int> next_[5] = {1, 1, 1, 1, 1};
    std::atomic<int> last_[5] = {0, 1 << 30, 1 << 30, 1 << 30, 1 << 30};
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<int> ftpUploads_{0}, tcpUploads_{0}, ftpRetries_{0}, tcpRetries_{0};
    std::vector<int64_t> proposed_;  // the proposer's own
    std::mutex mu_;
    std::map<std::string, std::set<std::string>> found_;
};

TEST_F(MixedCrash, KilledAtRandomMomentsEveryArchiveAndRequestIsCompletedOnce) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> life(50, 700);

    int kills = 0;
    for (; kills < kKills; ++kills) {
        const bool tcp = kills % 2 == 1;
        ASSERT_TRUE(Restart(tcp)) << "the server did not start\n" << Output();
        Run(tcp, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(life(rng)));
        Stop();
    }
    // Undisturbed lives: each protocol until its pharmacies have sent the
    // archive they were at, then one in which the installer takes the rest
    // and every request closes.
    for (const Pharmacy& ph : kPharms) last_[ph.id] = next_[ph.id].load();
    for (bool tcp : {false, true}) {
        ASSERT_TRUE(Restart(tcp)) << Output();
        Run(tcp, false);
        EXPECT_TRUE(WaitUntil([&] { return UploadsDone(tcp ? kTcpPharms : kFtpPharms); }))
            << (tcp ? "TCP" : "FTP") << " uploads not through\n" << Output();
        Stop();
    }
    ASSERT_TRUE(Restart(false)) << Output();
    Run(false, false);
    const std::string openRequests = "SELECT COUNT(*) FROM action_request_status WHERE REQUEST_STATUS <> 5";
    // Recorded, and marked: an archive is renamed just after its number's
    // commit, so a kill in between would leave it for a pass to come.
    auto installed = [&] {
        for (const Pharmacy& ph : kPharms) {
            if (db.ScalarInt(Format("SELECT last_archive_num FROM pharmacy WHERE id = %d", {ph.id})) != last_[ph.id])
                return false;
            for (const auto& e : fs::directory_iterator(Folder(ph.id)))
                if (e.is_regular_file() && e.path().extension() == ".rar") return false;
        }
        return true;
    };
    EXPECT_TRUE(WaitUntil([&] { return db.ScalarInt(openRequests) == 0 && installed(); })) << Output();
    Stop();

    // Every archive installed once and whole: the rows are those of the
    // last archive, every kept archive holds the bytes sent, nothing is left
    // to install or half-sent.
    int archives = 0;
    for (const Pharmacy& ph : kPharms) {
        SCOPED_TRACE(ph.id);
        const int last = last_[ph.id];
        archives += last;
        std::string expected = std::to_string(last);  // the number, then the rows
        for (int id = 1; id <= kRows; ++id) expected += Format(",%d:a%d_%d:%d", {id, last, id, last});
        EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT(last_archive_num, ',', (SELECT GROUP_CONCAT(CONCAT_WS(':', ID, "
                                      "NAME, QTY) ORDER BY ID) FROM STOCK WHERE PHARM_ID = %d)) FROM pharmacy "
                                      "WHERE id = %d",
                                      {ph.id, ph.id})),
                  expected);
        for (const auto& e : fs::directory_iterator(Folder(ph.id))) {
            const std::string name = e.path().filename().string();
            if (!e.is_regular_file()) continue;
            ASSERT_EQ(e.path().extension(), ".inst") << name;
            EXPECT_EQ(TempDir::Read(e.path().string()), Archive(std::atoi(name.c_str() + 3))) << name;
        }
    }
    // Every request closed, received by every pharmacy, and the central row
    // holds the last one's values: none was applied again after a later one.
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE IS_PROCESSED <> 'T'"), 0);
    EXPECT_EQ(db.ScalarInt(openRequests), 0);
    for (int64_t id : proposed_)
        if (db.ScalarInt(Format("SELECT COUNT(*) FROM ACTION_REQUEST WHERE ID = %d", {id})) != 1)
            Fault("answered proposal missing", std::to_string(id));
    EXPECT_EQ(db.ScalarStr("SELECT NAME FROM PRODUCER WHERE ID = 1"),
              db.ScalarStr("SELECT NAME FROM NOM_UPDATE_PRODUCER WHERE ACTION_REQUEST_ID = "
                           "(SELECT MAX(ID) FROM ACTION_REQUEST)"));

    const int64_t requests = db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST");
    EXPECT_GE(kills, 20);
    EXPECT_EQ(archives, ftpUploads_ + tcpUploads_);
    EXPECT_GT(ftpRetries_ + tcpRetries_, 0);  // kills met transfers
    EXPECT_GT(requests, kills);
    EXPECT_EQ(found_, (std::map<std::string, std::set<std::string>>{}));
}

}  // namespace
