// The article's record of tagged values: what a pharmacy sends in a
// proposal, what the data files hold and what the pharmacies are handed.
#include <cmath>

#include "nomsync/article/article.h"
#include "nomsync/article/article_substitudes.h"
#include "nomsync/article/article_wire_checks.h"
#include "protocol/nv_stream_utils.h"

namespace {

// Column widths of the texts that are stored centrally.
constexpr size_t kNameWidth = 255, kCodeWidth = 50, kDescriptionWidth = 65535;

std::string Text(TNVBinReader& r, size_t width, const char* what) {
    std::string s = r.ReadString();
    CheckTextWidth(s, width, what);
    return s;
}

double Float(TNVBinReader& r, const char* what) { return CheckFinite(r.ReadFloat(), what); }

// A float that is bound as an amount of four decimals.
double Amount(TNVBinReader& r, const char* what) {
    const double v = Float(r, what);
    if (std::fabs(v) >= 9e14) RefuseArticleRecord(std::string(what) + " out of range");
    return v;
}

}  // namespace

void TArticle::SaveToWriter(TNVBinWriter& w) {
    w.WriteInteger(v_.AtomicMeasureID);
    w.WriteInteger(v_.AtomicMeasureFactor);
    w.WriteString(v_.AtomicMeasureName);
    w.WriteInteger(v_.PackMeasureID);
    w.WriteInteger(GetID());
    w.WriteInteger(v_.GROUP_ID);
    w.WriteInteger(v_.PRODUCER_ID);
    w.WriteInteger(v_.SALE_DEFAULT_MEASURE_ID);
    w.WriteInteger(v_.SHELF_ID);
    w.WriteString(v_.ANAME);
    w.WriteString(v_.CYR_NAME);
    w.WriteString(v_.GENERICA);
    w.WriteString(v_.ATC_CODE);
    w.WriteString(v_.ACTIVE_QUANTITY);
    w.WriteString(v_.DESCRIPTION);
    w.WriteFloat(v_.VAT);
    w.WriteFloat(v_.MAX_OVERRATE);
    w.WriteFloat(v_.BASE_PRICE);
    w.WriteInteger(v_.MIN_RESERVE);
    w.WriteInteger(v_.MAX_RESERVE);
    w.WriteInteger(v_.MIN_RESERVE_MEASURE_ID);
    w.WriteBoolean(v_.IS_DRUG);
    w.WriteInteger(v_.DRUG_TYPE_ID);
    w.WriteBoolean(v_.IS_MINISTRY_PRICE);
    w.WriteBoolean(v_.IS_INVENTORISED);
    w.WriteString(v_.BARCODE1);
    w.WriteString(v_.BARCODE2);
    w.WriteBoolean(v_.PRINT_BARCODE);
    w.WriteInteger(v_.AUTO_DELIVERY_MEASURE_ID);
    w.WriteFloat(v_.DEFAULT_DISCOUNT);
    w.WriteCurrency(v_.LAST_DELIVERY_ITEM_SALE_PRICE);
    w.WriteFloat(v_.DIRECT_SALE_MARGE);
    w.WriteBoolean(v_.WITH_PRESCRIPTION_ONLY);
    w.WriteCurrency(v_.DEFAULT_DIRECT_SALE_PRICE);
    w.WriteCurrency(v_.DEFAULT_NZOK_SALE_PRICE);
    w.WriteBoolean(v_.IS_MEDICINE);
    w.WriteFloat(v_.DIRECT_SALE_MAX_PRICE);
    w.WriteString(v_.NZOK_CODE);
    if (!v_.NZOK_CODE.empty()) {
        w.WriteInteger(v_.PRESCRIPTION_TYPE_ID);
        w.WriteInteger(v_.NZOK_GROUP);
        w.WriteInteger(v_.QUANTITY_PER_PACK);
        w.WriteFloat(v_.MAX_PRICE);
        w.WriteFloat(v_.REINBURSEMENT);
        w.WriteFloat(v_.MAX_PRICE_OLD);
        w.WriteFloat(v_.REINBURSEMENT_OLD);
        w.WriteInteger(v_.MIN_RESERVE_NZOK);
        w.WriteInteger(v_.MAX_RESERVE_NZOK);
        w.WriteInteger(v_.MIN_RESERVE_NZOK_MEASURE_ID);
        w.WriteInteger(v_.NZOK_SHELF_ID);
        w.WriteBoolean(v_.IS_FREE);
        w.WriteBoolean(v_.HAS_STICKER);
        w.WriteBoolean(v_.IS_DIVISIBLE);
        w.WriteCurrency(v_.DAY_DOSE_ALLOWED);
        w.WriteBoolean(v_.IS_ACTIVE);
        w.WriteBoolean(v_.IS_STANDALONE);
        w.WriteBoolean(v_.IS_CONTROLLED_DOSE);
        w.WriteFloat(v_.MIN_AGE);
        w.WriteFloat(v_.MAX_AGE);
        w.WriteFloat(v_.DEFAULT_DISCOUNT_NZOK);
        w.WriteInteger(v_.PRESCRIPTION_PERIOD);
        w.WriteInteger(v_.PRODUCT_GROUP_ID);
        w.WriteInteger(v_.MEDICAL_ARTICLE_TYPE_ID);
        w.WriteBoolean(v_.IS_FULLY_PAID);
    }
    w.WriteBoolean(UpdateMeasureNamesOnly);
    w.WriteBoolean(measuresModified_);
    w.WriteBoolean(IsExisting);
    w.WriteBoolean(Modified);
    w.WriteString(v_.DeliveryPriceLimit);
    w.WriteString(v_.SalePriceLimit);
    w.WriteBoolean(ReservedFlag);
    w.WriteString(actualizationMeasureName_);
    w.WriteString(actualizationProducerName_);
    w.WriteInteger(HasNzokData ? 1 : 0);
    w.WriteInteger(NzokDataInDB ? 1 : 0);
    w.WriteString(v_.ADDITINAL_INFO);
    w.WriteBoolean(v_.SHOW_ADDITIONAL_INFO_IN_DIRECT_SALE);
    w.WriteBoolean(v_.SHOW_ADDITIONAL_INFO_IN_SALE_NZOK);
    Substitudes().SaveToWriter(w);
    WriteMeasures(w);
    w.WriteString(v_.IS_SALABLE ? "SAL_1" : "SAL_0");
}

// Every value goes straight into its member: no writer runs, nothing is
// capped or recomputed, and Modified is the sender's.
void TArticle::LoadFromReader(TNVBinReader& r) {
    TNomenclatureObject::LoadFromReader(r);
    v_.AtomicMeasureID = r.ReadInteger();
    v_.AtomicMeasureFactor = r.ReadInteger();
    v_.AtomicMeasureName = r.ReadString();
    v_.PackMeasureID = r.ReadInteger();
    TNomenclatureObject::SetID(r.ReadInteger());
    v_.GROUP_ID = r.ReadInteger();
    v_.PRODUCER_ID = r.ReadInteger();
    v_.SALE_DEFAULT_MEASURE_ID = r.ReadInteger();
    v_.SHELF_ID = r.ReadInteger();
    v_.ANAME = Text(r, kNameWidth, "ANAME");
    v_.CYR_NAME = Text(r, kNameWidth, "CYR_NAME");
    v_.GENERICA = Text(r, kNameWidth, "GENERICA");
    v_.ATC_CODE = Text(r, kCodeWidth, "ATC_CODE");
    v_.ACTIVE_QUANTITY = Text(r, kNameWidth, "ACTIVE_QUANTITY");
    v_.DESCRIPTION = Text(r, kDescriptionWidth, "DESCRIPTION");
    v_.VAT = Float(r, "VAT");
    v_.MAX_OVERRATE = Float(r, "MAX_OVERRATE");
    v_.BASE_PRICE = Float(r, "BASE_PRICE");
    v_.MIN_RESERVE = r.ReadInteger();
    v_.MAX_RESERVE = r.ReadInteger();
    v_.MIN_RESERVE_MEASURE_ID = r.ReadInteger();
    v_.IS_DRUG = r.ReadBoolean();
    v_.DRUG_TYPE_ID = r.ReadInteger();
    v_.IS_MINISTRY_PRICE = r.ReadBoolean();
    v_.IS_INVENTORISED = r.ReadBoolean();
    v_.BARCODE1 = Text(r, kCodeWidth, "BARCODE1");
    v_.BARCODE2 = Text(r, kCodeWidth, "BARCODE2");
    v_.PRINT_BARCODE = r.ReadBoolean();
    v_.AUTO_DELIVERY_MEASURE_ID = r.ReadInteger();
    v_.DEFAULT_DISCOUNT = Float(r, "DEFAULT_DISCOUNT");
    v_.LAST_DELIVERY_ITEM_SALE_PRICE = r.ReadCurrency();
    v_.DIRECT_SALE_MARGE = Float(r, "DIRECT_SALE_MARGE");
    v_.WITH_PRESCRIPTION_ONLY = r.ReadBoolean();
    v_.DEFAULT_DIRECT_SALE_PRICE = r.ReadCurrency();
    v_.DEFAULT_NZOK_SALE_PRICE = r.ReadCurrency();
    v_.IS_MEDICINE = r.ReadBoolean();
    v_.DIRECT_SALE_MAX_PRICE = Float(r, "DIRECT_SALE_MAX_PRICE");
    v_.NZOK_CODE = Text(r, kCodeWidth, "NZOK_CODE");
    if (!v_.NZOK_CODE.empty()) {
        v_.PRESCRIPTION_TYPE_ID = r.ReadInteger();
        v_.NZOK_GROUP = r.ReadInteger();
        v_.QUANTITY_PER_PACK = r.ReadInteger();
        v_.MAX_PRICE = Float(r, "MAX_PRICE");
        v_.REINBURSEMENT = Float(r, "REINBURSEMENT");
        v_.MAX_PRICE_OLD = Float(r, "MAX_PRICE_OLD");
        v_.REINBURSEMENT_OLD = Float(r, "REINBURSEMENT_OLD");
        v_.MIN_RESERVE_NZOK = r.ReadInteger();
        v_.MAX_RESERVE_NZOK = r.ReadInteger();
        v_.MIN_RESERVE_NZOK_MEASURE_ID = r.ReadInteger();
        v_.NZOK_SHELF_ID = r.ReadInteger();
        v_.IS_FREE = r.ReadBoolean();
        v_.HAS_STICKER = r.ReadBoolean();
        v_.IS_DIVISIBLE = r.ReadBoolean();
        v_.DAY_DOSE_ALLOWED = r.ReadCurrency();
        v_.IS_ACTIVE = r.ReadBoolean();
        v_.IS_STANDALONE = r.ReadBoolean();
        v_.IS_CONTROLLED_DOSE = r.ReadBoolean();
        v_.MIN_AGE = Amount(r, "MIN_AGE");
        v_.MAX_AGE = Amount(r, "MAX_AGE");
        v_.DEFAULT_DISCOUNT_NZOK = Float(r, "DEFAULT_DISCOUNT_NZOK");
        v_.PRESCRIPTION_PERIOD = r.ReadInteger();
        v_.PRODUCT_GROUP_ID = r.ReadInteger();
        v_.MEDICAL_ARTICLE_TYPE_ID = r.ReadInteger();
        v_.IS_FULLY_PAID = r.ReadBoolean();
    }
    UpdateMeasureNamesOnly = r.ReadBoolean();
    measuresModified_ = r.ReadBoolean();
    IsExisting = r.ReadBoolean();
    Modified = r.ReadBoolean();
    v_.DeliveryPriceLimit = r.ReadString();
    v_.SalePriceLimit = r.ReadString();
    ReservedFlag = r.ReadBoolean();
    actualizationMeasureName_ = r.ReadString();
    actualizationProducerName_ = r.ReadString();
    HasNzokData = (r.ReadInteger() & 0xFF) != 0;
    NzokDataInDB = (r.ReadInteger() & 0xFF) != 0;
    v_.ADDITINAL_INFO = r.ReadString();
    v_.SHOW_ADDITIONAL_INFO_IN_DIRECT_SALE = r.ReadBoolean();
    v_.SHOW_ADDITIONAL_INFO_IN_SALE_NZOK = r.ReadBoolean();
    Substitudes().LoadFromReader(r);
    ReadMeasures(r);

    // The saleable flag comes last; a record without it (an older client)
    // leaves IS_SALABLE True. Anything else after the measures means the
    // counts before did not match the values sent.
    if (r.Stream().Remaining() == 0) return;
    std::string trailer;
    try {
        trailer = r.ReadString();
    } catch (const std::exception&) {
        RefuseArticleRecord("values after the measures");
    }
    if (r.Stream().Remaining() != 0) RefuseArticleRecord("values after the saleable flag");
    if (trailer.size() >= 5 && trailer.find("SAL_") != std::string::npos) {
        if (trailer[4] == '1') v_.IS_SALABLE = true;
        if (trailer[4] == '0') v_.IS_SALABLE = false;
    }
}
