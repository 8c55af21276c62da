// Producers, article groups, measure names and suppliers: their wire
// records, and their central and staged rows against the real database, with
// the transaction each of them opens or commits.
#include <gtest/gtest.h>

#include "catalogue_classes_test_util.h"
#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/log.h"
#include "core/text.h"

using namespace nomsync_test;

namespace {

std::unique_ptr<TNomenclatureObject> NewOf(const CatalogueClass& c, TDMBase* dm) {
    return TNomenclatureObject::GetNomObjectClass(c.type).New(dm);
}

// Bytes of an object as read back from the database: the supplier's
// Modified flag is not stored, so it is compared as written.
std::string StoredBytes(TNomenclatureObject& read, const TNomenclatureObject& written) {
    if (auto* s = dynamic_cast<TSupplier*>(&read)) s->Modified = dynamic_cast<const TSupplier&>(written).Modified;
    return WireBytes(read);
}

class CatalogueDbTest : public NomDataFixture {
protected:
    // The central row of id read into a new object of the class.
    std::unique_ptr<TNomenclatureObject> Central(const CatalogueClass& c, TDMBase& dm, int32_t id) {
        auto obj = NewOf(c, &dm);
        auto q = dm.OpenQuery(Format("SELECT * FROM %s WHERE ID = %d", {c.table, id}));
        EXPECT_FALSE(q->Eof()) << c.name;
        if (!q->Eof()) obj->LoadFromDataSet(*q);
        return obj;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Wire records

TEST(CatalogueRecords, EveryFieldRoundTripsByteForByteAndEveryTruncationIsRefused) {
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(nullptr, Cp(u8"Име ") + std::string(40, 'n'));
        obj->SetID(300);
        const std::string bytes = WireBytes(*obj);
        auto back = NewOf(c, nullptr);
        LoadWireBytes(*back, bytes);
        EXPECT_EQ(back->ID(), 300);
        EXPECT_EQ(WireBytes(*back), bytes);
        for (size_t n = 0; n < bytes.size(); ++n) {
            auto cut = NewOf(c, nullptr);
            EXPECT_THROW(LoadWireBytes(*cut, bytes.substr(0, n)), Exception) << "cut at " << n;
        }
        // Reading clears first.
        const std::string empty = WireBytes(*NewOf(c, nullptr));
        LoadWireBytes(*back, empty);
        EXPECT_EQ(WireBytes(*back), empty);
    }
}

TEST(CatalogueRecords, TextsTooLongForTheirColumnAreRefused) {
    struct Case {
        const char* column;
        size_t width;
        std::function<std::unique_ptr<TNomenclatureObject>(const std::string&)> make;
    };
    auto group = [](const std::string& t) {
        auto g = std::make_unique<TArticleGroup>(nullptr);
        g->NAME = t;
        return g;
    };
    auto measure = [](std::string TMeasureName::*field) {
        return [field](const std::string& t) {
            auto m = std::make_unique<TMeasureName>(nullptr);
            m.get()->*field = t;
            return m;
        };
    };
    auto supplier = [](void (TSupplier::*set)(const std::string&)) {
        return [set](const std::string& t) {
            auto s = std::make_unique<TSupplier>(nullptr);
            (s.get()->*set)(t);
            return s;
        };
    };
    const Case cases[] = {
        {"NAME", 255, group},
        {"NAME", 50, measure(&TMeasureName::ANAME)},
        {"SHORT_NAME", 50, measure(&TMeasureName::SHORT_NAME)},
        {"ADDRESS", 255, supplier(&TSupplier::SetAddress)},
        {"BANK_NAME", 255, supplier(&TSupplier::SetBankName)},
        {"BANK_ACCOUNT", 255, supplier(&TSupplier::SetBankAccount)},
        {"BRANCH_NO", 255, supplier(&TSupplier::SetBranchNo)},
        {"BANK_ADDRESS", 255, supplier(&TSupplier::SetBankAddress)},
        {"BANK_CODE", 255, supplier(&TSupplier::SetBankCode)},
        {"IBAN_BANK_CODE", 255, supplier(&TSupplier::SetIbanBankCode)},
        {"IBAN_BANK_ACCOUNT", 255, supplier(&TSupplier::SetIbanBankAccount)},
        {"IBAN_VAT_ACCOUNT", 255, supplier(&TSupplier::SetIbanVatAccount)},
        {"VAT_ID", 255, supplier(&TSupplier::SetVatID)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.column);
        auto fits = c.make(std::string(c.width, 'x'));
        auto back = c.make("");
        LoadWireBytes(*back, WireBytes(*fits));
        EXPECT_EQ(WireBytes(*back), WireBytes(*fits));
        auto tooLong = c.make(std::string(c.width + 1, 'x'));
        const std::string e = ErrorOf([&] { LoadWireBytes(*back, WireBytes(*tooLong)); });
        EXPECT_NE(e.find(std::string(" ") + c.column + " "), std::string::npos) << e;
        EXPECT_NE(e.find(back->ClassName()), std::string::npos) << e;
    }
}

TEST(CatalogueRecords, SupplierSettersCutToTheirMaximumAndModifiedComesFromTheWire) {
    struct Case {
        void (TSupplier::*set)(const std::string&);
        const std::string& (TSupplier::*get)() const;
        size_t max;
    };
    const Case cases[] = {{&TSupplier::SetSticker, &TSupplier::Sticker, 2},
                          {&TSupplier::SetName, &TSupplier::Name, 100},
                          {&TSupplier::SetTel, &TSupplier::Tel, 20},
                          {&TSupplier::SetTaxNo, &TSupplier::TaxNo, 10},
                          {&TSupplier::SetBulstat, &TSupplier::Bulstat, 10},
                          {&TSupplier::SetEmail, &TSupplier::Email, 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.max);
        TSupplier s(nullptr);
        const std::string longer(c.max + 5, 'y');
        (s.*c.set)(longer);
        EXPECT_EQ((s.*c.get)(), longer.substr(0, c.max));
        EXPECT_TRUE(s.Modified);
        s.Modified = false;
        (s.*c.set)(longer);  // compared with the untruncated value: a change again
        EXPECT_TRUE(s.Modified);
    }
    TSupplier s(nullptr), back(nullptr);
    FillSupplier(s, "AB", "n");
    s.SetID(8);
    s.Modified = false;
    LoadWireBytes(back, WireBytes(s));
    EXPECT_FALSE(back.Modified);  // as read last, whatever the setters did
    EXPECT_EQ(back.Sticker(), "AB");
    back.Clear();
    EXPECT_TRUE(back.IsTaxRegistered);
    EXPECT_EQ(back.PharmacyCode(), -1);
    EXPECT_FALSE(back.IsNZOKSupplier);
    EXPECT_EQ(back.ID(), -1);
}

TEST(CatalogueRecords, DefaultsAndAssign) {
    TArticleGroup g(nullptr);
    FillGroup(g, "g");
    g.Clear();
    EXPECT_EQ(g.TICKET_GROUP, 1);
    for (Currency amount : {g.MAX_OVERRATE, g.DEFAULT_DISCOUNT, g.DEFAULT_NZOK_DISCOUNT, g.CUSTOM_CARDS_DISCOUNT})
        EXPECT_EQ(amount.raw, 0);
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto src = c.filled(nullptr, "src");
        src->SetID(5);
        src->SetActionRequestID(6);
        auto dst = NewOf(c, nullptr);
        dst->Assign(*src);
        EXPECT_EQ(WireBytes(*dst), WireBytes(*src));
        EXPECT_EQ(dst->ActionRequestID(), 6);
    }
    TMeasureName m(nullptr);
    const std::string e = ErrorOf([&] { m.Assign(g); });
    EXPECT_EQ(e.rfind("Invalid assign operation on TMeasureName! (", 0), 0u) << e;
    TSupplier s(nullptr);
    TProducer p(nullptr);
    EXPECT_EQ(ErrorOf([&] { s.Assign(m); }).rfind("Invalid assign operation on TSupplier (", 0), 0u);
    EXPECT_EQ(ErrorOf([&] { g.Assign(s); }).rfind("Invalid assign operation on TArticleGroup (", 0), 0u);
    EXPECT_EQ(ErrorOf([&] { p.Assign(s); }).rfind("Invalid assign operation on TProducer (", 0), 0u);
}

// ---------------------------------------------------------------------------
// Central and staged rows

TEST_F(CatalogueDbTest, InsertReadsBackUpdateAndDeleteApplyAndAVanishedRowIsLeftAlone) {
    TDMBase dm;
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, Cp(u8"Първо"));
        std::string msg;
        ASSERT_TRUE(obj->SaveToDB(msg)) << msg;
        EXPECT_EQ(msg, "");
        const int32_t id = obj->ID();
        ASSERT_GT(id, 0);
        EXPECT_EQ(StoredBytes(*Central(c, dm, id), *obj), WireBytes(*obj));  // amounts exact too

        auto changed = c.filled(&dm, Cp(u8"Второ") + " O'Neil \\ \"q\"");
        if (auto* g = dynamic_cast<TArticleGroup*>(changed.get())) g->TICKET_GROUP = 9;
        if (auto* s = dynamic_cast<TSupplier*>(changed.get())) s->SetAddress("");
        changed->SetID(id);
        ASSERT_TRUE(changed->SaveToDB(msg)) << msg;
        auto stored = Central(c, dm, id);
        if (auto* g = dynamic_cast<TArticleGroup*>(stored.get())) {
            // A group's change renames it and nothing else.
            EXPECT_EQ(g->NAME, Cp(u8"Второ") + " O'Neil \\ \"q\"");
            EXPECT_EQ(g->TICKET_GROUP, 3);
        } else {
            EXPECT_EQ(StoredBytes(*stored, *changed), WireBytes(*changed));
        }

        auto ghost = c.filled(&dm, "ghost");
        ghost->SetID(id + 100);
        EXPECT_TRUE(ghost->SaveToDB(msg));
        EXPECT_EQ(db.ScalarStr(Format("SELECT GROUP_CONCAT(NAME) FROM %s", {c.table})),
                  Cp(u8"Второ") + " O'Neil \\ \"q\"");

        EXPECT_TRUE(obj->DeleteFromDB(id));
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM %s", {c.table})), 0);
    }
    TSupplier storeless(nullptr);
    EXPECT_FALSE(storeless.DeleteFromDB(1));
}

TEST_F(CatalogueDbTest, StagedProposalWritesTheRequestAndReadsBack) {
    SeedPharmacies(db, 2);
    TDMBase dm;
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, "staged");
        obj->SetID(41);
        obj->SaveToUpdateTable(UpdateParams(2));
        const int32_t req = obj->ActionRequestID();
        ASSERT_GT(req, 0);
        EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, NOM_KEY) FROM ACTION_REQUEST "
                                      "WHERE ID = %d",
                                      {req})),
                  std::to_string(NomIDOf(c.type)) + "2F41");
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM action_request_status WHERE ACTION_REQUEST_ID = %d", {req})), 2);
        auto back = NewOf(c, &dm);
        ASSERT_TRUE(back->LoadFromUpdateTable(req));
        EXPECT_EQ(back->ActionRequestID(), req);
        EXPECT_EQ(StoredBytes(*back, *obj), WireBytes(*obj));
        EXPECT_FALSE(back->LoadFromUpdateTable(req + 1000));
        EXPECT_EQ(back->ID(), -1);
        auto fresh = NewOf(c, nullptr);
        if (auto* p = dynamic_cast<TProducer*>(fresh.get())) p->SetIsActive(true);  // kept by Clear
        EXPECT_EQ(StoredBytes(*back, *fresh), WireBytes(*fresh));  // cleared
    }
}

// The supplier and the producer write empty optional texts as NULL (the
// name stays a text) and trim what they read.
TEST_F(CatalogueDbTest, EmptyOptionalTextsAreWrittenAsNullAndTrimmedWhenRead) {
    TDMBase dm;
    TSupplier s(&dm);
    s.SetTaxNo(" 12 ");
    s.Modified = false;
    TProducer p(&dm);
    p.SetTaxNo(" 12 ");
    p.SetBulstat(" 2 ");
    p.SetIsActive(true);
    const struct {
        TNomenclatureObject& obj;
        const char* table;
        const char* columns;
        const char* row;
        const char* readBack;  // TaxNo (producer: |Bulstat|Email|IsActive) as read from the staged row
    } cases[] = {{s, "SUPPLIER",
                  "NAME IS NULL, STICKER IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, "
                  "IS_TAX_REGISTERED, TAX_NO, IS_NZOK_SUPPLIER, PHARMACY_CODE", "0|0|1|T| 12 |F|-1", "12"},
                 {p, "PRODUCER", "NAME IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, IS_ACTIVE, TAX_NO, BULSTAT",
                  "0|1|T| 12 | 2 ", "12|2||T"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::string msg;
        ASSERT_TRUE(c.obj.SaveToDB(msg)) << msg;
        EXPECT_GT(c.obj.ID(), 0);
        c.obj.SaveToUpdateTable(UpdateParams(1));
        for (const std::string& table : {std::string(c.table), std::string("NOM_UPDATE_") + c.table})
            EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', %s) FROM %s", {c.columns, table})), c.row) << table;
        auto back = TNomenclatureObject::GetNomObjectClass(TNomenclatureObject::NomObjectTypeByClassName(c.obj)).New(&dm);
        ASSERT_TRUE(back->LoadFromUpdateTable(c.obj.ActionRequestID()));
        std::string read;
        if (auto* b = dynamic_cast<TSupplier*>(back.get())) read = b->TaxNo();
        if (auto* b = dynamic_cast<TProducer*>(back.get()))
            read = b->TaxNo() + "|" + b->Bulstat() + "|" + b->Email() + "|" + BoolChars[b->isActive()];
        EXPECT_EQ(read, c.readBack);
    }
    EXPECT_FALSE(s.Modified);  // the new identity is no change of the supplier's
}

TEST_F(CatalogueDbTest, StickerMustBeFreeCentrallyAndAmongPendingProposals) {
    db.Exec("INSERT INTO SUPPLIER (ID, STICKER, NAME) VALUES (8, 'AB', 'a'), (9, 'CD', 'c')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES "
            "(50, 3, 2, NOW(), 'F'), (51, 3, 2, NOW(), 'T'), (52, 4, 2, NOW(), 'F')");
    db.Exec("INSERT INTO NOM_UPDATE_SUPPLIER (ACTION_REQUEST_ID, ID, STICKER) VALUES (50, 9, 'QQ'), (51, 9, 'PP'), "
            "(52, 9, 'RR')");
    struct Case {
        int32_t id;
        const char* sticker;
        bool admitted;
    };
    const Case cases[] = {
        {-1, "", true},    {-1, "AB", false}, {8, "AB", true},  {9, "AB", false}, {-1, "QQ", false},
        {9, "QQ", true},   {8, "QQ", false},  {-1, "PP", true}, {-1, "RR", true}, {-1, "ZZ", true},
    };
    TDMBase dm;
    for (const auto& c : cases) {
        for (auto kind : {TNomObjectActualizationType::noatInsert, TNomObjectActualizationType::noatUpdate,
                          TNomObjectActualizationType::noatDelete}) {
            SCOPED_TRACE(Format("%d %s %d", {c.id, c.sticker, static_cast<int>(kind)}));
            TSupplier s(&dm);
            s.SetID(c.id);
            s.SetSticker(c.sticker);
            EXPECT_EQ(s.CanActualize(kind), c.admitted);
        }
    }
    db.Exec("DROP TABLE SUPPLIER");
    TSupplier s(&dm);
    EXPECT_TRUE(s.CanActualize(TNomObjectActualizationType::noatInsert));  // an empty sticker asks nothing
    s.SetSticker("AB");
    EXPECT_THROW(s.CanActualize(TNomObjectActualizationType::noatInsert), EDatabaseError);
}

// How a failed save ends, and which saves commit a transaction the caller
// has open (logged in debug mode).
TEST_F(CatalogueDbTest, FailuresAndTheCallersTransaction) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<TNomenclatureObject>(TDMBase&)> make;
        std::function<void(TNomenclatureObject&)> run;
        bool commitsCaller;
        const char* step;
    };
    auto save = [](TNomenclatureObject& o) {
        std::string msg;
        if (!o.SaveToDB(msg)) throw Exception("False: " + msg);
    };
    auto stage = [](TNomenclatureObject& o) { o.SaveToUpdateTable(UpdateParams(2)); };
    auto group = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TArticleGroup>(&dm)); };
    auto mname = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TMeasureName>(&dm)); };
    auto supplier = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TSupplier>(&dm)); };
    const Case cases[] = {
        {"group save", group, save, false, ""},
        {"group stage", group, stage, true, "TArticleGroup.SaveToUpdateTable"},
        {"measure name save", mname, save, true, "TMeasureName.SaveToDB"},
        {"measure name stage", mname, stage, true, "TMeasureName.SaveToUpdateTable"},
        {"supplier save", supplier, save, true, "TSupplier.SaveToDB"},
        {"supplier stage", supplier, stage, false, ""},
    };
    for (bool debug : {false, true}) {
        db.EditOptions([&](TOptions& o) { o.UseDebugMode = debug; });
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (debug ? " (debug)" : ""));
            log.Clear();
            TDMBase dm;
            dm.StartTransaction(TIsolationLevel::ilReadCommitted);
            dm.ExecSQL("INSERT INTO PRODUCER (NAME) VALUES ('caller')");
            auto obj = c.make(dm);
            obj->SetActionRequestID(77);
            c.run(*obj);
            // A second connection sees the caller's row only when it was committed.
            EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), c.commitsCaller ? 1 : 0);
            const auto lines = log.Messages(obj->ClassName());
            const std::string expected = std::string(c.step) + " commits the open transaction of its caller";
            if (debug && c.commitsCaller)
                EXPECT_EQ(lines, std::vector<std::string>{expected + " (ActionRequestID = 77)"});
            else
                EXPECT_EQ(lines, std::vector<std::string>{});
            dm.RollbackTransaction();
            db.Exec("DELETE FROM PRODUCER");
        }
    }
    db.EditOptions([&](TOptions& o) { o.UseDebugMode = false; });

    // A measure name whose row has vanished commits nothing.
    TDMBase dm;
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    TMeasureName vanished(&dm);
    vanished.SetID(6);
    std::string msg;
    EXPECT_TRUE(vanished.SaveToDB(msg));
    EXPECT_TRUE(dm.InTransaction());
    dm.RollbackTransaction();

    // Failing inserts: the group raises and leaves the transaction to its
    // caller; the measure name rolls back, raises and keeps ID -1; the
    // supplier and the producer roll back and report the failure with its
    // message.
    db.Exec("DROP TABLE ARTICLE_GROUP");
    db.Exec("DROP TABLE MEASURE_NAME");
    db.Exec("DROP TABLE SUPPLIER");
    db.Exec("DROP TABLE PRODUCER");
    auto producer = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TProducer>(&dm)); };
    using Make = std::function<std::unique_ptr<TNomenclatureObject>(TDMBase&)>;
    for (const Make& make : {Make(group), Make(mname), Make(supplier), Make(producer)}) {
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        auto obj = make(dm);
        SCOPED_TRACE(obj->ClassName());
        const bool reports = dynamic_cast<TSupplier*>(obj.get()) || dynamic_cast<TProducer*>(obj.get());
        const bool isGroup = dynamic_cast<TArticleGroup*>(obj.get()) != nullptr;
        msg.clear();
        bool result = true;
        const std::string e = ErrorOf([&] { result = obj->SaveToDB(msg); });
        EXPECT_EQ(e.empty(), reports) << e;
        if (reports) {
            EXPECT_FALSE(result);
            EXPECT_NE(LowerCase1251(msg).find(LowerCase1251(obj->ClassName() + 1)), std::string::npos) << msg;
        }
        EXPECT_EQ(obj->ID(), -1);
        EXPECT_EQ(dm.InTransaction(), isGroup);
        dm.RollbackTransaction();
    }

    // A failing staged row takes the group's and the measure name's action
    // request with it.
    db.Exec("DROP TABLE NOM_UPDATE_ARTICLE_GROUP");
    db.Exec("DROP TABLE NOM_UPDATE_MEASURE_NAME");
    const int64_t requests = Count("SELECT COUNT(*) FROM ACTION_REQUEST");
    for (const Make& make : {Make(group), Make(mname)}) {
        auto obj = make(dm);
        EXPECT_THROW(obj->SaveToUpdateTable(UpdateParams(2)), EDatabaseError) << obj->ClassName();
        EXPECT_FALSE(dm.InTransaction());
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), requests);
}

// A record that cannot be read whole, or carries a text too long for its
// column, is answered with an error and stores nothing.
TEST_F(CatalogueDbTest, BadRecordsOfAProposalStoreNothing) {
    SeedPharmacies(db, 1);
    TDMBase dm;
    for (const auto& c : CatalogueClasses()) {
        auto obj = c.filled(nullptr, "bad");
        const std::string whole = WireBytes(*obj);
        if (auto* g = dynamic_cast<TArticleGroup*>(obj.get())) g->NAME = std::string(256, 'g');
        if (auto* m = dynamic_cast<TMeasureName*>(obj.get())) m->SHORT_NAME = std::string(51, 'm');
        if (auto* s = dynamic_cast<TSupplier*>(obj.get())) s->SetBankName(std::string(256, 's'));
        std::vector<std::string> records = {whole.substr(0, whole.size() - 1), whole.substr(0, 3)};
        if (c.type != TNomObjectType::notProducer) records.push_back(WireBytes(*obj));  // its setters cut
        for (const auto& bytes : records) {
            for (auto kind : {TNomObjectActualizationType::noatInsert, TNomObjectActualizationType::noatUpdate}) {
                SCOPED_TRACE(Format("%s %d bytes, kind %d", {c.name, static_cast<int64_t>(bytes.size()),
                                                             static_cast<int>(kind)}));
                auto cmd = MakeActualizationOfBytes(1, "pass-1", bytes, c.type, kind);
                int32_t id = -5;
                std::string msg;
                EXPECT_FALSE(TNomenclatureObject::ProcessNomActualization(dm, *cmd, id, msg));
                EXPECT_NE(msg, "");
                EXPECT_EQ(id, 0);
            }
        }
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM %s", {c.table})), 0);
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_%s", {c.table})), 0);
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM action_request_status"), 0);
}
