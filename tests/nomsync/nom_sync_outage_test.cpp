// The catalogue service through a database outage: its own MariaDB instance
// is stopped and started again under the running service.
#include "nomsync_test_util.h"
#include "support/private_db.h"

using namespace nomsync_test;

namespace {

class NomSyncOutage : public OwnDbInstance, public ServiceFixture {};

}  // namespace

TEST_F(NomSyncOutage, RequestsFailWhileTheDatabaseIsDownAndSucceedOnceItIsBack) {
    // One producer insert every pharmacy has to receive.
    db.Exec("INSERT INTO PRODUCER (ID, NAME, ADDRESS, IS_ACTIVE) VALUES (1, 'Producer', 'Sofia', 'T')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, PHARM_ID, "
            "NOM_KEY, PROCESS_DATE) VALUES (1, 4, 1, NOW(), 'F', 'F', 1, 1, NOW())");
    db.Exec("INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME, ADDRESS, IS_ACTIVE) "
            "VALUES (1, 1, 'Producer', 'Sofia', 'T')");
    db.Exec("INSERT INTO action_request_status SELECT 1, id, 0, NOW() FROM pharmacy WHERE id > 0");

    auto c = Connect();
    auto login = [&] {
        auto r = c->Call<TPharmServerLoginResult>(*MakeCommand<TPharmServerLoginCommand>(1, "pass-1"));
        return r ? AuthorizedFlag(*r) : -1;
    };
    auto refresh = [&] {
        return c->Call<TPharmServerNomActualizationResult>(*MakeCommand<TPharmServerRefreshDataCommand>(1, "pass-1"));
    };
    auto confirm = [&] {
        return c->Call<TPharmServerConfirmActionResult>(
            *MakeConfirm(1, "pass-1", 1, TCentralSyncAction::csaDataReceiving));
    };
    ASSERT_EQ(login(), 1);

    instance.Stop();
    // Every request is still answered, on the same connection, with a failure.
    EXPECT_NE(login(), 1);
    auto r = refresh();
    ASSERT_TRUE(r);
    EXPECT_NE(r->ErrorMessage, "");
    auto cf = confirm();
    ASSERT_TRUE(cf);
    EXPECT_NE(cf->ErrorMessage, "");

    instance.Start();
    db.Reconnect();
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 0}, {2, 0}, {3, 0}}));
    EXPECT_EQ(login(), 1);
    r = refresh();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ErrorMessage, "");
    EXPECT_EQ(r->ActionRequestID, 1);
    EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaDataReceiving);
    cf = confirm();
    ASSERT_TRUE(cf);
    EXPECT_EQ(cf->ErrorMessage, "");
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 5}, {2, 0}, {3, 0}}));
    EXPECT_EQ(IsProcessed(1), "F");
}
