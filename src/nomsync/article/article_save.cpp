// Saving an article to the central catalogue: ARTICLE, ARTICLE_NZOK, its
// measures and its substitutes. The caller owns the transaction.
#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_substitudes.h"

bool TArticle::ExistsInDB() { return dm_->RecordExists("SELECT ID FROM ARTICLE WHERE ID = " + IntToStr(GetID())); }

bool TArticle::NzokRowExists() {
    return dm_->RecordExists("SELECT ID FROM ARTICLE_NZOK WHERE ID=" + IntToStr(GetID()));
}

void TArticle::ValidateProducer() {
    if (!dm_->ProducerExists(v_.PRODUCER_ID)) SetPRODUCER_ID(0);
}

void TArticle::ValidateShelves() {
    if (!dm_->ShelfExists(v_.SHELF_ID)) SetSHELF_ID(1);
    if (!dm_->ShelfExists(v_.NZOK_SHELF_ID)) SetNZOK_SHELF_ID(1);
}

bool TArticle::SaveToDB(std::string& msg) {
    msg.clear();
    try {
        SetIS_INVENTORISED(false);
        IsExisting = GetID() > -1;
        const bool exists = ExistsInDB();
        ValidateProducer();
        ValidateShelves();
        if (IsExisting && !exists) return true;  // vanished centrally: nothing to write

        if (IsExisting) {
            auto q = dm_->CreateQuery(ArticleUpdateSQL());
            SetArticleParams(*q, false);
            q->ExecSQL();
            NzokDataInDB = NzokRowExists();
            if (HasNzokData && NzokDataInDB) {
                q->SetSQL(NzokUpdateSQL());
                SetArticleNzokParams(*q, false);
                q->ExecSQL();
            } else if (HasNzokData) {
                q->SetSQL(NzokInsertSQL());
                SetArticleNzokParams(*q, true);
                q->ExecSQL();
            } else if (NzokDataInDB) {
                dm_->ExecSQL("DELETE FROM ARTICLE_NZOK WHERE ID=" + IntToStr(GetID()));
            }
        } else {
            auto q = dm_->CreateQuery(ArticleInsertSQL());
            SetArticleParams(*q, true);
            q->ExecSQL();
            SetID(dm_->GetLastInsertID());
            if (HasNzokData) {
                q->SetSQL(NzokInsertSQL());
                SetArticleNzokParams(*q, true);
                q->ExecSQL();
            }
        }
        SaveMeasures();
        // The references are fixed in memory only: the row written above
        // keeps the values the proposal carried.
        ResolveMeasureReferences();
        // The list exists only when something read it: a proposal's record
        // brings it, while an update applied from the update tables never
        // makes it, so the staged links of an update do not reach
        // SUBSTITUDE_ARTICLE (the pharmacies' clients rely on that).
        if (substitudes_) substitudes_->SaveToDB();
        Modified = false;
        return true;
    } catch (const std::exception& e) {
        dm_->RollbackTransactionQuietly();
        msg = e.what();
        return false;
    }
}
