// Staging an article proposal: the action request, the rows of
// NOM_UPDATE_ARTICLE and NOM_UPDATE_ARTICLE_NZOK, the measures and the
// substitutes. No transaction of its own: the caller's, if any, holds it.
#include "core/db/dm_base.h"
#include "nomsync/article/article.h"

void TArticle::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    try {
        InsertActionRequest(params);
        SetIS_INVENTORISED(false);
        {
            auto q = dm_->CreateQuery(UpdateTableInsertSQL());
            SetArticleParams(*q, true);
            // The staged row carries the two read-only values that travel
            // back to the pharmacies; nothing reads the quantity left.
            dm_->SetParam(*q, "LAST_DELIVERY_ITEM_SALE_PRICE", TFieldType::ftCurrency,
                          Variant(v_.LAST_DELIVERY_ITEM_SALE_PRICE));
            dm_->SetParam(*q, "DIRECT_SALE_MARGE", TFieldType::ftFloat, Variant(v_.DIRECT_SALE_MARGE));
            dm_->SetParam(*q, "QUANTITY_LEFT_DIRECT_SALE", TFieldType::ftCurrency, Variant::Null());
            q->ExecSQL();
            if (HasNzokData) {
                q->SetSQL(NzokUpdateTableInsertSQL());
                SetArticleNzokParams(*q, true);
                dm_->SetParam(*q, "QUANTITY_LEFT_SALE_NZOK", TFieldType::ftCurrency, Variant::Null());
                q->ExecSQL();
            }
        }
        if (params.UpdateAction == 1) {
            // The rows above keep the IDs as proposed; the article written to
            // the request's data file, and the measures staged below, carry
            // every measure as a new one.
            TNVMemTable& t = MeasuresTable();
            if (!t.Active()) t.Open();
            for (t.First(); !t.Eof(); t.Next()) {
                if (t.FieldByName("ID").AsInteger() <= 0) continue;
                t.Edit();
                t.FieldByName("ID").SetAsInteger(0);
                t.Post();
            }
            t.First();
            SetSALE_DEFAULT_MEASURE_ID(0);
            SetAUTO_DELIVERY_MEASURE_ID(0);
            SetMIN_RESERVE_MEASURE_ID(0);
            SetMIN_RESERVE_NZOK_MEASURE_ID(0);
        }
        if (measuresModified_) SaveMeasuresToNomUpdateTable(params);
        SaveSubstitudesToUpdateTable(params);
        Modified = false;
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}
