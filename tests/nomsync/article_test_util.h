// Article data for the catalogue tests: an article with every value set,
// its measures and its substitutes.
#pragma once

#include <string>

#include "core/cp1251.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_substitudes.h"

namespace nomsync_test {

inline void AddMeasure(TArticle& a, int32_t id, int32_t nameID, int32_t factor, const char* atomic,
                       const std::string& name) {
    TNVMemTable& t = a.MeasuresTable();
    if (!t.Active()) t.Open();
    t.AppendRecord({Variant(id), Variant(a.ID()), Variant(nameID), Variant(factor), Variant(atomic), Variant(name)});
}

inline void AddSubstitute(TArticle& a, int32_t rowID, int32_t articleID, const std::string& name, bool isNew) {
    auto link = TArticleSubstitude::CreateOwned(a.DM(), &a.Substitudes());
    link->RowID = rowID;
    link->ArticleID = articleID;
    link->CyrName = name;
    link->IsNew = isNew;
    a.Substitudes().Items.push_back(std::move(link));
}

// Every value set (no NZOK part when nzokCode is empty); three measures of
// FACTOR 1, 10 and 100 with IDs base+1.. and measure names 1..3.
inline void FillArticle(TArticle& a, const std::string& name, const std::string& barcode,
                        const std::string& nzokCode = "", int32_t base = 0) {
    a.SetIS_SALABLE(false);
    a.SetGROUP_ID(3);
    a.SetPRODUCER_ID(4);
    a.SetSALE_DEFAULT_MEASURE_ID(base + 2);
    a.SetSHELF_ID(1);
    a.SetANAME(name);
    a.SetCYR_NAME(Cp(u8"Кир ") + name);
    a.SetGENERICA("gen");
    a.SetATC_CODE("N02BE01");
    a.SetACTIVE_QUANTITY("500 mg");
    a.SetDESCRIPTION("desc");
    a.SetVAT(9);
    a.SetMAX_OVERRATE(25.5);
    a.SetBASE_PRICE(10);
    a.SetMIN_RESERVE(2);
    a.SetMAX_RESERVE(20);
    a.SetMIN_RESERVE_MEASURE_ID(base + 1);
    a.SetIS_DRUG(true);
    a.SetDRUG_TYPE_ID(2);
    a.SetIS_MINISTRY_PRICE(true);
    a.SetIS_INVENTORISED(true);
    a.SetBARCODE1(barcode);
    a.SetBARCODE2(barcode.empty() ? "" : barcode + "-2");
    a.SetPRINT_BARCODE(true);
    a.SetAUTO_DELIVERY_MEASURE_ID(base + 3);
    a.SetDEFAULT_DISCOUNT(5);
    a.SetWITH_PRESCRIPTION_ONLY(true);
    a.SetDEFAULT_DIRECT_SALE_PRICE(Currency::FromString("12.3456"));
    a.SetDEFAULT_NZOK_SALE_PRICE(Currency::FromString("11.5"));
    a.SetIS_MEDICINE(true);
    a.SetDIRECT_SALE_MAX_PRICE(13.25);
    a.SetNZOK_CODE(nzokCode);
    a.HasNzokData = !nzokCode.empty();
    if (a.HasNzokData) {
        a.SetPRESCRIPTION_TYPE_ID(2);
        a.SetNZOK_GROUP(7);
        a.SetQUANTITY_PER_PACK(30);
        a.SetMAX_PRICE(9.5);
        a.SetREINBURSEMENT(4.25);
        a.SetMAX_PRICE_OLD(9);
        a.SetREINBURSEMENT_OLD(4);
        a.SetMIN_RESERVE_NZOK(3);
        a.SetMAX_RESERVE_NZOK(30);
        a.SetMIN_RESERVE_NZOK_MEASURE_ID(base + 1);
        a.SetNZOK_SHELF_ID(1);
        a.SetIS_FREE(true);
        a.SetHAS_STICKER(false);
        a.SetIS_DIVISIBLE(true);
        a.SetDAY_DOSE_ALLOWED(Currency::FromString("1.5"));
        a.SetIS_ACTIVE(false);
        a.SetIS_STANDALONE(true);
        a.SetIS_CONTROLLED_DOSE(true);
        a.SetMIN_AGE(2.5);
        a.SetMAX_AGE(80);
        a.SetDEFAULT_DISCOUNT_NZOK(3);
        a.SetPRESCRIPTION_PERIOD(30);
        a.SetPRODUCT_GROUP_ID(2);
        a.SetMEDICAL_ARTICLE_TYPE_ID(1);
        a.SetIS_FULLY_PAID(true);
    }
    a.SetADDITINAL_INFO("info");
    a.SetSHOW_ADDITIONAL_INFO_IN_DIRECT_SALE(true);
    a.SetSHOW_ADDITIONAL_INFO_IN_SALE_NZOK(true);
    AddMeasure(a, base + 1, 1, 1, "F", Cp(u8"кутия"));
    AddMeasure(a, base + 2, 2, 10, "F", Cp(u8"блистер"));
    AddMeasure(a, base + 3, 3, 100, "T", Cp(u8"таблетка"));
    a.SetMeasuresModified(true);
}

}  // namespace nomsync_test
