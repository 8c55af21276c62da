// Walks of proposals over real sockets: three connected pharmacies that
// propose objects of one class and refresh and confirm step by step, each
// answer checked for what every step of a walk holds.
#pragma once

#include "nomsync_test_util.h"

namespace nomsync_test {

class WalkFixture : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        for (const auto& p : Pharmacies()) clients[p.id] = Connect();
    }

    const std::string& Password(int ph) { return Pharmacies()[ph - 1].password; }

    // An admitted proposal's answer (its ActionRequestID is 0 when the
    // object was refused).
    std::unique_ptr<TPharmServerNomActualizationResult> Propose(int ph, TNomenclatureObject& obj,
                                                                TNomObjectActualizationType kind) {
        auto r = Ask<TPharmServerNomActualizationResult>(
            *clients[ph], *MakeActualization(ph, Password(ph), obj, type, kind, "walk"));
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_TRUE(r->RequestProceeded);
        EXPECT_EQ(r->RequestProcessError, "");
        EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaNomRequestResponse);
        EXPECT_EQ(r->NextDataResponseCheckInterval, kind == TNomObjectActualizationType::noatUpdate ? -1 : 0);
        EXPECT_EQ(AuthorizedFlag(*r), 1);
        return r;
    }

    std::unique_ptr<TPharmServerNomActualizationResult> Refresh(int ph) {
        auto r = nomsync_test::Refresh(*clients[ph], ph, Password(ph));
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_FALSE(r->RequestProceeded);
        return r;
    }

    // Refreshes and expects the given action on the given request.
    std::unique_ptr<TPharmServerNomActualizationResult> Expect(int ph, int64_t request, TCentralSyncAction action,
                                                               TNomCheckReason reason) {
        auto r = Refresh(ph);
        EXPECT_EQ(r->ActionRequestID, request) << "pharmacy " << ph;
        EXPECT_EQ(r->CentralSyncAction, action) << "pharmacy " << ph << " got " << EnumIdent(r->CentralSyncAction);
        EXPECT_EQ(r->NomCheckReason, reason) << "pharmacy " << ph;
        EXPECT_EQ(r->NomObjectType, type);
        EXPECT_EQ(r->NextDataResponseCheckInterval, -1);
        EXPECT_EQ(r->Data.Size() == 0, reason == TNomCheckReason::ncrDelete);
        return r;
    }

    void ExpectNoData(int ph, int64_t request) {
        auto r = Refresh(ph);
        EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaNoData)
            << "pharmacy " << ph << " got " << EnumIdent(r->CentralSyncAction);
        EXPECT_EQ(r->ActionRequestID, request);
        EXPECT_EQ(r->NextDataResponseCheckInterval, 180000);
        EXPECT_EQ(r->Data.Size(), 0);
    }

    void Confirm(int ph, int64_t request, TCentralSyncAction action, bool checkResult = true) {
        auto r = nomsync_test::Confirm(*clients[ph], ph, Password(ph), request, action, checkResult);
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_EQ(r->NextDataResponseCheckInterval, 180000);
        EXPECT_EQ(AuthorizedFlag(*r), 1);
    }

    // Refresh and confirm the given step for each pharmacy in turn.
    void Step(int64_t request, TCentralSyncAction action, TNomCheckReason reason,
              std::vector<int> pharmacies = {1, 2, 3}, bool checkResult = true) {
        for (int ph : pharmacies) {
            Expect(ph, request, action, reason);
            Confirm(ph, request, action, checkResult);
        }
    }

    TNomObjectType type = TNomObjectType::notProducer;  // of the objects proposed and handed out
    std::map<int, std::unique_ptr<PharmClient>> clients;
};

}  // namespace nomsync_test
