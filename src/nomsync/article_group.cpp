#include "nomsync/article_group.h"

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/column_text.h"
#include "protocol/nv_stream_utils.h"

namespace {

constexpr size_t kNameWidth = 255;

}  // namespace

TArticleGroup::TArticleGroup(TDMBase* adm) : TNomenclatureObject(adm) { ClearFields(); }

const std::string& TArticleGroup::InsertSQL() {
    static const std::string sql =
        "INSERT INTO ARTICLE_GROUP(NAME,MAX_OVERRATE,DEFAULT_DISCOUNT,DEFAULT_NZOK_DISCOUNT, TICKET_GROUP, "
        "CUSTOM_CARDS_DISCOUNT) VALUES(:NAME,:MAX_OVERRATE,:DEFAULT_DISCOUNT,:DEFAULT_NZOK_DISCOUNT,:TICKET_GROUP,"
        ":CUSTOM_CARDS_DISCOUNT)";
    return sql;
}

const std::string& TArticleGroup::UpdateSQL() {
    static const std::string sql = "UPDATE ARTICLE_GROUP SET NAME=:NAME WHERE ID=:ID";
    return sql;
}

const std::string& TArticleGroup::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_ARTICLE_GROUP (ACTION_REQUEST_ID, ID, NAME, MAX_OVERRATE, DEFAULT_DISCOUNT, "
        "DEFAULT_NZOK_DISCOUNT, TICKET_GROUP, CUSTOM_CARDS_DISCOUNT) \r\n"
        "VALUES    (:ACTION_REQUEST_ID, :ID, :NAME, :MAX_OVERRATE, :DEFAULT_DISCOUNT, :DEFAULT_NZOK_DISCOUNT, "
        ":TICKET_GROUP, :CUSTOM_CARDS_DISCOUNT)";
    return sql;
}

void TArticleGroup::ClearFields() {
    NAME.clear();
    MAX_OVERRATE = Currency();
    DEFAULT_DISCOUNT = Currency();
    TICKET_GROUP = 1;
    DEFAULT_NZOK_DISCOUNT = Currency();
    CUSTOM_CARDS_DISCOUNT = Currency();
}

void TArticleGroup::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TArticleGroup*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TArticleGroup");
    TNomenclatureObject::Assign(source);
    NAME = src->NAME;
    MAX_OVERRATE = src->MAX_OVERRATE;
    DEFAULT_DISCOUNT = src->DEFAULT_DISCOUNT;
    TICKET_GROUP = src->TICKET_GROUP;
    DEFAULT_NZOK_DISCOUNT = src->DEFAULT_NZOK_DISCOUNT;
    CUSTOM_CARDS_DISCOUNT = src->CUSTOM_CARDS_DISCOUNT;
}

void TArticleGroup::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::LoadFromDataSet(dataSet);
    NAME = dataSet.FieldByName("NAME").AsString();
    MAX_OVERRATE = dataSet.FieldByName("MAX_OVERRATE").AsCurrency();
    DEFAULT_DISCOUNT = dataSet.FieldByName("DEFAULT_DISCOUNT").AsCurrency();
    TICKET_GROUP = dataSet.FieldByName("TICKET_GROUP").AsInteger();
    DEFAULT_NZOK_DISCOUNT = dataSet.FieldByName("DEFAULT_NZOK_DISCOUNT").AsCurrency();
    CUSTOM_CARDS_DISCOUNT = dataSet.FieldByName("CUSTOM_CARDS_DISCOUNT").AsCurrency();
}

bool TArticleGroup::DeleteFromDB(int32_t aid) {
    dm_->ExecSQL("DELETE FROM ARTICLE_GROUP WHERE ID = " + IntToStr(aid) + ";");
    return true;
}

void TArticleGroup::Clear() {
    TNomenclatureObject::Clear();
    ClearFields();
}

bool TArticleGroup::LoadFromUpdateTable(int32_t actionRequestID) {
    return LoadStagedRow("nom_update_article_group", actionRequestID);
}

void TArticleGroup::SetParams(TQuery& query) {
    if (query.FindParam("ID")) dm_->SetParam(query, "ID", TFieldType::ftInteger, Variant(GetID()));
    const TFieldType c = TFieldType::ftCurrency;
    dm_->SetParams(query,
                   {"NAME", "MAX_OVERRATE", "DEFAULT_DISCOUNT", "DEFAULT_NZOK_DISCOUNT", "TICKET_GROUP",
                    "CUSTOM_CARDS_DISCOUNT"},
                   {TFieldType::ftString, c, c, c, TFieldType::ftInteger, c},
                   {Variant(NAME), Variant(MAX_OVERRATE), Variant(DEFAULT_DISCOUNT), Variant(DEFAULT_NZOK_DISCOUNT),
                    Variant(TICKET_GROUP), Variant(CUSTOM_CARDS_DISCOUNT)});
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm_->SetParam(query, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
}

bool TArticleGroup::ExistsInDB() {
    return dm_->RecordExists("SELECT ID FROM ARTICLE_GROUP WHERE ID = " + IntToStr(GetID()));
}

bool TArticleGroup::SaveToDB(std::string& /*msg*/) {
    const bool isExisting = GetID() != -1;
    const bool exists = ExistsInDB();
    if (isExisting && !exists) return true;  // vanished centrally: nothing to write
    auto q = dm_->CreateQuery(isExisting ? UpdateSQL() : InsertSQL());
    if (isExisting) dm_->SetParam(*q, "ID", TFieldType::ftInteger, Variant(GetID()));
    dm_->SetParam(*q, "NAME", TFieldType::ftString, Variant(NAME));
    if (!isExisting) {
        // The amounts go as floating-point values; four decimals come back exact.
        const TFieldType f = TFieldType::ftFloat;
        dm_->SetParam(*q, "MAX_OVERRATE", f, Variant(MAX_OVERRATE.ToDouble()));
        dm_->SetParam(*q, "DEFAULT_DISCOUNT", f, Variant(DEFAULT_DISCOUNT.ToDouble()));
        dm_->SetParam(*q, "DEFAULT_NZOK_DISCOUNT", f, Variant(DEFAULT_NZOK_DISCOUNT.ToDouble()));
        dm_->SetParam(*q, "TICKET_GROUP", TFieldType::ftInteger, Variant(TICKET_GROUP));
        dm_->SetParam(*q, "CUSTOM_CARDS_DISCOUNT", f, Variant(CUSTOM_CARDS_DISCOUNT.ToDouble()));
    }
    q->ExecSQL();
    if (!isExisting) SetID(dm_->GetLastInsertID());
    return true;
}

void TArticleGroup::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    StageInOwnTransaction(UpdateTableInsertSQL(), params, "TArticleGroup.SaveToUpdateTable",
                          [this](TQuery& q) { SetParams(q); });
}

void TArticleGroup::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    TNomenclatureObject::SetID(reader.ReadInteger());
    NAME = ColumnText(reader.ReadString(), kNameWidth, ClassName(), "NAME");
    MAX_OVERRATE = reader.ReadCurrency();
    DEFAULT_DISCOUNT = reader.ReadCurrency();
    TICKET_GROUP = reader.ReadInteger();
    DEFAULT_NZOK_DISCOUNT = reader.ReadCurrency();
    CUSTOM_CARDS_DISCOUNT = reader.ReadCurrency();
}

void TArticleGroup::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetID());
    writer.WriteString(NAME);
    writer.WriteCurrency(MAX_OVERRATE);
    writer.WriteCurrency(DEFAULT_DISCOUNT);
    writer.WriteInteger(TICKET_GROUP);
    writer.WriteCurrency(DEFAULT_NZOK_DISCOUNT);
    writer.WriteCurrency(CUSTOM_CARDS_DISCOUNT);
}
