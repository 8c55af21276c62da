// A proposal is stored as one unit: the central insert, the action request,
// its status rows and the staged row become visible together, so that a
// refresh running beside the proposals never hands out a blank object.
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "nomsync_test_util.h"

using namespace nomsync_test;
using A = TCentralSyncAction;

namespace {

class ProposalUnit : public ServiceFixture {};

// Pharmacy 1 proposes producers on one connection while every pharmacy
// refreshes and confirms on another, as fast as the service answers: the
// refreshes keep up with the proposals, so they ask while each is stored.
// Staging a row takes a while (a trigger makes it so), as on a busy server.
TEST_F(ProposalUnit, RefreshesBesideProposalsNeverHandOutABlankObject) {
    constexpr int kProposals = 60;
    db.Exec("CREATE TRIGGER slow_staging BEFORE INSERT ON NOM_UPDATE_PRODUCER FOR EACH ROW SET @slept = SLEEP(0.02)");
    constexpr int kMaxRefreshes = 200000;  // a bound, never reached when all goes well
    std::atomic<bool> proposing{true};
    std::mutex mu;
    std::vector<std::string> faults;
    std::vector<int> received(4, 0);
    std::atomic<int> blanks{0};
    auto fault = [&](const std::string& f) {
        std::lock_guard<std::mutex> lock(mu);
        if (faults.size() < 20) faults.push_back(f);
    };

    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        const Pharmacy& ph = Pharmacies()[0];
        try {
            PharmClient c(srv->BoundPort());
            for (int i = 0; i < kProposals; ++i) {
                TProducer p(nullptr);
                FillProducer(p, Format("P%d", {i}));
                auto r = c.Call<TPharmServerNomActualizationResult>(*MakeActualization(
                    ph.id, ph.password, p, TNomObjectType::notProducer, TNomObjectActualizationType::noatInsert));
                if (!r || !r->RequestProceeded || r->ActionRequestID <= 0) fault("proposal not stored");
            }
        } catch (const std::exception& e) {
            fault(std::string("proposer: ") + e.what());
        }
        proposing = false;
    });
    for (const Pharmacy& ph : Pharmacies()) {
        threads.emplace_back([&, ph] {
            try {
                PharmClient c(srv->BoundPort());
                for (int n = 0; n < kMaxRefreshes; ++n) {
                    const bool last = !proposing;  // read before asking: nothing new can come after
                    auto r = c.Call<TPharmServerNomActualizationResult>(
                        *MakeCommand<TPharmServerRefreshDataCommand>(ph.id, ph.password));
                    if (!r) return fault("no refresh answer");
                    if (r->CentralSyncAction == A::csaNoData) {
                        if (last) return;
                        continue;
                    }
                    auto obj = DecodeData<TProducer>(r->Data);
                    if (obj->ProdName().empty() || obj->GetID() == -1)
                        ++blanks, fault(Format("blank producer handed out to pharmacy %d for request %d",
                                     {ph.id, static_cast<int32_t>(r->ActionRequestID)}));
                    ++received[ph.id];
                    auto ok = c.Call<TPharmServerConfirmActionResult>(
                        *MakeConfirm(ph.id, ph.password, r->ActionRequestID, A::csaDataReceiving));
                    if (!ok || !ok->ErrorMessage.empty()) fault("confirmation failed");
                }
                fault("refreshes did not end");
            } catch (const std::exception& e) {
                fault(std::string("refresher: ") + e.what());
            }
        });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(blanks, 0) << "of " << 3 * kProposals << " objects handed out";
    EXPECT_EQ(faults, std::vector<std::string>{});
    const int total = kProposals;
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), total);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE IS_PROCESSED = 'T'"), total);
    for (const Pharmacy& ph : Pharmacies()) EXPECT_EQ(received[ph.id], total) << "pharmacy " << ph.id;
}

}  // namespace
