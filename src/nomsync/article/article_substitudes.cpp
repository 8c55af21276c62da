#include "nomsync/article/article_substitudes.h"

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_wire_checks.h"
#include "protocol/nv_stream_utils.h"

// ---------------------------------------------------------------------------
// One link

std::unique_ptr<TArticleSubstitude> TArticleSubstitude::CreateOwned(TDMBase* adm, TArticleSubstitudes* owner) {
    auto link = std::make_unique<TArticleSubstitude>(adm);
    link->OwnerList = owner;
    return link;
}

const std::string& TArticleSubstitude::InsertSQL() {
    static const std::string sql =
        "INSERT INTO SUBSTITUDE_ARTICLE(ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID)\r"
        "VALUES (:ID, :ARTICLE_ID, :SUBSTITUDE_ARTICLE_ID)";
    return sql;
}

const std::string& TArticleSubstitude::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_SUBSTITUDE_ARTICLE \r\n"
        "(ACTION_REQUEST_ID, ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES \r\n"
        "(:ACTION_REQUEST_ID, :ID, :ARTICLE_ID, :SUBSTITUDE_ARTICLE_ID) ";
    return sql;
}

int32_t TArticleSubstitude::GetOwnerArticleID() const { return OwnerList->OwnerArticle->GetID(); }

// The staged row's ID column goes to the link's ID, which nothing else reads:
// links handed out from the update table carry RowID 0.
void TArticleSubstitude::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::LoadFromDataSet(dataSet);
    ArticleID = dataSet.FieldByName("ArticleID").AsInteger();
    CyrName = dataSet.FieldByName("CyrName").AsString();
    IsNew = false;
}

// A new link gets a central identity of its own: the pharmacy's RowID is a
// key of the pharmacy's database, not of the central one.
bool TArticleSubstitude::SaveToDB(std::string&) {
    if (!IsNew) return true;
    auto q = dm_->CreateQuery(InsertSQL());
    dm_->SetParams(*q, {"ID", "ARTICLE_ID", "SUBSTITUDE_ARTICLE_ID"},
                   {TFieldType::ftInteger, TFieldType::ftInteger, TFieldType::ftInteger},
                   {Variant::Null(), Variant(GetOwnerArticleID()), Variant(ArticleID)});
    q->ExecSQL();
    RowID = dm_->GetLastInsertID();
    IsNew = false;
    return true;
}

void TArticleSubstitude::SaveToUpdateTable(const TNomUpdateTablePrivateParams&) {
    auto q = dm_->CreateQuery(UpdateTableInsertSQL());
    const TFieldType i = TFieldType::ftInteger;
    dm_->SetParams(*q, {"ID", "ARTICLE_ID", "SUBSTITUDE_ARTICLE_ID", "ACTION_REQUEST_ID"}, {i, i, i, i},
                   {Variant(RowID), Variant(GetOwnerArticleID()), Variant(ArticleID), Variant(ActionRequestID())});
    q->ExecSQL();
}

// The values go straight into the fields; ID and ActionRequestID keep their
// values from creation.
void TArticleSubstitude::LoadFromReader(TNVBinReader& reader) {
    RowID = reader.ReadInteger();
    ArticleID = reader.ReadInteger();
    CyrName = reader.ReadString();
    IsNew = reader.ReadBoolean();
}

void TArticleSubstitude::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(RowID);
    writer.WriteInteger(ArticleID);
    writer.WriteString(CyrName);
    writer.WriteBoolean(IsNew);
}

// ---------------------------------------------------------------------------
// The list

const std::string& TArticleSubstitudes::LoadSQL() {
    static const std::string sql =
        "SELECT\r"
        "  SA.ACTION_REQUEST_ID,\r"
        "  SA.ID AS ID,\r"
        "  SUBSTITUDE_ARTICLE_ID as ArticleID,\r"
        "  A.CYR_NAME CyrName\r"
        "FROM nom_update_substitude_article SA\r"
        "LEFT OUTER JOIN nom_update_article A on (A.ID = SA.SUBSTITUDE_ARTICLE_ID)\r"
        "WHERE SA.ACTION_REQUEST_ID = :ACTION_REQUEST_ID\r"
        "ORDER BY A.CYR_NAME";
    return sql;
}

TArticleSubstitudes::TArticleSubstitudes(TArticle* article) : OwnerArticle(article) {
    LoadFromUpdateTable();
    AddFieldDef("ArticleID", TFieldType::ftInteger, false, 0);
    AddFieldDef("CyrName", TFieldType::ftString, false, 20);
}

TArticleSubstitudes::~TArticleSubstitudes() = default;

void TArticleSubstitudes::AddFieldDef(const std::string& name, TFieldType type, bool required, int32_t size) {
    fieldDefs_.push_back(TRecordFieldDef{name, type, size, required});
}

void TArticleSubstitudes::LoadFromUpdateTable() {
    TDMBase* dm = OwnerArticle->DM();
    if (!dm) return;  // an object without a database (decoding only)
    auto q = dm->CreateQuery(LoadSQL());
    dm->SetParam(*q, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(OwnerArticle->ActionRequestID()));
    q->Open();
    for (; !q->Eof(); q->Next()) {
        auto link = TArticleSubstitude::CreateOwned(dm, this);
        link->LoadFromDataSet(*q);
        Items.push_back(std::move(link));
    }
}

void TArticleSubstitudes::SaveToDB() {
    TDMBase* dm = OwnerArticle->DM();
    for (const std::string& id : DeletedIDs) dm->ExecSQL("DELETE FROM SUBSTITUDE_ARTICLE WHERE ID = " + id);
    std::string msg;
    for (auto& link : Items) link->SaveToDB(msg);
}

// The smallest a link takes on the wire: two one-byte integers (tag and
// value each), an empty string (tag and length) and a Boolean tag.
static constexpr int64_t kMinLinkBytes = 2 + 2 + 2 + 1;

void TArticleSubstitudes::LoadFromReader(TNVBinReader& reader) {
    Items.clear();
    const int32_t count = reader.ReadInteger();
    CheckRecordCount(reader, count, kMinLinkBytes, "substitutes");
    for (int32_t i = 0; i < count; ++i) {
        auto link = TArticleSubstitude::CreateOwned(OwnerArticle->DM(), this);
        link->LoadFromReader(reader);
        Items.push_back(std::move(link));
    }
}

void TArticleSubstitudes::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetCount());
    for (auto& link : Items) link->SaveToWriter(writer);
}

void TArticleSubstitudes::GetFieldValue(int index, const std::string& fieldName, Variant& value) const {
    const TArticleSubstitude& link = *Items.at(index);
    if (SameText1251(fieldName, "ArticleID"))
        value = Variant(link.ArticleID);
    else if (SameText1251(fieldName, "CyrName"))
        value = Variant(link.CyrName);
}
