// The service killed at random moments while three pharmacies propose,
// refresh and confirm producers over its port. After every restart: no open
// request lacks its status or staged rows, no central row is without its
// request, every answered proposal is stored exactly once, and no refresh
// ever handed out a blank object. A pharmacy that got no answer proposes
// again, as the pharmacies' client does.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "nomsync_test_util.h"
#include "support/child_process.h"
#include "support/loopback.h"

using namespace nomsync_test;
using A = TCentralSyncAction;

namespace {

constexpr int kKills = 24;

// The service alone, on its own port, until it is killed.
[[noreturn]] void RunService(uint16_t port) {
    std::signal(SIGPIPE, SIG_IGN);
    try {
        TFaultEnv env;
        TZorvelCentralNomSyncServerSrv srv(env, port, "127.0.0.1");
        bool started = false;
        srv.ServiceStart(started);
        for (;;) ::pause();
    } catch (...) {
    }
    ::_exit(3);
}

// One proposal attempt: an insert of a new producer, or an update of the
// pharmacy's seeded producer (ID = pharmacy), named uniquely.
struct Attempt {
    std::string name;
    bool update;
    bool answered = false;
    int32_t requestID = 0;
};

class ProposalKill : public NomDataFixture {
protected:
    void SetUp() override {
        NomDataFixture::SetUp();
        SeedPharmacies(db);
        db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (1, 'seed'), (2, 'seed'), (3, 'seed')");
        // Staging a row takes a while, as on a busy server: the refreshes
        // ask while each proposal is stored.
        db.Exec("CREATE TRIGGER slow_staging BEFORE INSERT ON NOM_UPDATE_PRODUCER FOR EACH ROW SET @s = SLEEP(0.01)");
    }
    void TearDown() override { service_.Kill(); }

    // Forks the service; true once it accepts pharmacies (it has closed
    // what the run before left incomplete by then). A port taken by someone
    // else between choosing and binding ends the child: another is tried.
    bool Start() {
        for (int tries = 0; tries < 3; ++tries) {
            port_ = static_cast<uint16_t>(FreeLoopbackPort());
            const uint16_t port = port_;
            if (!service_.Start([port]() -> int { RunService(port); })) return false;
            for (int i = 0; i < 1000 && service_.Alive(); ++i) {  // at most 10 s
                if (LoopbackListens(port_)) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            service_.Kill();
        }
        return false;
    }

    // A fault of a kind, about one row or attempt (each counted once).
    void Fault(const std::string& kind, const std::string& what) {
        std::lock_guard<std::mutex> lock(faultMu_);
        found_[kind].insert(what);
    }
    // The rows a query names, each as a fault of the kind.
    void Faults(const std::string& kind, const std::string& sql) {
        for (auto& r : db.Rows(sql)) Fault(kind, VarToStr(r[0]));
    }

    // A pharmacy proposing until its connection breaks; an unanswered
    // attempt is proposed again under a new attempt name.
    void Proposer(const Pharmacy& ph) {
        try {
            PharmClient c(port_);
            for (int n = 0; n < 100000; ++n) {
                Attempt a;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    int& seq = seq_[ph.id];
                    int& attempt = attempt_[ph.id];
                    ++attempt;
                    a.update = seq % 3 == 2;
                    a.name = Format("%s%d-%d.%d", {a.update ? "U" : "I", ph.id, seq, attempt});
                    attempts_.push_back(a);
                }
                TProducer p(nullptr);
                FillProducer(p, a.name);
                if (a.update) p.SetID(ph.id);
                auto r = Ask<TPharmServerNomActualizationResult>(c, *MakeActualization(
                    ph.id, ph.password, p, TNomObjectType::notProducer,
                    a.update ? TNomObjectActualizationType::noatUpdate : TNomObjectActualizationType::noatInsert));
                if (!r->RequestProceeded || r->ActionRequestID <= 0 || !r->RequestProcessError.empty()) {
                    Fault("proposal answered as not stored", a.name);
                    continue;
                }
                std::lock_guard<std::mutex> lock(mu_);
                for (Attempt& x : attempts_)
                    if (x.name == a.name) x.answered = true, x.requestID = static_cast<int32_t>(r->ActionRequestID);
                ++seq_[ph.id];
                attempt_[ph.id] = 0;
            }
        } catch (const std::exception&) {
            // the service was killed
        }
    }

    // A pharmacy receiving and confirming requests; with untilNoData it ends
    // at the first answer without a request.
    void Refresher(const Pharmacy& ph, bool untilNoData) {
        try {
            PharmClient c(port_);
            for (int n = 0; n < 100000; ++n) {
                auto r = Refresh(c, ph.id, ph.password);
                if (r->CentralSyncAction == A::csaNoData) {
                    if (untilNoData) return;
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                    continue;
                }
                auto obj = DecodeData<TProducer>(r->Data);
                if (obj->ProdName().empty() || obj->GetID() == -1)
                    Fault("blank object handed out",
                          Format("request %d to pharmacy %d", {static_cast<int32_t>(r->ActionRequestID), ph.id}));
                Confirm(c, ph.id, ph.password, r->ActionRequestID, A::csaDataReceiving);
            }
        } catch (const std::exception&) {
        }
    }

    // What any run may leave: checked after every restart, while the
    // service waits for pharmacies.
    void CheckNothingHalfStored() {
        Faults("open request without its status or staged rows",
               "SELECT ar.ID FROM ACTION_REQUEST ar WHERE ar.IS_PROCESSED = 'F' AND ("
               "NOT EXISTS (SELECT 1 FROM action_request_status s WHERE s.ACTION_REQUEST_ID = ar.ID) OR "
               "NOT EXISTS (SELECT 1 FROM NOM_UPDATE_PRODUCER u WHERE u.ACTION_REQUEST_ID = ar.ID))");
        Faults("central row without its request",
               "SELECT p.ID FROM PRODUCER p WHERE p.ID > 3 AND NOT EXISTS (SELECT 1 FROM ACTION_REQUEST ar "
               "WHERE ar.NOM_ID = 4 AND ar.ACTION_ID = 1 AND ar.NOM_KEY = p.ID)");
    }

    // Every attempt stored at most once; every answered one stored whole
    // under the request its answer named.
    void CheckAttempts() {
        std::map<std::string, int> central;
        for (auto& r : db.Rows("SELECT NAME FROM PRODUCER WHERE ID > 3")) ++central[r[0].AsString()];
        std::map<std::string, std::vector<int32_t>> staged;  // name -> requests
        for (auto& r : db.Rows("SELECT u.NAME, u.ACTION_REQUEST_ID FROM NOM_UPDATE_PRODUCER u "
                               "JOIN ACTION_REQUEST ar ON ar.ID = u.ACTION_REQUEST_ID AND ar.NOM_KEY = u.ID"))
            staged[r[0].AsString()].push_back(r[1].AsInteger());
        for (const Attempt& a : attempts_) {
            const int c = central.count(a.name) ? central[a.name] : 0;
            const std::vector<int32_t> s = staged.count(a.name) ? staged[a.name] : std::vector<int32_t>{};
            if (c > (a.update ? 0 : 1) || s.size() > 1) Fault("proposal stored twice", a.name);
            if (a.answered) {
                if ((!a.update && c != 1) || s != std::vector<int32_t>{a.requestID})
                    Fault("answered proposal missing", a.name);
            } else if (!s.empty()) {
                ++storedUnanswered_;  // committed, but the answer was lost with the service
            }
        }
    }

    // Starts a proposer and a refresher per pharmacy (or refreshers only).
    std::vector<std::thread> StartPharmacies(bool proposing) {
        std::vector<std::thread> threads;
        for (const Pharmacy& ph : Pharmacies()) {
            if (proposing) threads.emplace_back([this, ph] { Proposer(ph); });
            threads.emplace_back([this, ph, proposing] { Refresher(ph, !proposing); });
        }
        return threads;
    }

    uint16_t port_ = 0;
    ChildProcess service_;
    std::mutex mu_, faultMu_;
    std::map<int, int> seq_, attempt_;
    std::vector<Attempt> attempts_;
    std::map<std::string, std::set<std::string>> found_;
    int storedUnanswered_ = 0;
};

TEST_F(ProposalKill, KilledAtRandomMomentsNothingIsHalfStoredOrLost) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> life(10, 250);

    int kills = 0;
    for (; kills < kKills; ++kills) {
        ASSERT_TRUE(Start()) << "the service did not start";
        CheckNothingHalfStored();
        std::vector<std::thread> threads = StartPharmacies(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(life(rng)));
        service_.Kill();  // the pharmacies' connections break and their threads end
        for (auto& t : threads) t.join();
    }
    ASSERT_TRUE(Start()) << "the service did not start";
    CheckNothingHalfStored();
    // Every pharmacy works through what is open: nothing stays open.
    for (auto& t : StartPharmacies(false)) t.join();
    Faults("request left open", "SELECT ID FROM ACTION_REQUEST WHERE IS_PROCESSED = 'F'");
    service_.Kill();
    CheckAttempts();

    int answered = 0;
    for (const Attempt& a : attempts_) answered += a.answered;
    std::printf("%d kills, %zu attempts, %d answered, %d stored without an answer; found:", kills, attempts_.size(),
                answered, storedUnanswered_);
    for (auto& [kind, what] : found_) std::printf(" %s %zu;", kind.c_str(), what.size());
    std::printf("\n");
    EXPECT_GE(kills, 20);
    EXPECT_GT(answered, kills);
    EXPECT_EQ(found_, (std::map<std::string, std::set<std::string>>{}));
}

}  // namespace
