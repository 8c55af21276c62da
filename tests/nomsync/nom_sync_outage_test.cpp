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
    auto confirm = [&] { return Confirm(*c, 1, "pass-1", 1, TCentralSyncAction::csaDataReceiving)->ErrorMessage; };
    ASSERT_EQ(LoginFlag(*c, 1, "pass-1"), 1);

    instance.Stop();
    // Every request is still answered, on the same connection, with a failure.
    EXPECT_NE(LoginFlag(*c, 1, "pass-1"), 1);
    EXPECT_NE(Refresh(*c, 1, "pass-1")->ErrorMessage, "");
    EXPECT_NE(confirm(), "");

    instance.Start();
    db.Reconnect();
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 0}, {2, 0}, {3, 0}}));
    EXPECT_EQ(LoginFlag(*c, 1, "pass-1"), 1);
    auto r = Refresh(*c, 1, "pass-1");
    EXPECT_EQ(r->ErrorMessage, "");
    EXPECT_EQ(r->ActionRequestID, 1);
    EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaDataReceiving);
    EXPECT_EQ(confirm(), "");
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 5}, {2, 0}, {3, 0}}));
    EXPECT_EQ(IsProcessed(1), "F");
}
