// Loading an article from a staged proposal and binding its values to the
// parameters of the article statements.
#include "core/currency.h"
#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/log.h"
#include "core/text.h"
#include "nomsync/article/article.h"

namespace {

bool BoolOf(const TDataSet& ds, const char* name) { return ds.FieldByName(name).AsString() == "T"; }
int32_t IntOf(const TDataSet& ds, const char* name) { return ds.FieldByName(name).AsInteger(); }
double FloatOf(const TDataSet& ds, const char* name) { return ds.FieldByName(name).AsFloat(); }
std::string TextOf(const TDataSet& ds, const char* name) { return ds.FieldByName(name).AsString(); }
Currency CurrOf(const TDataSet& ds, const char* name) { return ds.FieldByName(name).AsCurrency(); }
// A float column taken as an amount rounded to two decimals.
double Rounded2(const TDataSet& ds, const char* name) { return RoundMoney(CurrOf(ds, name), 0).ToDouble(); }

Variant TextOrNull(const std::string& s) { return IfThenVar(s.empty(), Variant::Null(), Variant(s)); }
Variant TF(bool b) { return Variant(std::string(BoolChars[b])); }

// One parameter of a binding: its value, its type and whether update mode
// binds it too.
struct TParamValue {
    const char* name;
    TFieldType type;
    Variant value;
    bool inUpdate;
};

void Bind(TDMBase& dm, TQuery& q, const std::vector<TParamValue>& values, bool fullMode) {
    std::vector<std::string> names;
    std::vector<TFieldType> types;
    std::vector<Variant> vals;
    for (const auto& p : values) {
        if (!fullMode && !p.inUpdate) continue;
        names.push_back(p.name);
        types.push_back(p.type);
        vals.push_back(p.value);
    }
    dm.SetParams(q, names, types, vals);
}

constexpr TFieldType I = TFieldType::ftInteger, S = TFieldType::ftString, F = TFieldType::ftFloat,
                     C = TFieldType::ftCurrency;

}  // namespace

bool TArticle::LoadFromUpdateTable(int32_t actionRequestID) {
    bool result;
    {
        auto q = dm_->OpenQuery(
            "SELECT \r\n"
            "  A.*, AN.*, \r\n"
            "  AI.ADDITIONAL_INFO, AI.SHOW_INFO_DIRECT_SALE, AI.SHOW_INFO_SALE_NZOK \r\n"
            "FROM nom_update_article A \r\n"
            "LEFT OUTER JOIN nom_update_article_nzok AN ON (A.ACTION_REQUEST_ID=AN.ACTION_REQUEST_ID) \r\n"
            "LEFT OUTER JOIN nom_update_article_info AI ON (A.ACTION_REQUEST_ID = AI.ACTION_REQUEST_ID) \r\n"
            "WHERE A.ACTION_REQUEST_ID = " +
            IntToStr(actionRequestID));
        result = !q->Eof();
        if (result)
            LoadFromDataSet(*q);
        else
            Clear();
    }
    const Variant changes = dm_->GetScalar(
        "select count(*) changes_total from nom_update_measure where action_request_id = " + IntToStr(actionRequestID));
    if (VarToInt64Def(changes, 0) > 0) {
        LoadMeasuresFromUpdateTable();
        SetMeasuresModified(true);
    } else {
        SetMeasuresModified(false);
    }
    return result;
}

void TArticle::LoadFromDataSet(const TDataSet& ds) {
    TNomenclatureObject::LoadFromDataSet(ds);
    v_.GROUP_ID = IntOf(ds, "GROUP_ID");
    v_.PRODUCER_ID = IntOf(ds, "PRODUCER_ID");
    v_.SALE_DEFAULT_MEASURE_ID = IntOf(ds, "SALE_DEFAULT_MEASURE_ID");
    v_.SHELF_ID = IntOf(ds, "SHELF_ID");
    v_.ANAME = TextOf(ds, "NAME");
    v_.CYR_NAME = TextOf(ds, "CYR_NAME");
    v_.GENERICA = TextOf(ds, "GENERICA");
    v_.ATC_CODE = TextOf(ds, "ATC_CODE");
    v_.ACTIVE_QUANTITY = TextOf(ds, "ACTIVE_QUANTITY");
    v_.DESCRIPTION = TextOf(ds, "DESCRIPTION");
    v_.VAT = FloatOf(ds, "VAT");
    SetMAX_OVERRATE(FloatOf(ds, "MAX_OVERRATE"));
    SetBASE_PRICE(FloatOf(ds, "BASE_PRICE"));
    v_.MIN_RESERVE = IntOf(ds, "MIN_RESERVE");
    v_.MAX_RESERVE = IntOf(ds, "MAX_RESERVE");
    v_.MIN_RESERVE_MEASURE_ID = IntOf(ds, "MIN_RESERVE_MEASURE_ID");
    v_.IS_DRUG = BoolOf(ds, "IS_DRUG");
    v_.DRUG_TYPE_ID = IntOf(ds, "DRUG_TYPE_ID");
    v_.IS_MINISTRY_PRICE = BoolOf(ds, "IS_MINISTRY_PRICE");
    v_.IS_INVENTORISED = BoolOf(ds, "IS_INVENTORISED");
    v_.BARCODE1 = TextOf(ds, "BARCODE1");
    v_.BARCODE2 = TextOf(ds, "BARCODE2");
    v_.PRINT_BARCODE = BoolOf(ds, "PRINT_BARCODE");
    v_.AUTO_DELIVERY_MEASURE_ID = IntOf(ds, "AUTO_DELIVERY_MEASURE_ID");
    SetDEFAULT_DISCOUNT(FloatOf(ds, "DEFAULT_DISCOUNT"));
    v_.LAST_DELIVERY_ITEM_SALE_PRICE = CurrOf(ds, "LAST_DELIVERY_ITEM_SALE_PRICE");
    v_.IS_SALABLE = BoolOf(ds, "IS_SALABLE");
    v_.DIRECT_SALE_MARGE = FloatOf(ds, "DIRECT_SALE_MARGE");
    v_.WITH_PRESCRIPTION_ONLY = BoolOf(ds, "WITH_PRESCRIPTION_ONLY");
    v_.DEFAULT_DIRECT_SALE_PRICE = CurrOf(ds, "DEFAULT_DIRECT_SALE_PRICE");
    v_.DEFAULT_NZOK_SALE_PRICE = CurrOf(ds, "DEFAULT_NZOK_SALE_PRICE");
    v_.IS_MEDICINE = BoolOf(ds, "IS_MEDICINE");
    v_.DIRECT_SALE_MAX_PRICE = CurrOf(ds, "DIRECT_SALE_MAX_PRICE").ToDouble();

    const TField* nzokCode = ds.FindField("NZOK_CODE");
    if (nzokCode && !nzokCode->IsNull()) {
        v_.PRESCRIPTION_TYPE_ID = IntOf(ds, "PRESCRIPTION_TYPE_ID");
        v_.NZOK_CODE = TextOf(ds, "NZOK_CODE");
        v_.NZOK_GROUP = IntOf(ds, "NZOK_GROUP");
        v_.QUANTITY_PER_PACK = IntOf(ds, "QUANTITY_PER_PACK");
        v_.MAX_PRICE = FloatOf(ds, "MAX_PRICE");
        v_.REINBURSEMENT = FloatOf(ds, "REINBURSEMENT");
        v_.MAX_PRICE_OLD = FloatOf(ds, "MAX_PRICE_OLD");
        v_.REINBURSEMENT_OLD = FloatOf(ds, "REINBURSEMENT_OLD");
        v_.MIN_RESERVE_NZOK = IntOf(ds, "MIN_RESERVE_NZOK");
        v_.MAX_RESERVE_NZOK = IntOf(ds, "MAX_RESERVE_NZOK");
        v_.MIN_RESERVE_NZOK_MEASURE_ID = IntOf(ds, "MIN_RESERVE_NZOK_MEASURE_ID");
        v_.NZOK_SHELF_ID = IntOf(ds, "NZOK_SHELF_ID");
        v_.IS_FREE = BoolOf(ds, "IS_FREE");
        v_.HAS_STICKER = BoolOf(ds, "HAS_STICKER");
        v_.IS_DIVISIBLE = BoolOf(ds, "IS_DIVISIBLE");
        v_.DAY_DOSE_ALLOWED = CurrOf(ds, "DAY_DOSE_ALLOWED");
        v_.IS_ACTIVE = BoolOf(ds, "IS_ACTIVE");
        v_.IS_STANDALONE = BoolOf(ds, "IS_STANDALONE");
        v_.IS_CONTROLLED_DOSE = BoolOf(ds, "IS_CONTROLLED_DOSE");
        v_.MIN_AGE = Rounded2(ds, "MIN_AGE");
        v_.MAX_AGE = Rounded2(ds, "MAX_AGE");
        v_.DEFAULT_DISCOUNT_NZOK = FloatOf(ds, "DEFAULT_DISCOUNT_NZOK");
        v_.PRESCRIPTION_PERIOD = IntOf(ds, "PRESCRIPTION_PERIOD");
        v_.PRODUCT_GROUP_ID = IntOf(ds, "PRODUCT_GROUP_ID");
        v_.MEDICAL_ARTICLE_TYPE_ID = IntOf(ds, "MEDICAL_ARTICLE_TYPE_ID");
        v_.IS_FULLY_PAID = BoolOf(ds, "IS_FULLY_PAID");
        HasNzokData = true;
        NzokDataInDB = true;
    }

    v_.ADDITINAL_INFO = TextOf(ds, "ADDITIONAL_INFO");
    v_.SHOW_ADDITIONAL_INFO_IN_DIRECT_SALE = BoolOf(ds, "SHOW_INFO_DIRECT_SALE");
    v_.SHOW_ADDITIONAL_INFO_IN_SALE_NZOK = BoolOf(ds, "SHOW_INFO_SALE_NZOK");

    LoadMeasuresFromUpdateTable();
    // A proposal without staged measures names no measure at all (0, as a
    // fresh article does). With measures but no atomic or pack row among them
    // the article names none (-1), rather than whatever row the failed search
    // left current.
    if (measuresTable_->RecordCount() == 0) {
        v_.AtomicMeasureID = 0;
        v_.AtomicMeasureFactor = 0;
        v_.AtomicMeasureName.clear();
        v_.PackMeasureID = 0;
        Modified = false;
        return;
    }
    if (LocateMeasure("IS_ATOMIC", Variant("T"))) {
        v_.AtomicMeasureID = measuresTable_->FieldByName("ID").AsInteger();
        v_.AtomicMeasureFactor = measuresTable_->FieldByName("FACTOR").AsInteger();
        v_.AtomicMeasureName = measuresTable_->FieldByName("MeasureName").AsString();
    } else {
        v_.AtomicMeasureID = -1;
        Log(ClassName(), Format("No atomic measure among the staged measures of ActionRequestID = %d",
                                {ActionRequestID()}));
    }
    v_.PackMeasureID = PackMeasureRowID();
    Modified = false;
}

void TArticle::LoadMeasuresFromUpdateTable() {
    auto q = dm_->CreateQuery(MeasuresQuerySQL());
    dm_->SetParam(*q, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
    q->Open();
    OpenMeasuresTable();
    measuresTable_->EmptyTable();
    for (; !q->Eof(); q->Next()) {
        const int32_t id = q->FieldByName("ID").AsInteger();
        measuresTable_->Append();
        measuresTable_->FieldByName("ID").SetAsInteger(id > 0 ? id : q->FieldByName("TEMP_ID").AsInteger());
        measuresTable_->FieldByName("ARTICLE_ID").SetAsInteger(q->FieldByName("ARTICLE_ID").AsInteger());
        measuresTable_->FieldByName("MEASURE_NAME_ID").SetAsInteger(q->FieldByName("MEASURE_NAME_ID").AsInteger());
        measuresTable_->FieldByName("FACTOR").SetAsInteger(q->FieldByName("FACTOR").AsInteger());
        measuresTable_->FieldByName("IS_ATOMIC").SetAsString(q->FieldByName("IS_ATOMIC").AsString());
        measuresTable_->Post();
        Log(ClassName(), "Loaded MeasureID:" + IntToStr(measuresTable_->FieldByName("ID").AsInteger()));
    }
}

void TArticle::SetArticleParams(TQuery& query, bool fullMode) {
    if (query.FindParam("ID")) dm_->SetParam(query, "ID", I, Variant(GetID()));
    const bool drugType = v_.IS_DRUG && (v_.DRUG_TYPE_ID == 1 || v_.DRUG_TYPE_ID == 2);
    Bind(*dm_, query,
         {{"GROUP_ID", I, Variant(v_.GROUP_ID), true},
          {"PRODUCER_ID", I, Variant(v_.PRODUCER_ID), true},
          {"SALE_DEFAULT_MEASURE_ID", I, Variant(v_.SALE_DEFAULT_MEASURE_ID), false},
          {"SHELF_ID", I, Variant(v_.SHELF_ID), false},
          {"NAME", S, Variant(v_.ANAME), true},
          {"CYR_NAME", S, Variant(v_.CYR_NAME), true},
          {"GENERICA", S, TextOrNull(v_.GENERICA), true},
          {"ATC_CODE", S, TextOrNull(v_.ATC_CODE), true},
          {"ACTIVE_QUANTITY", S, TextOrNull(v_.ACTIVE_QUANTITY), true},
          {"DESCRIPTION", S, TextOrNull(v_.DESCRIPTION), true},
          {"VAT", F, Variant(v_.VAT), true},
          {"MAX_OVERRATE", F, Variant(v_.MAX_OVERRATE), false},
          {"BASE_PRICE", F, Variant(v_.BASE_PRICE), true},
          {"MIN_RESERVE", I, Variant(v_.MIN_RESERVE), false},
          {"MAX_RESERVE", I, Variant(v_.MAX_RESERVE), false},
          {"MIN_RESERVE_MEASURE_ID", I, Variant(v_.MIN_RESERVE_MEASURE_ID), false},
          {"IS_DRUG", S, TF(v_.IS_DRUG), true},
          {"DRUG_TYPE_ID", I, IfThenVar(drugType, Variant(v_.DRUG_TYPE_ID), Variant::Null()), true},
          {"IS_MINISTRY_PRICE", S, TF(v_.IS_MINISTRY_PRICE), true},
          {"IS_INVENTORISED", S, TF(v_.IS_INVENTORISED), true},
          {"BARCODE1", S, TextOrNull(v_.BARCODE1), true},
          {"BARCODE2", S, TextOrNull(v_.BARCODE2), true},
          {"PRINT_BARCODE", S, TF(v_.PRINT_BARCODE), true},
          {"AUTO_DELIVERY_MEASURE_ID", I, Variant(v_.AUTO_DELIVERY_MEASURE_ID), false},
          {"IS_SALABLE", S, TF(v_.IS_SALABLE), true},
          {"DEFAULT_DISCOUNT", F, Variant(v_.DEFAULT_DISCOUNT), false},
          {"WITH_PRESCRIPTION_ONLY", S, TF(v_.WITH_PRESCRIPTION_ONLY), true},
          {"DEFAULT_DIRECT_SALE_PRICE", C, Variant(v_.DEFAULT_DIRECT_SALE_PRICE), false},
          {"DEFAULT_NZOK_SALE_PRICE", C, Variant(v_.DEFAULT_NZOK_SALE_PRICE), false},
          {"IS_MEDICINE", S, TF(v_.IS_MEDICINE), true},
          {"DIRECT_SALE_MAX_PRICE", F, Variant(v_.DIRECT_SALE_MAX_PRICE), false}},
         fullMode);
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm_->SetParam(query, "ACTION_REQUEST_ID", I, Variant(ActionRequestID()));
}

void TArticle::SetArticleNzokParams(TQuery& query, bool fullMode) {
    dm_->SetParam(query, "ID", I, Variant(GetID()));
    const auto round2 = [](double v) { return Variant(RoundMoney(Currency::FromDouble(v), 0).ToDouble()); };
    Bind(*dm_, query,
         {{"PRESCRIPTION_TYPE_ID", I, Variant(v_.PRESCRIPTION_TYPE_ID), true},
          {"NZOK_CODE", S, Variant(v_.NZOK_CODE), true},
          {"NZOK_GROUP", I, Variant(v_.NZOK_GROUP), true},
          {"QUANTITY_PER_PACK", I, Variant(v_.QUANTITY_PER_PACK), true},
          {"MAX_PRICE", F, Variant(v_.MAX_PRICE), true},
          {"REINBURSEMENT", F, Variant(v_.REINBURSEMENT), true},
          {"MAX_PRICE_OLD", F, Variant(v_.MAX_PRICE_OLD), true},
          {"REINBURSEMENT_OLD", F, Variant(v_.REINBURSEMENT_OLD), true},
          {"MIN_RESERVE_NZOK", I, Variant(v_.MIN_RESERVE_NZOK), false},
          {"MAX_RESERVE_NZOK", I, Variant(v_.MAX_RESERVE_NZOK), false},
          {"MIN_RESERVE_NZOK_MEASURE_ID", I, Variant(v_.MIN_RESERVE_NZOK_MEASURE_ID), false},
          {"NZOK_SHELF_ID", I, Variant(v_.NZOK_SHELF_ID), false},
          {"IS_FREE", S, TF(v_.IS_FREE), true},
          {"HAS_STICKER", S, TF(v_.HAS_STICKER), true},
          {"IS_DIVISIBLE", S, TF(v_.IS_DIVISIBLE), true},
          {"DAY_DOSE_ALLOWED", C, Variant(v_.DAY_DOSE_ALLOWED), true},
          {"IS_ACTIVE", S, TF(v_.IS_ACTIVE), true},
          {"IS_STANDALONE", S, TF(v_.IS_STANDALONE), true},
          {"IS_CONTROLLED_DOSE", S, TF(v_.IS_CONTROLLED_DOSE), true},
          {"MIN_AGE", F, round2(v_.MIN_AGE), true},
          {"MAX_AGE", F, round2(v_.MAX_AGE), true},
          {"DEFAULT_DISCOUNT_NZOK", F, Variant(v_.DEFAULT_DISCOUNT_NZOK), false},
          {"PRESCRIPTION_PERIOD", I, Variant(v_.PRESCRIPTION_PERIOD), true},
          {"PRODUCT_GROUP_ID", I, Variant(v_.PRODUCT_GROUP_ID), true},
          {"MEDICAL_ARTICLE_TYPE_ID", I, Variant(v_.MEDICAL_ARTICLE_TYPE_ID), true},
          {"IS_FULLY_PAID", S, TF(v_.IS_FULLY_PAID), true}},
         fullMode);
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm_->SetParam(query, "ACTION_REQUEST_ID", I, Variant(ActionRequestID()));
}
