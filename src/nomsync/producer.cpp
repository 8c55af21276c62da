#include "nomsync/producer.h"

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/text.h"
#include "protocol/nv_stream_utils.h"

namespace {

Variant TextOrNull(const std::string& s) { return IfThenVar(s.empty(), Variant::Null(), Variant(s)); }

}  // namespace

TProducer::TProducer(TDMBase* adm) : TNomenclatureObject(adm) {
    ClearTexts();
    Modified = false;
}

const std::string& TProducer::InsertSQL() {
    static const std::string sql =
        "INSERT INTO PRODUCER (NAME, ADDRESS, TEL, EMAIL, IS_ACTIVE, TAX_NO, BULSTAT, BANK_NAME, BANK_ACCOUNT, "
        "BANK_CODE, IBAN_BANK_CODE, IBAN_BANK_ACCOUNT, IBAN_VAT_ACCOUNT, VAT_ID)\r"
        "VALUES (:NAME, :ADDRESS, :TEL, :EMAIL, :IS_ACTIVE, :TAX_NO, :BULSTAT, :BANK_NAME, :BANK_ACCOUNT, "
        ":BANK_CODE, :IBAN_BANK_CODE, :IBAN_BANK_ACCOUNT, :IBAN_VAT_ACCOUNT, :VAT_ID)";
    return sql;
}

const std::string& TProducer::UpdateSQL() {
    static const std::string sql =
        "UPDATE PRODUCER SET\r"
        "NAME=:NAME,\r"
        "IS_ACTIVE=:IS_ACTIVE,\r"
        "ADDRESS=:ADDRESS,\r"
        "TEL=:TEL,\r"
        "EMAIL=:EMAIL,\r"
        "TAX_NO=:TAX_NO,\r"
        "BULSTAT=:BULSTAT,\r"
        "BANK_NAME=:BANK_NAME,\r"
        "BANK_ACCOUNT=:BANK_ACCOUNT,\r"
        "BANK_CODE=:BANK_CODE,\r"
        "IBAN_BANK_CODE=:IBAN_BANK_CODE,\r"
        "IBAN_BANK_ACCOUNT=:IBAN_BANK_ACCOUNT,\r"
        "IBAN_VAT_ACCOUNT=:IBAN_VAT_ACCOUNT,\r"
        "VAT_ID=:VAT_ID\r"
        "WHERE ID=:ID";
    return sql;
}

const std::string& TProducer::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_PRODUCER (`ACTION_REQUEST_ID`, `ID`, `NAME`, `IS_ACTIVE`, `ADDRESS`, `TEL`, "
        "`EMAIL`, `TAX_NO`, `BULSTAT`, `BANK_NAME`, `BANK_ACCOUNT`, `BANK_CODE`, `IBAN_BANK_CODE`, "
        "`IBAN_BANK_ACCOUNT`, `IBAN_VAT_ACCOUNT`, `VAT_ID`)\r\n"
        "VALUES (:ACTION_REQUEST_ID, :ID, :NAME, :IS_ACTIVE, :ADDRESS, :TEL, :EMAIL, :TAX_NO, :BULSTAT, "
        ":BANK_NAME, :BANK_ACCOUNT, :BANK_CODE, :IBAN_BANK_CODE, :IBAN_BANK_ACCOUNT, :IBAN_VAT_ACCOUNT, "
        ":VAT_ID)";
    return sql;
}

void TProducer::SetText(std::string& field, const std::string& value, size_t maxLen) {
    if (field == value) return;
    Modified = true;
    field = value.substr(0, maxLen);
}

void TProducer::SetIsActive(bool v) {
    if (isActive_ == v) return;
    Modified = true;
    isActive_ = v;
}

void TProducer::SetID(int32_t value) {
    if (GetID() == value) return;
    Modified = true;
    TNomenclatureObject::SetID(value);
}

void TProducer::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TProducer*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TProducer");
    TNomenclatureObject::Assign(source);
    isActive_ = src->isActive_;
    prodName_ = src->prodName_;
    address_ = src->address_;
    tel_ = src->tel_;
    email_ = src->email_;
    taxNo_ = src->taxNo_;
    bulstat_ = src->bulstat_;
    bankName_ = src->bankName_;
    bankAccount_ = src->bankAccount_;
    bankCode_ = src->bankCode_;
    ibanBankCode_ = src->ibanBankCode_;
    ibanBankAccount_ = src->ibanBankAccount_;
    ibanVatAccount_ = src->ibanVatAccount_;
    vatID_ = src->vatID_;
}

void TProducer::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::LoadFromDataSet(dataSet);
    isActive_ = dataSet.FieldByName("IS_ACTIVE").AsString() == "T";
    prodName_ = dataSet.FieldByName("NAME").AsString();
    address_ = dataSet.FieldByName("ADDRESS").AsString();
    tel_ = dataSet.FieldByName("TEL").AsString();
    taxNo_ = Trim(dataSet.FieldByName("TAX_NO").AsString());
    bulstat_ = Trim(dataSet.FieldByName("BULSTAT").AsString());
    bankName_ = dataSet.FieldByName("BANK_NAME").AsString();
    bankAccount_ = dataSet.FieldByName("BANK_ACCOUNT").AsString();
    bankCode_ = dataSet.FieldByName("BANK_CODE").AsString();
    ibanBankCode_ = dataSet.FieldByName("IBAN_BANK_CODE").AsString();
    ibanVatAccount_ = dataSet.FieldByName("IBAN_VAT_ACCOUNT").AsString();
    ibanBankAccount_ = dataSet.FieldByName("IBAN_BANK_ACCOUNT").AsString();
    vatID_ = dataSet.FieldByName("VAT_ID").AsString();
    email_ = dataSet.FieldByName("EMAIL").AsString();
}

bool TProducer::DeleteFromDB(int32_t aid) {
    dm_->ExecSQL("DELETE FROM PRODUCER WHERE ID = " + IntToStr(aid) + ";");
    return true;
}

void TProducer::ClearTexts() {
    prodName_.clear();
    address_.clear();
    tel_.clear();
    email_.clear();
    taxNo_.clear();
    bulstat_.clear();
    bankName_.clear();
    bankAccount_.clear();
    bankCode_.clear();
    ibanBankCode_.clear();
    ibanBankAccount_.clear();
    ibanVatAccount_.clear();
    vatID_.clear();
}

void TProducer::Clear() {
    TNomenclatureObject::Clear();
    ClearTexts();
}

bool TProducer::LoadFromUpdateTable(int32_t actionRequestID) {
    return LoadStagedRow("nom_update_producer", actionRequestID);
}

void TProducer::SetQueryParams(TQuery& query, bool withID) {
    if (withID) dm_->SetParam(query, "ID", TFieldType::ftInteger, Variant(GetID()));
    const TFieldType s = TFieldType::ftString;
    dm_->SetParams(query,
                   {"NAME", "IS_ACTIVE", "ADDRESS", "TEL", "EMAIL", "TAX_NO", "BULSTAT", "BANK_NAME",
                    "BANK_ACCOUNT", "BANK_CODE", "IBAN_BANK_CODE", "IBAN_BANK_ACCOUNT", "IBAN_VAT_ACCOUNT",
                    "VAT_ID"},
                   {s, s, s, s, s, s, s, s, s, s, s, s, s, s},
                   {Variant(prodName_), Variant(std::string(BoolChars[isActive_])), TextOrNull(address_),
                    TextOrNull(tel_), TextOrNull(email_), TextOrNull(taxNo_), TextOrNull(bulstat_),
                    TextOrNull(bankName_), TextOrNull(bankAccount_), TextOrNull(bankCode_),
                    TextOrNull(ibanBankCode_), TextOrNull(ibanBankAccount_), TextOrNull(ibanVatAccount_),
                    TextOrNull(vatID_)});
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm_->SetParam(query, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
}

bool TProducer::ExistsInDB() { return dm_->RecordExists("SELECT ID FROM PRODUCER WHERE ID = " + IntToStr(GetID())); }

void TProducer::InsertIntoDB() {
    auto q = dm_->CreateQuery(InsertSQL());
    SetQueryParams(*q, false);
    q->ExecSQL();
    TNomenclatureObject::SetID(dm_->GetLastInsertID());
}

void TProducer::UpdateInDB() {
    auto q = dm_->CreateQuery(UpdateSQL());
    SetQueryParams(*q, true);
    q->ExecSQL();
}

bool TProducer::SaveToDB(std::string& msg) {
    try {
        msg.clear();
        const bool exists = ExistsInDB();
        if (GetID() != -1 && !exists) return true;  // vanished centrally: nothing to write
        if (GetID() == -1)
            InsertIntoDB();
        else
            UpdateInDB();
        return true;
    } catch (const std::exception& e) {
        dm_->RollbackTransactionQuietly();
        msg = e.what();
        return false;
    }
}

void TProducer::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    try {
        auto q = dm_->CreateQuery(UpdateTableInsertSQL());
        InsertActionRequest(params);
        SetQueryParams(*q, true);
        q->ExecSQL();
        dm_->CommitTransaction();
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}

void TProducer::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    SetID(reader.ReadInteger());
    SetIsActive(reader.ReadBoolean());
    SetProdName(reader.ReadString());
    SetAddress(reader.ReadString());
    SetTel(reader.ReadString());
    SetEmail(reader.ReadString());
    SetTaxNo(reader.ReadString());
    SetBulstat(reader.ReadString());
    SetBankName(reader.ReadString());
    SetBankAccount(reader.ReadString());
    SetBankCode(reader.ReadString());
    SetIbanBankCode(reader.ReadString());
    SetIbanBankAccount(reader.ReadString());
    SetIbanVatAccount(reader.ReadString());
    SetVatID(reader.ReadString());
}

void TProducer::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetID());
    writer.WriteBoolean(isActive_);
    writer.WriteString(prodName_);
    writer.WriteString(address_);
    writer.WriteString(tel_);
    writer.WriteString(email_);
    writer.WriteString(taxNo_);
    writer.WriteString(bulstat_);
    writer.WriteString(bankName_);
    writer.WriteString(bankAccount_);
    writer.WriteString(bankCode_);
    writer.WriteString(ibanBankCode_);
    writer.WriteString(ibanBankAccount_);
    writer.WriteString(ibanVatAccount_);
    writer.WriteString(vatID_);
}
