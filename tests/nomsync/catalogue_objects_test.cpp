// Catalogue objects without a database: the class table and its
// operations, the wire records of producers, article groups, measure names
// and suppliers, their setters and defaults, the SQL pack's line count; the
// article's writers, Assign, its wire record and what a pharmacy may send
// wrong inside it, its substitutes as a record-list source and its measures.
#include <cmath>
#include <tuple>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "nomsync/article/article_measure.h"
#include "nomsync/article/article_wire_checks.h"
#include "nomsync/text_lines.h"
#include "nomsync_test_util.h"
#include "protocol/compressed_stream.h"
#include "protocol/nv_stream_utils.h"

using namespace nomsync_test;

namespace {

// A catalogue-like class of the given name, outside the class table unless
// its name matches one of it; of a pharmacy's catalogue with that base.
template <class Base = TNomenclatureObject>
class TNamedObject : public Base {
public:
    TNamedObject(const char* name) : Base(nullptr), name_(name) {}
    const char* ClassName() const override { return name_; }
    bool DeleteFromDB(int32_t) override { return false; }
    bool LoadFromUpdateTable(int32_t) override { return false; }
    bool SaveToDB(std::string&) override { return false; }
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams&) override {}
    bool CanActualize(TNomObjectActualizationType) override { return true; }
    void SaveToWriter(TNVBinWriter&) override {}

private:
    const char* name_;
};

// The article's measures as rows of texts.
std::vector<std::vector<std::string>> Rows(TArticle& a) {
    std::vector<std::vector<std::string>> rows;
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        rows.emplace_back();
        for (int i = 0; i < t.FieldCount(); ++i) rows.back().push_back(t.Fields(i).AsString());
    }
    return rows;
}

}  // namespace

// ---------------------------------------------------------------------------
// Class table

// The six entries in enumeration order, found by class name in any letter
// case and by database number; classes outside the table and types and
// numbers outside the six are refused.
TEST(NomClassTable, EntriesByTypeAndByClassName) {
    const char* names[6] = {"TArticle", "TArticleGroup", "TSupplier", "TProducer", "TMeasureName", "TSQLDataPack"};
    for (int i = 0; i < 6; ++i) {
        bool isPharm = true;
        const auto type = static_cast<TNomObjectType>(i);
        EXPECT_STREQ(TNomenclatureObject::NomObjectClassByType(type, isPharm).ClassName, names[i]);
        EXPECT_FALSE(isPharm);
        EXPECT_STREQ(TNomenclatureObject::GetNomObjectClass(type).New(nullptr)->ClassName(), names[i]);
        const std::string lower = LowerCase1251(names[i]);
        TNamedObject<> o(i % 2 ? names[i] : lower.c_str());
        EXPECT_EQ(TNomenclatureObject::NomObjectTypeByClassName(o), type) << names[i];
        EXPECT_EQ(TNomenclatureObject::NomObjectTypeFromNomID(i + 1), type);  // as the database numbers them
    }
    for (int32_t bad : {0, 7, -1, 255, 256, INT32_MIN, INT32_MAX})
        EXPECT_THROW(TNomenclatureObject::NomObjectTypeFromNomID(bad), EAssertionFailed) << bad;
    for (const char* name : {"TArticleMeasure", "TArticleSubstitude"}) {
        TNamedObject<> o(name);
        EXPECT_EQ(ErrorOf([&] { TNomenclatureObject::NomObjectTypeByClassName(o); }),
                  std::string("Unknown Nom object class ") + name + "!");
    }
    bool isPharm = true;
    const std::string m = ErrorOf(
        [&] { TNomenclatureObject::NomObjectClassByType(static_cast<TNomObjectType>(6), isPharm); });
    EXPECT_EQ(m.rfind("Unable to Identify NomenclatureObjectClass by NomObjectType (6)! (", 0), 0u) << m;
    EXPECT_NE(m.find("line"), std::string::npos);
    EXPECT_FALSE(isPharm);
    // An object of a pharmacy's own catalogue is empty without ID and pharmacy.
    TNamedObject<TPharmNomenclatureObject> o("TPharm"), src("TPharm");
    for (const auto& [id, pharm, empty] : {std::tuple{-1, 4, false}, {8, -1, false}, {-1, -1, true}}) {
        o.SetID(id);
        o.SetPharmID(pharm);
        EXPECT_EQ(o.IsEmpty(), empty) << id << pharm;
    }
    o.SetID(8);
    o.SetPharmID(4);
    o.ActionID = 2;
    o.Clear();
    EXPECT_TRUE(o.IsEmpty() && o.ActionID == -1);
    src.SetID(2);
    src.SetPharmID(5);
    src.ActionID = 3;
    src.SetActionRequestID(11);
    o.Assign(src);
    EXPECT_EQ(Format("%d %d %d %d", {o.ID(), o.PharmID(), int32_t{o.ActionID}, o.ActionRequestID()}), "2 5 3 11");
    EXPECT_THROW(o.Assign(TProducer(nullptr)), EAssertionFailed);
}

TEST(NomClassTable, DataFileExtensions) {
    using T = TNomObjectType;
    using K = TNomObjectActualizationType;
    const std::pair<T, const char*> letters[] = {{T::notArticle, "A"},     {T::notArticleGroup, "AG"},
                                                 {T::notSupplier, "S"},    {T::notProducer, "P"},
                                                 {T::notMeasureName, "M"}, {T::notSQLDataPack, "S"}};
    for (auto [t, l] : letters) {
        EXPECT_EQ(TNomenclatureObject::NomDataFileExt(t, K::noatInsert), std::string(l) + "ID");
        EXPECT_EQ(TNomenclatureObject::NomDataFileExt(t, K::noatUpdate), std::string(l) + "UD");
        EXPECT_EQ(TNomenclatureObject::NomDataFileExt(t, K::noatDelete), std::string(l) + "DD");
    }
    for (auto [t, k] : {std::pair{6, 0}, {0, 3}, {-1, 0}, {0, -1}})
        EXPECT_THROW(TNomenclatureObject::NomDataFileExt(static_cast<T>(t), static_cast<K>(k)), EAssertionFailed);
}

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
        auto copy = NewOf(c, nullptr);
        obj->SetActionRequestID(6);
        copy->Assign(*obj);
        EXPECT_EQ(WireBytes(*copy), bytes);
        EXPECT_EQ(copy->ActionRequestID(), 6);
        TArticleMeasure other(nullptr);
        const std::string e = ErrorOf([&] { copy->Assign(other); });
        const char* after = c.type == TNomObjectType::notMeasureName ? "! (" : " (";
        EXPECT_EQ(e.rfind(std::string("Invalid assign operation on ") + c.name + after, 0), 0u) << e;
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

// The values of each record in their order, each with its tag (an ID of
// 300 takes the 16-bit integer tag): what a pharmacy reads field by field.
TEST(CatalogueRecords, ValuesInTheirOrderWithTheirTags) {
    TProducer p(nullptr);
    FillProducer(p, "P");
    TArticleGroup g(nullptr);
    FillGroup(g, "G");
    TMeasureName m(nullptr);
    FillMeasureName(m, "Meter");
    TSupplier s(nullptr);
    FillSupplier(s, "AB", "S");
    for (TNomenclatureObject* o : std::initializer_list<TNomenclatureObject*>{&p, &g, &m, &s}) o->SetID(300);
    TSQLDataPack pack(nullptr);
    pack.Remark = "x";
    pack.SQLFB = {"UPDATE A SET B = 1;", "DELETE FROM C;"};
    const auto strings = [](TNVBinWriter& w, std::initializer_list<const char*> l) {
        for (const char* t : l) w.WriteString(t);
    };
    const std::pair<TNomenclatureObject*, std::string> records[] = {
        {&p, Written([&](TNVBinWriter& w) {
             w.WriteInteger(300);
             w.WriteBoolean(true);
             strings(w, {"P", "Sofia, 1 Main St", "+359 2 123", "office@example.com", "123456789", "987654321",
                         "Bank", "ACC-1", "BNK1", "BGBNK", "BG00BNK12345", "BG00VAT12345", "BG123456789"});
         })},
        {&g, Written([](TNVBinWriter& w) {
             w.WriteInteger(300);
             w.WriteString("G");
             w.WriteCurrency(Currency::FromRaw(123456));
             w.WriteCurrency(Currency::FromRaw(50001));
             w.WriteInteger(3);
             w.WriteCurrency(Currency::FromRaw(7));
             w.WriteCurrency(Currency::FromRaw(-25000));
         })},
        {&m, Written([&](TNVBinWriter& w) {
             w.WriteInteger(300);
             strings(w, {"Meter", "Met."});
         })},
        {&s, Written([&](TNVBinWriter& w) {
             w.WriteInteger(300);
             strings(w, {"AB", "S"});
             w.WriteInteger(2);
             strings(w, {"Varna, 5 Sea St", "+359 52 111", "1234567890", "BG12345", "Bank", "ACC-2", "07", "Varna",
                         "BNK2"});
             w.WriteBoolean(false);
             w.WriteInteger(4411);
             strings(w, {"BGBNK2", "BG00BNK2", "BG00VAT2", "BG1234567890", "orders@example.com"});
             w.WriteBoolean(true);
             w.WriteBoolean(true);  // Modified
         })},
        {&pack, Written([&](TNVBinWriter& w) {
             w.WriteString("x");
             w.WriteInteger(2);
             strings(w, {"UPDATE A SET B = 1;", "DELETE FROM C;"});
             w.WriteInteger(0);
         })},
    };
    for (const auto& [obj, bytes] : records) EXPECT_EQ(WireBytes(*obj), bytes) << obj->ClassName();
    EXPECT_EQ(WireBytes(p).substr(0, 4), std::string("\x03\x2c\x01\x09", 4));
    // The producer travels compressed as well, and reads back changed.
    TMemoryStream compressed;
    TNomenclatureObject::SaveToCompressedStream(p, compressed);
    TProducer q(nullptr);
    compressed.SetPosition(0);
    TNomenclatureObject::LoadFromCompressedStream(q, compressed);
    EXPECT_EQ(WireBytes(q), WireBytes(p));
    EXPECT_TRUE(q.Modified);
}

// Object data that is no compressed stream, is cut short, announces more than
// an object may hold, or holds a value of the wrong kind is refused.
TEST(CatalogueRecords, DamagedObjectDataIsRefused) {
    TProducer p(nullptr);
    FillProducer(p, "P");
    TMemoryStream good;
    TNomenclatureObject::SaveToCompressedStream(p, good);
    TMemoryStream plain(Written([](TNVBinWriter& w) { w.WriteString("not an id"); })), wrongKind;
    CompressStream(plain, wrongKind);
    const std::string damaged[] = {
        good.Bytes().substr(0, good.Bytes().size() - 5),
        std::string("\x10\x00\x00\x00garbage-garbage!", 20),
        std::string("\xff\xff\xff\x7f\x78\xda", 6),
        wrongKind.Bytes(),
    };
    for (const std::string& bytes : damaged) {
        TMemoryStream data(bytes);
        TProducer q(nullptr);
        EXPECT_ANY_THROW(TNomenclatureObject::LoadFromCompressedStream(q, data)) << bytes.size();
    }
    TMemoryStream data(wrongKind.Bytes());
    TProducer q(nullptr);
    EXPECT_THROW(TNomenclatureObject::LoadFromCompressedStream(q, data), EInvalidValue);
}

TEST(CatalogueRecords, TextsTooLongForTheirColumnAreRefused) {
    const auto supplier = [](void (TSupplier::*set)(const std::string&)) {
        return Filled<TSupplier>(std::mem_fn(set));
    };
    const struct {
        const char* column;
        size_t width;
        std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string&)> make;
    } cases[] = {
        {"NAME", 255, Filled<TArticleGroup>([](TArticleGroup& g, const std::string& t) { g.NAME = t; })},
        {"NAME", 50, Filled<TMeasureName>([](TMeasureName& m, const std::string& t) { m.ANAME = t; })},
        {"SHORT_NAME", 50, Filled<TMeasureName>([](TMeasureName& m, const std::string& t) { m.SHORT_NAME = t; })},
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
        auto fits = c.make(nullptr, std::string(c.width, 'x'));
        auto back = c.make(nullptr, "");
        LoadWireBytes(*back, WireBytes(*fits));
        EXPECT_EQ(WireBytes(*back), WireBytes(*fits));
        auto tooLong = c.make(nullptr, std::string(c.width + 1, 'x'));
        const std::string e = ErrorOf([&] { LoadWireBytes(*back, WireBytes(*tooLong)); });
        EXPECT_NE(e.find(std::string(" ") + c.column + " "), std::string::npos) << e;
        EXPECT_NE(e.find(back->ClassName()), std::string::npos) << e;
    }
}

TEST(CatalogueRecords, SupplierSettersCutToTheirMaximumAndClearRestoresTheDefaults) {
    const struct {
        void (TSupplier::*set)(const std::string&);
        const std::string& (TSupplier::*get)() const;
        size_t max;
    } cases[] = {{&TSupplier::SetSticker, &TSupplier::Sticker, 2},  {&TSupplier::SetName, &TSupplier::Name, 100},
                 {&TSupplier::SetTel, &TSupplier::Tel, 20},           {&TSupplier::SetTaxNo, &TSupplier::TaxNo, 10},
                 {&TSupplier::SetBulstat, &TSupplier::Bulstat, 10},   {&TSupplier::SetEmail, &TSupplier::Email, 50}};
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
    // Modified is read last, as it was sent, whatever the setters did.
    TSupplier sent(nullptr), back(nullptr);
    FillSupplier(sent, "AB", "n");
    sent.Modified = false;
    LoadWireBytes(back, WireBytes(sent));
    EXPECT_FALSE(back.Modified);
    EXPECT_EQ(WireBytes(back), WireBytes(sent));
    back.SetID(8);
    back.Clear();
    EXPECT_TRUE(back.IsTaxRegistered);
    EXPECT_EQ(back.PharmacyCode(), -1);
    EXPECT_FALSE(back.IsNZOKSupplier);
    EXPECT_EQ(back.ID(), -1);
}

TEST(CatalogueRecords, ArticleGroupClearRestoresTheDefaults) {
    TArticleGroup g(nullptr);
    FillGroup(g, "g");
    g.Clear();
    EXPECT_EQ(g.TICKET_GROUP, 1);
    for (Currency amount : {g.MAX_OVERRATE, g.DEFAULT_DISCOUNT, g.DEFAULT_NZOK_DISCOUNT, g.CUSTOM_CARDS_DISCOUNT})
        EXPECT_EQ(amount.raw, 0);
}

TEST(Producer, SettersCutToTheColumnWidthAndMarkModifiedAndClearKeepsThem) {
    TProducer p(nullptr);
    EXPECT_FALSE(p.Modified);
    EXPECT_FALSE(p.isActive());
    const std::string longName(150, 'N');
    p.SetProdName(longName);
    EXPECT_EQ(p.ProdName(), std::string(100, 'N'));
    EXPECT_TRUE(p.Modified);
    p.Modified = false;
    p.SetProdName(longName);  // compared with the untruncated value
    EXPECT_TRUE(p.Modified);
    p.Modified = false;
    p.SetProdName(std::string(100, 'N'));
    EXPECT_FALSE(p.Modified);
    p.SetID(-1);
    EXPECT_FALSE(p.Modified);
    p.SetID(5);
    EXPECT_TRUE(p.Modified);
    p.SetIbanBankAccount(std::string(30, '1'));
    EXPECT_EQ(p.IbanBankAccount().size(), 22u);
    p.SetBankCode("123456789");
    EXPECT_EQ(p.BankCode(), "12345678");
    // Clear keeps IsActive and Modified.
    p.SetIsActive(true);
    p.Clear();
    EXPECT_TRUE(p.isActive() && p.Modified && p.IsEmpty());
    EXPECT_EQ(p.ID(), -1);
    EXPECT_EQ(p.ProdName(), "");
}

// A line count beyond the data ends with the reader's error, before any
// room is taken for the lines. Without central statements nothing is run.
TEST(SQLDataPack, LineCountBeyondTheDataIsRefusedAndNoCentralStatementsSaveWithoutTheDatabase) {
    TSQLDataPack back(nullptr);  // no data module: any statement would fail
    std::string msg = "old";
    EXPECT_TRUE(back.SaveToDB(msg));
    EXPECT_EQ(msg, "");
    back.SQLMy = {"/*stmt_lim*/", "   ", "/*stmt_lim*/ \t", ""};
    EXPECT_TRUE(back.SaveToDB(msg));
    back.Remark = "r";
    back.SQLFB = {"x"};
    back.Clear();
    EXPECT_TRUE(back.Remark.empty() && back.SQLFB.empty() && back.SQLMy.empty());
    // The pack's scripts as lines of a text.
    EXPECT_EQ(TextToLines("a\r\nb\nc\rd"), (TStringLines{"a", "b", "c", "d"}));
    EXPECT_EQ(TextToLines("a\r\n\r\nb\r\n"), (TStringLines{"a", "", "b"}));
    EXPECT_TRUE(TextToLines("").empty());
    EXPECT_EQ(LinesToText({"a", "", "b"}), "a\r\n\r\nb\r\n");
    const std::string beyond = Written([](TNVBinWriter& w) {
        w.WriteString("r");
        w.WriteInteger(2000000000);
        w.WriteString("only one line");
    });
    EXPECT_THROW(LoadWireBytes(back, beyond), EInvalidValue);
}

// ---------------------------------------------------------------------------
// Articles

TEST(ArticleModel, DefaultsCappedWritersPriceBandsAndTheModifiedFlags) {
    TArticle fresh(nullptr);
    EXPECT_EQ(Format("%d %d", {fresh.ID(), fresh.ActionRequestID()}), "-1 -1");
    EXPECT_EQ(fresh.VAT(), 20);
    for (int32_t v : {fresh.SHELF_ID(), fresh.NZOK_SHELF_ID(), fresh.MIN_RESERVE(), fresh.MAX_RESERVE(),
                      fresh.MIN_RESERVE_NZOK(), fresh.MAX_RESERVE_NZOK(), fresh.PRESCRIPTION_TYPE_ID(),
                      fresh.QUANTITY_PER_PACK(), fresh.PRODUCT_GROUP_ID()})
        EXPECT_EQ(v, 1);
    for (int32_t v : {fresh.SALE_DEFAULT_MEASURE_ID(), fresh.MIN_RESERVE_MEASURE_ID(),
                      fresh.MIN_RESERVE_NZOK_MEASURE_ID(), fresh.AUTO_DELIVERY_MEASURE_ID(), fresh.AtomicMeasureID(),
                      fresh.PackMeasureID()})
        EXPECT_EQ(v, -1);
    EXPECT_TRUE(fresh.IS_SALABLE() && fresh.HAS_STICKER() && fresh.IS_ACTIVE());
    EXPECT_FALSE(fresh.MeasuresTable().Active() || fresh.HasSubstitudes() || fresh.Modified);
    // The base price sets the delivery and sale price limits by its band.
    const std::tuple<double, const char*, const char*> bands[] = {
        {1, "1.12", "1.33"},        {2, "2.20", "2.56"},         {7, "7.70", "8.96"},    {10, "10.90", "12.50"},
        {30, "32.70", "37.50"},     {100, "107.00", "120.00"},   {0, "0.00", "0.00"},    {-4, "0.00", "0.00"}};
    for (const auto& [price, delivery, sale] : bands) {
        TArticle a(nullptr);
        a.SetBASE_PRICE(price);
        EXPECT_EQ(a.DeliveryPriceLimit() + " " + a.SalePriceLimit(), std::string(delivery) + " " + sale) << price;
        EXPECT_TRUE(a.Modified);
    }
    for (double v : {150.0, 100.0, -5.0}) {
        TArticle a(nullptr);
        a.SetMAX_OVERRATE(v);
        a.SetDEFAULT_DISCOUNT(v);
        EXPECT_EQ(a.MAX_OVERRATE(), std::min(v, 100.0));
        EXPECT_EQ(a.DEFAULT_DISCOUNT(), std::min(v, 100.0));
        EXPECT_TRUE(a.Modified);
    }
    TArticle a(nullptr);
    a.SetMeasuresModified(true);
    EXPECT_TRUE(a.Modified && a.MeasuresModified());
    a.SetMeasuresModified(false);
    EXPECT_TRUE(a.Modified);
    // Clear keeps what saving found out and resets the rest.
    a.IsExisting = a.NzokDataInDB = a.HasNzokData = true;
    a.SetMeasuresModified(true);
    a.Clear();
    EXPECT_TRUE(a.IsExisting && a.NzokDataInDB);
    EXPECT_FALSE(a.HasNzokData || a.Modified || a.MeasuresModified());
    // A measure reference naming no measure of the article falls back to the pack measure.
    AddMeasure(a, 11, 1, 1, "F", "");
    AddMeasure(a, 12, 2, 10, "T", "");
    a.SetSALE_DEFAULT_MEASURE_ID(99);
    a.SetMIN_RESERVE_MEASURE_ID(12);
    a.Modified = false;
    a.ResolveMeasureReferences();
    EXPECT_EQ(Format("%d %d %d %d", {a.SALE_DEFAULT_MEASURE_ID(), a.MIN_RESERVE_MEASURE_ID(),
                                     a.MIN_RESERVE_NZOK_MEASURE_ID(), a.AUTO_DELIVERY_MEASURE_ID()}),
              "11 12 11 11");
    EXPECT_TRUE(a.Modified);
}

TEST(ArticleModel, AssignCopiesValuesFlagsAndMeasures) {
    TArticle src(nullptr), dst(nullptr), plain(nullptr);
    FillArticle(src, "Aspirin", "380001", "NZ1");
    src.SetID(7);
    plain.Assign(src);
    EXPECT_EQ(WireBytes(plain), WireBytes(src));
    AddSubstitute(dst, 1, 2, "x", false);
    dst.Assign(src);  // the substitutes stay the target's own
    EXPECT_EQ(dst.ID(), 7);
    EXPECT_TRUE(dst.Modified && dst.MeasuresModified() && dst.HasNzokData);
    EXPECT_EQ(Rows(dst), Rows(src));
    EXPECT_EQ(dst.Substitudes().GetCount(), 1);
    TArticleMeasure measure(nullptr);
    const std::string e = ErrorOf([&] { dst.Assign(measure); });
    EXPECT_EQ(e.rfind("Invalid assign operation on TArticle", 0), 0u) << e;
}

// ---------------------------------------------------------------------------
// The wire record

// Every cut of the record but the one without its trailer is refused.
TEST(ArticleWire, RecordRoundTripsByteForByteAndEveryCutIsRefused) {
    TArticle a(nullptr);
    FillArticle(a, "Aspirin", "380001", "NZ1");
    a.SetID(12);
    a.IsExisting = a.NzokDataInDB = a.ReservedFlag = a.UpdateMeasureNamesOnly = true;
    AddSubstitute(a, 5, 40, Cp(u8"Аналгин"), false);
    AddSubstitute(a, 0, 41, "Paracetamol", true);
    const std::string bytes = WireBytes(a);
    TArticle b(nullptr);
    LoadWireBytes(b, bytes);
    EXPECT_EQ(WireBytes(b), bytes);
    EXPECT_EQ(b.ID(), 12);
    EXPECT_EQ(b.ActionRequestID(), -1);
    EXPECT_FALSE(b.IS_SALABLE());
    EXPECT_EQ(b.MIN_AGE(), 2.5);
    EXPECT_TRUE(b.Modified && b.IsExisting && b.NzokDataInDB && b.ReservedFlag && b.UpdateMeasureNamesOnly);
    EXPECT_EQ(Rows(b), Rows(a));
    ASSERT_EQ(b.Substitudes().GetCount(), 2);
    EXPECT_TRUE(b.Substitudes().Items[1]->IsNew);
    EXPECT_EQ(b.Substitudes().Items[0]->CyrName, Cp(u8"Аналгин"));
    LoadWireBytes(b, bytes);  // a second load replaces what the first one read
    EXPECT_EQ(WireBytes(b), bytes);
    for (size_t n = 0; n < bytes.size(); ++n) {
        TArticle cut(nullptr);
        if (n != bytes.size() - 7) {
            EXPECT_ANY_THROW(LoadWireBytes(cut, bytes.substr(0, n))) << n;
            continue;
        }
        LoadWireBytes(cut, bytes.substr(0, n));  // without its trailer ("SAL_0") the record is whole
        EXPECT_TRUE(cut.IS_SALABLE());
    }
    for (const char* trailer : {"SAL_1", "SAL_", "SAL_x"}) {  // only "SAL_0" marks it not saleable
        TArticle t(nullptr);
        LoadWireBytes(t, bytes.substr(0, bytes.size() - 7) + Written([&](TNVBinWriter& w) { w.WriteString(trailer); }));
        EXPECT_TRUE(t.IS_SALABLE()) << trailer;
    }
}

TEST(ArticleWire, WrongCountsLongTextsAndBadNumbersAreRefused) {
    // An empty article ends in: substitutes count 0, measures count 0, trailer.
    TArticle empty(nullptr);
    const std::string full = WireBytes(empty);
    const std::string head = full.substr(0, full.size() - 2 - 2 - 7);
    const auto measure = [](TNVBinWriter& w, const std::string& atomic, const std::string& name) {
        for (int i = 1; i <= 4; ++i) w.WriteInteger(i);
        w.WriteString(atomic);
        w.WriteString(name);
    };
    const auto link = [](TNVBinWriter& w) {
        w.WriteInteger(1);
        w.WriteInteger(2);
        w.WriteString("s");
        w.WriteBoolean(true);
    };
    const struct {
        const char* what;
        std::string tail;
    } cases[] = {
        {"negative substitutes", Written([](TNVBinWriter& w) { w.WriteInteger(-1); w.WriteInteger(0); })},
        {"huge substitutes", Written([](TNVBinWriter& w) { w.WriteInteger(0x7FFFFFFF); w.WriteInteger(0); })},
        {"more substitutes than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(3); link(w); link(w); w.WriteInteger(0); })},
        {"fewer substitutes than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(1); link(w); link(w); w.WriteInteger(0); })},
        {"negative measures", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(-5); })},
        {"huge measures", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(100000000); })},
        {"more measures than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(2); measure(w, "T", "m"); })},
        {"fewer measures than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(1); measure(w, "T", "m"); measure(w, "F", "n"); })},
        // (A measure name or atomic mark longer than its field is cut: article_checks_test.cpp.)
        {"values after the trailer", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(0); w.WriteString("SAL_1"); w.WriteInteger(1); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TArticle b(nullptr);
        EXPECT_ANY_THROW(LoadWireBytes(b, head + c.tail));
    }
    // Links of the smallest size each, followed by nothing but the measures count, fit.
    TArticle fit(nullptr);
    LoadWireBytes(fit, head + Written([](TNVBinWriter& w) {
                           w.WriteInteger(3);
                           for (int i = 0; i < 3; ++i) {
                               w.WriteInteger(i);
                               w.WriteInteger(0);
                               w.WriteString("");
                               w.WriteBoolean(false);
                           }
                           w.WriteInteger(0);
                       }));
    EXPECT_EQ(fit.Substitudes().GetCount(), 3);
    // Texts longer than their columns and numbers that are not finite.
    const std::vector<std::function<void(TArticle&)>> values = {
        [](TArticle& a) { a.SetBARCODE1(std::string(51, '1')); },
        [](TArticle& a) { a.SetNZOK_CODE(std::string(51, 'N')); },
        [](TArticle& a) { a.SetANAME(std::string(256, 'a')); },
        [](TArticle& a) { a.SetATC_CODE(std::string(51, 'c')); },
        [](TArticle& a) { a.SetVAT(NAN); },
        [](TArticle& a) { a.SetBASE_PRICE(INFINITY); },
        [](TArticle& a) { a.SetNZOK_CODE("N"); a.SetMIN_AGE(1e18); },
    };
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        TArticle a(nullptr), b(nullptr);
        values[i](a);
        EXPECT_THROW(LoadWireBytes(b, WireBytes(a)), EArticleRecordError);
        const std::string e = ErrorOf([&] { LoadWireBytes(b, WireBytes(a)); });
        EXPECT_EQ(e.rfind(Cp(u8"Невалидни данни"), 0), 0u) << e;
    }
}

TEST(ArticleSubstitudes, RecordListSource) {
    TArticle a(nullptr);
    AddSubstitute(a, 0, 40, "first", true);
    const IRecordListSource& src = a.Substitudes();
    ASSERT_EQ(src.GetFieldDefCount(), 2);
    EXPECT_EQ(src.GetFieldDef(1).Name, "CyrName");
    EXPECT_EQ(src.GetFieldDef(1).Size, 20);
    EXPECT_EQ(src.GetFieldDef(0).DataType, TFieldType::ftInteger);
    EXPECT_EQ(src.GetFieldDef(0).Size, 0);
    Variant v(int32_t{-9});
    src.GetFieldValue(0, "articleid", v);
    EXPECT_EQ(v.AsInteger(), 40);
    src.GetFieldValue(0, "CYRNAME", v);
    EXPECT_EQ(v.AsString(), "first");
    src.GetFieldValue(0, "other", v);
    EXPECT_EQ(v.AsString(), "first");
    TArticleSubstitude link(nullptr);
    EXPECT_FALSE(link.DeleteFromDB(1) || link.LoadFromUpdateTable(1));
    EXPECT_TRUE(link.CanActualize(TNomObjectActualizationType::noatDelete));
}

TEST(ArticleMeasure, DefaultsRecordAndAssign) {
    TArticleMeasure m(nullptr);
    EXPECT_TRUE(m.IS_ATOMIC);
    EXPECT_EQ(m.ARTICLE_ID, -1);
    EXPECT_EQ(m.MEASURE_NAME_ID, -1);
    EXPECT_EQ(m.FACTOR, 0);
    m.SetID(300);
    m.ARTICLE_ID = 7;
    m.MEASURE_NAME_ID = 70000;
    m.FACTOR = 10;
    m.IS_ATOMIC = false;
    const std::string bytes = WireBytes(m);
    EXPECT_EQ(bytes, Written([](TNVBinWriter& w) {
                  for (int32_t v : {300, 7, 70000, 10}) w.WriteInteger(v);
                  w.WriteBoolean(false);
              }));
    TArticleMeasure n(nullptr), o(nullptr);
    LoadWireBytes(n, bytes);
    EXPECT_EQ(WireBytes(n), bytes);
    o.Assign(n);
    EXPECT_EQ(WireBytes(o), bytes);
    TArticle a(nullptr);
    EXPECT_THROW(o.Assign(a), EAssertionFailed);
    std::string msg;
    EXPECT_FALSE(o.SaveToDB(msg) || o.DeleteFromDB(1) || o.LoadFromUpdateTable(1));
}
