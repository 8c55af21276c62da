// The whole server killed (SIGKILL) at random moments while pharmacies
// upload archives (curl by FTP, or chunks over the TCP upload path: the
// process serves one of the two, so the lives alternate), the installer
// applies them, and the pharmacies receive and confirm catalogue requests
// while one of them proposes. After every kill the server is started again
// and the pharmacies go on as their client does: one FTP pharmacy resumes
// (SIZE, APPE), the other stores the whole archive again with curl,
// the TCP client asks for the size held and sends from there, the catalogue
// client refreshes and confirms again, an unanswered proposal is made again.
// Before each start the files are made old, as after an outage longer than
// the installer's settle time. At the end every archive is installed once
// and whole, and every request is closed, in order, with every pharmacy.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "host/server_child.h"
#include "nomsync/nomsync_test_util.h"
#include "replication/repl_data_fixture.h"
#include "replication/installer_fixture.h"
#include "support/ftp_test_client.h"

namespace fs = std::filesystem;
using namespace nomsync_test;
using installer_test::Item;
using installer_test::Packet;

namespace {

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

    // Refresh, take the data, confirm; again on a new connection after a
    // break.
    void Catalogue(const Pharmacy& ph) {
        while (!stop_) {
            try {
                PharmClient c(nomSyncPort_);
                while (!stop_) {
                    auto r = c.Call<TPharmServerNomActualizationResult>(
                        *MakeCommand<TPharmServerRefreshDataCommand>(ph.id, ph.password));
                    if (!r) break;
                    if (r->CentralSyncAction == TCentralSyncAction::csaNoData) {
                        Pause();
                        continue;
                    }
                    auto obj = DecodeData<TProducer>(r->Data);
                    if (obj->ProdName().empty() || obj->GetID() != 1)
                        Fault("blank object handed out", Format("%d", {static_cast<int32_t>(r->ActionRequestID)}));
                    c.Call<TPharmServerConfirmActionResult>(*MakeConfirm(ph.id, ph.password, r->ActionRequestID,
                                                                         TCentralSyncAction::csaDataReceiving));
                }
            } catch (const std::exception&) {
                Pause();
            }
        }
    }

    // Updates of producer 1, each under a new name; one left without an
    // answer is proposed again.
    void Proposer(const Pharmacy& ph) {
        while (!stop_) {
            try {
                PharmClient c(nomSyncPort_);
                while (!stop_) {
                    TProducer p(nullptr);
                    FillProducer(p, Format("v%d", {static_cast<int32_t>(proposed_.size())}));
                    p.SetID(1);
                    auto r = c.Call<TPharmServerNomActualizationResult>(*MakeActualization(
                        ph.id, ph.password, p, TNomObjectType::notProducer, TNomObjectActualizationType::noatUpdate));
                    if (!r) break;
                    if (!r->RequestProceeded || r->ActionRequestID <= 0)
                        Fault("proposal refused", r->ErrorMessage + r->RequestProcessError);
                    else
                        proposed_.push_back(r->ActionRequestID);
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                }
            } catch (const std::exception&) {
                Pause();
            }
        }
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
        std::vector<std::string> expected;
        for (int id = 1; id <= kRows; ++id) expected.push_back(Format("%d:a%d_%d:%d", {id, last, id, last}));
        EXPECT_EQ(db.ScalarInt(Format("SELECT last_archive_num FROM pharmacy WHERE id = %d", {ph.id})), last);
        std::vector<std::string> rows;
        for (auto& r : db.Rows(Format("SELECT ID, NAME, QTY FROM STOCK WHERE PHARM_ID = %d ORDER BY ID", {ph.id})))
            rows.push_back(VarToStr(r[0]) + ":" + VarToStr(r[1]) + ":" + VarToStr(r[2]));
        EXPECT_EQ(rows, expected);
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
