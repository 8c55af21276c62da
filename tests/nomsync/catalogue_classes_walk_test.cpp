// End to end over real sockets: three pharmacies propose a producer, an
// article group, a measure name and a supplier (insert, update, delete) and are walked
// through receiving, locking and checking until each request closes; a
// supplier whose sticker is taken and records that cannot be read are
// refused.
#include <gtest/gtest.h>

#include "catalogue_classes_test_util.h"
#include "walk_fixture.h"
#include "core/cp1251.h"

using namespace nomsync_test;
using A = TCentralSyncAction;
using K = TNomObjectActualizationType;
using R = TNomCheckReason;

namespace {

class CatalogueWalk : public WalkFixture {
protected:
    // The bytes of the object in compressed object data, read as the class reads them.
    std::string DataBytes(const CatalogueClass& c, TMemoryStream& data) {
        auto obj = TNomenclatureObject::GetNomObjectClass(c.type).New(nullptr);
        data.SetPosition(0);
        TNomenclatureObject::LoadFromCompressedStream(*obj, data);
        return WireBytes(*obj);
    }
    // The same of a request's object data file (kind "I", "U" or "D").
    std::string FileBytes(const CatalogueClass& c, int64_t request, const char* kind) {
        TMemoryStream data(TempDir::Read(dataDir + Format("/%d.%s%sD", {request, c.extLetters, kind})));
        return DataBytes(c, data);
    }

    // The request's row, with "1" when it was applied as it was proposed.
    std::string Request(int64_t id) {
        return db.ScalarStr(Format("SELECT CONCAT_WS('|', CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, IS_PROCESSED, "
                                   "NOM_KEY), IFNULL(PROCESS_DATE = ACTION_DATE, 0), PHARM_ID, USER_ID, REMARK) "
                                   "FROM ACTION_REQUEST WHERE ID = %d",
                                   {id}));
    }
};

}  // namespace

TEST_F(CatalogueWalk, InsertUpdateAndDeleteOfEachClassThroughEveryPharmacy) {
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        type = c.type;
        const std::string nom = std::to_string(NomIDOf(c.type));
        auto name = [&](int64_t id) {
            return db.ScalarStr(Format("SELECT NAME FROM %s WHERE ID = %d", {c.table, id}));
        };

        // Insert, proposed by pharmacy 1: applied at once.
        auto inserted = c.filled(nullptr, Cp(u8"Алфа"));
        const int64_t R1 = Propose(1, *inserted, K::noatInsert)->ActionRequestID;
        ASSERT_GT(R1, 0);
        const int64_t id = db.ScalarInt(Format("SELECT MAX(ID) FROM %s", {c.table}));
        EXPECT_EQ(name(id), Cp(u8"Алфа"));
        EXPECT_EQ(Request(R1), nom + "1FF" + std::to_string(id) + "|1|1|0|walk");
        inserted->SetID(static_cast<int32_t>(id));
        EXPECT_EQ(FileBytes(c, R1, "I"), WireBytes(*inserted));

        // Update, proposed by pharmacy 2: waits for every pharmacy.
        auto updated = c.filled(nullptr, Cp(u8"Бета"));
        updated->SetID(static_cast<int32_t>(id));
        const int64_t R2 = Propose(2, *updated, K::noatUpdate)->ActionRequestID;
        EXPECT_EQ(Request(R2), nom + "2FF" + std::to_string(id) + "|0|2|0|walk");
        EXPECT_EQ(FileBytes(c, R2, "U"), WireBytes(*updated));

        for (int ph = 1; ph <= 3; ++ph) {
            auto r = Expect(ph, R1, A::csaDataReceiving, R::ncrInsert);
            EXPECT_EQ(r->NomKey, id);
            EXPECT_EQ(DataBytes(c, r->Data), WireBytes(*inserted));
            Confirm(ph, R1, A::csaDataReceiving);
            r = Expect(ph, R2, A::csaDataReceiving, R::ncrUpdate);
            EXPECT_EQ(DataBytes(c, r->Data), WireBytes(*updated));
            Confirm(ph, R2, A::csaDataReceiving);
            EXPECT_EQ(name(id), Cp(ph < 3 ? u8"Алфа" : u8"Бета"));
            EXPECT_EQ(IsProcessed(R1) + IsProcessed(R2), ph < 3 ? "FF" : "TT");
        }

        // Delete, proposed by pharmacy 3: locked, checked, then applied.
        auto gone = TNomenclatureObject::GetNomObjectClass(c.type).New(nullptr);
        gone->SetID(static_cast<int32_t>(id));
        const int64_t R3 = Propose(3, *gone, K::noatDelete)->ActionRequestID;
        EXPECT_EQ(Request(R3), nom + "3TF" + std::to_string(id) + "|0|3|0|walk");
        EXPECT_EQ(FileBytes(c, R3, "D"), WireBytes(*gone));
        for (int ph = 1; ph <= 3; ++ph) {
            Step(R3, A::csaLock, R::ncrDelete, {ph});
            Step(R3, A::csaCheck, R::ncrDelete, {ph});
        }
        for (int ph = 1; ph <= 3; ++ph) {
            Step(R3, A::csaDataReceiving, R::ncrDelete, {ph});
            EXPECT_EQ(db.ScalarInt(Format("SELECT COUNT(*) FROM %s", {c.table})), ph < 3 ? 1 : 0);
        }
        EXPECT_EQ(Statuses(R3), (std::map<int, int>{{1, 5}, {2, 5}, {3, 5}}));
        EXPECT_EQ(IsProcessed(R3), "T");
    }
}

TEST_F(CatalogueWalk, SupplierStickerClashesAndUnreadableRecordsAreRefused) {
    db.Exec("INSERT INTO SUPPLIER (ID, STICKER, NAME) VALUES (5, 'AB', 'held')");
    type = TNomObjectType::notSupplier;
    auto refused = [&](int ph, TSupplier& s, K kind) { EXPECT_EQ(Propose(ph, s, kind)->ActionRequestID, 0); };
    TSupplier clash(nullptr);
    FillSupplier(clash, "AB", "new");
    refused(1, clash, K::noatInsert);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SUPPLIER"), 1);

    // A pending update of supplier 5 to sticker "XY" holds that sticker too.
    TSupplier renamed(nullptr);
    FillSupplier(renamed, "XY", "held");
    renamed.SetID(5);
    const int64_t R1 = Propose(1, renamed, K::noatUpdate)->ActionRequestID;
    ASSERT_GT(R1, 0);
    FillSupplier(clash, "XY", "new");
    refused(2, clash, K::noatInsert);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), 1);

    // Unreadable records: an error answer, nothing stored, the connection goes on.
    TSupplier fine(nullptr);
    FillSupplier(fine, "ZZ", "fine");
    const std::string bytes = WireBytes(fine);
    fine.SetAddress(std::string(256, 'a'));
    for (const std::string& bad : {bytes.substr(0, bytes.size() / 2), WireBytes(fine)}) {
        auto r = Ask<TPharmServerNomActualizationResult>(
            *clients[3], *MakeActualizationOfBytes(3, Password(3), bad, TNomObjectType::notSupplier, K::noatInsert));
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_FALSE(r->RequestProceeded);
        EXPECT_NE(r->RequestProcessError, "");
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SUPPLIER"), 1);
    fine.SetAddress("");
    EXPECT_GT(Propose(3, fine, K::noatInsert)->ActionRequestID, 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SUPPLIER WHERE STICKER = 'ZZ'"), 1);
}
