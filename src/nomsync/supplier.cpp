#include "nomsync/supplier.h"

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/format.h"
#include "core/text.h"
#include "nomsync/caller_transaction_log.h"
#include "nomsync/column_text.h"
#include "protocol/nv_stream_utils.h"

namespace {

// Width of the texts whose setter keeps them whole.
constexpr size_t kWideText = 255;

Variant TextOrNull(const std::string& s) { return IfThenVar(s.empty(), Variant::Null(), Variant(s)); }
Variant TF(bool b) { return Variant(std::string(BoolChars[b])); }

}  // namespace

TSupplier::TSupplier(TDMBase* adm) : TNomenclatureObject(adm) {
    ClearFields();
    Modified = false;
}

const std::string& TSupplier::InsertSQL() {
    static const std::string sql =
        "INSERT INTO SUPPLIER (STICKER, NAME, DISCOUNT_METHOD, ADDRESS, TEL, IS_TAX_REGISTERED, TAX_NO, BULSTAT, "
        "BANK_NAME, BANK_ACCOUNT, BRANCH_NO, BANK_ADDRESS, BANK_CODE, PHARMACY_CODE,IBAN_BANK_CODE, "
        "IBAN_VAT_ACCOUNT, IBAN_BANK_ACCOUNT, VAT_ID, EMAIL, IS_NZOK_SUPPLIER) VALUES(:STICKER, :NAME, "
        ":DISCOUNT_METHOD, :ADDRESS, :TEL, :IS_TAX_REGISTERED, :TAX_NO, :BULSTAT, :BANK_NAME, :BANK_ACCOUNT, "
        ":BRANCH_NO, :BANK_ADDRESS, :BANK_CODE, :PHARMACY_CODE,:IBAN_BANK_CODE, :IBAN_VAT_ACCOUNT, "
        ":IBAN_BANK_ACCOUNT, :VAT_ID, :EMAIL, :IS_NZOK_SUPPLIER)";
    return sql;
}

const std::string& TSupplier::UpdateSQL() {
    static const std::string sql =
        "UPDATE SUPPLIER SET STICKER=:STICKER, NAME=:NAME, DISCOUNT_METHOD=:DISCOUNT_METHOD, ADDRESS=:ADDRESS, "
        "TEL=:TEL, IS_TAX_REGISTERED=:IS_TAX_REGISTERED, TAX_NO=:TAX_NO, BULSTAT=:BULSTAT, BANK_NAME=:BANK_NAME, "
        "BANK_ACCOUNT=:BANK_ACCOUNT, BRANCH_NO=:BRANCH_NO, BANK_ADDRESS=:BANK_ADDRESS, BANK_CODE=:BANK_CODE, "
        "PHARMACY_CODE=:PHARMACY_CODE, IBAN_BANK_CODE=:IBAN_BANK_CODE, IBAN_VAT_ACCOUNT=:IBAN_VAT_ACCOUNT, "
        "IBAN_BANK_ACCOUNT=:IBAN_BANK_ACCOUNT, VAT_ID=:VAT_ID, EMAIL=:EMAIL, IS_NZOK_SUPPLIER=:IS_NZOK_SUPPLIER "
        "WHERE ID=:ID";
    return sql;
}

const std::string& TSupplier::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_SUPPLIER (`ACTION_REQUEST_ID`, `ID`, `STICKER`, `NAME`, `DISCOUNT_METHOD`, "
        "`ADDRESS`, `TEL`, `EMAIL`, `IS_TAX_REGISTERED`, `TAX_NO`, `BULSTAT`, `BANK_NAME`, `BANK_ACCOUNT`, "
        "`BRANCH_NO`, `BANK_ADDRESS`, `BANK_CODE`, `PHARMACY_CODE`, `IBAN_BANK_CODE`, `IBAN_BANK_ACCOUNT`, "
        "`IBAN_VAT_ACCOUNT`, `VAT_ID`, `IS_NZOK_SUPPLIER`)\r\n"
        "VALUES (:ACTION_REQUEST_ID, :ID, :STICKER, :NAME, :DISCOUNT_METHOD, :ADDRESS, :TEL, :EMAIL, "
        ":IS_TAX_REGISTERED, :TAX_NO, :BULSTAT, :BANK_NAME, :BANK_ACCOUNT, :BRANCH_NO, :BANK_ADDRESS, :BANK_CODE, "
        ":PHARMACY_CODE, :IBAN_BANK_CODE, :IBAN_BANK_ACCOUNT, :IBAN_VAT_ACCOUNT, :VAT_ID, :IS_NZOK_SUPPLIER)";
    return sql;
}

void TSupplier::SetText(std::string& field, const std::string& value, size_t maxLen) {
    if (field == value) return;
    field = value.substr(0, maxLen);
    Modified = true;
}

void TSupplier::SetDiscountMethod(int32_t v) {
    if (discountMethod_ == v) return;
    discountMethod_ = v;
    Modified = true;
}

void TSupplier::SetPharmacyCode(int32_t v) {
    if (pharmacyCode_ == v) return;
    pharmacyCode_ = v;
    Modified = true;
}

void TSupplier::SetID(int32_t value) {
    if (GetID() == value) return;
    TNomenclatureObject::SetID(value);
    Modified = true;
}

void TSupplier::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TSupplier*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TSupplier");
    discountMethod_ = src->discountMethod_;
    TNomenclatureObject::Assign(source);
    sticker_ = src->sticker_;
    name_ = src->name_;
    address_ = src->address_;
    tel_ = src->tel_;
    taxNo_ = src->taxNo_;
    bulstat_ = src->bulstat_;
    bankName_ = src->bankName_;
    bankAccount_ = src->bankAccount_;
    branchNo_ = src->branchNo_;
    bankAddress_ = src->bankAddress_;
    bankCode_ = src->bankCode_;
    IsTaxRegistered = src->IsTaxRegistered;
    pharmacyCode_ = src->pharmacyCode_;
    ibanBankCode_ = src->ibanBankCode_;
    ibanBankAccount_ = src->ibanBankAccount_;
    ibanVatAccount_ = src->ibanVatAccount_;
    vatID_ = src->vatID_;
    email_ = src->email_;
    IsNZOKSupplier = src->IsNZOKSupplier;
}

void TSupplier::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::LoadFromDataSet(dataSet);
    auto text = [&](const char* column) { return dataSet.FieldByName(column).AsString(); };
    name_ = text("NAME");
    sticker_ = Trim(text("STICKER"));
    discountMethod_ = dataSet.FieldByName("DISCOUNT_METHOD").AsInteger();
    address_ = text("ADDRESS");
    tel_ = text("TEL");
    IsTaxRegistered = text("IS_TAX_REGISTERED") == "T";
    taxNo_ = Trim(text("TAX_NO"));
    bulstat_ = Trim(text("BULSTAT"));
    bankName_ = text("BANK_NAME");
    bankAccount_ = text("BANK_ACCOUNT");
    branchNo_ = text("BRANCH_NO");
    bankAddress_ = text("BANK_ADDRESS");
    bankCode_ = text("BANK_CODE");
    pharmacyCode_ = dataSet.FieldByName("PHARMACY_CODE").AsInteger();
    ibanBankCode_ = text("IBAN_BANK_CODE");
    ibanVatAccount_ = text("IBAN_VAT_ACCOUNT");
    ibanBankAccount_ = text("IBAN_BANK_ACCOUNT");
    vatID_ = text("VAT_ID");
    email_ = text("EMAIL");
    IsNZOKSupplier = text("IS_NZOK_SUPPLIER") == "T";
}

bool TSupplier::DeleteFromDB(int32_t aid) {
    if (!dm_) return false;
    dm_->ExecSQL("DELETE FROM SUPPLIER WHERE ID = " + IntToStr(aid) + ";");
    return true;
}

void TSupplier::ClearFields() {
    for (std::string* s : {&sticker_, &name_, &address_, &tel_, &taxNo_, &bulstat_, &bankName_, &bankAccount_,
                           &branchNo_, &bankAddress_, &bankCode_, &ibanBankCode_, &ibanBankAccount_,
                           &ibanVatAccount_, &vatID_, &email_})
        s->clear();
    discountMethod_ = 0;
    IsTaxRegistered = true;
    pharmacyCode_ = -1;
    IsNZOKSupplier = false;
}

void TSupplier::Clear() {
    TNomenclatureObject::Clear();
    ClearFields();
}

std::unique_ptr<TDMBase> TSupplier::ConnectOwn() const {
    // The second connection comes from the same environment as the object's
    // data module, like every other connection of the service.
    return (dm_ ? dm_->Env() : TEnv::Default()).ConnectDatabase();
}

bool TSupplier::LoadFromUpdateTable(int32_t actionRequestID) {
    std::unique_ptr<TDMBase> own = ConnectOwn();
    auto q = own->OpenQuery("SELECT * FROM nom_update_supplier WHERE ACTION_REQUEST_ID = " + IntToStr(actionRequestID));
    if (q->Eof()) {
        Clear();
        return false;
    }
    LoadFromDataSet(*q);
    return true;
}

void TSupplier::SetQueryParams(TDMBase& dm, TQuery& query, bool withID) {
    if (withID) dm.SetParam(query, "ID", TFieldType::ftInteger, Variant(GetID()));
    const TFieldType s = TFieldType::ftString, i = TFieldType::ftInteger;
    dm.SetParams(query,
                 {"STICKER", "NAME", "DISCOUNT_METHOD", "ADDRESS", "TEL", "EMAIL", "IS_TAX_REGISTERED", "TAX_NO",
                  "BULSTAT", "BANK_NAME", "BANK_ACCOUNT", "BRANCH_NO", "BANK_ADDRESS", "BANK_CODE", "PHARMACY_CODE",
                  "IBAN_BANK_CODE", "IBAN_BANK_ACCOUNT", "IBAN_VAT_ACCOUNT", "VAT_ID", "IS_NZOK_SUPPLIER"},
                 {s, s, i, s, s, s, s, s, s, s, s, s, s, s, i, s, s, s, s, s},
                 {Variant(sticker_), Variant(name_), Variant(discountMethod_), TextOrNull(address_),
                  TextOrNull(tel_), TextOrNull(email_), TF(IsTaxRegistered), TextOrNull(taxNo_),
                  TextOrNull(bulstat_), TextOrNull(bankName_), TextOrNull(bankAccount_), TextOrNull(branchNo_),
                  TextOrNull(bankAddress_), TextOrNull(bankCode_), Variant(pharmacyCode_),
                  TextOrNull(ibanBankCode_), TextOrNull(ibanBankAccount_), TextOrNull(ibanVatAccount_),
                  TextOrNull(vatID_), TF(IsNZOKSupplier)});
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm.SetParam(query, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
}

void TSupplier::InsertIntoDB() {
    auto q = dm_->CreateQuery(InsertSQL());
    SetQueryParams(*dm_, *q, false);
    q->ExecSQL();
    TNomenclatureObject::SetID(dm_->GetLastInsertID());
}

void TSupplier::UpdateInDB() {
    auto q = dm_->CreateQuery(UpdateSQL());
    SetQueryParams(*dm_, *q, true);
    q->ExecSQL();
}

bool TSupplier::ExistsInDB() { return dm_->RecordExists("SELECT ID FROM SUPPLIER WHERE ID = " + IntToStr(GetID())); }

bool TSupplier::SaveToDB(std::string& msg) {
    try {
        const bool exists = ExistsInDB();
        if (GetID() != -1 && !exists) return true;  // vanished centrally: nothing to write
        LogCallerTransactionCommit(*this, *dm_, "TSupplier.SaveToDB");
        dm_->StartTransaction(TIsolationLevel::ilReadCommitted);
        if (GetID() == -1)
            InsertIntoDB();
        else
            UpdateInDB();
        dm_->CommitTransaction();
        return true;
    } catch (const std::exception& e) {
        dm_->RollbackTransactionQuietly();
        // The caller passes the message on to the pharmacy: a failed save
        // must not read as a successful one.
        msg = e.what();
        return false;
    }
}

void TSupplier::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    std::unique_ptr<TDMBase> own = ConnectOwn();
    try {
        auto q = own->CreateQuery(UpdateTableInsertSQL());
        InsertActionRequest(params);
        SetQueryParams(*own, *q, true);
        q->ExecSQL();
        own->CommitTransaction();
    } catch (...) {
        own->RollbackTransactionQuietly();
        throw;
    }
}

bool TSupplier::StickerCountIsZero(const std::string& sql, const std::string& sticker, bool withID) {
    auto q = dm_->CreateQuery(sql);
    dm_->SetParam(*q, "STICKER", TFieldType::ftString, Variant(sticker));
    if (withID) dm_->SetParam(*q, "ID", TFieldType::ftInteger, Variant(GetID()));
    q->Open();
    return q->FieldByName("TOTAL_COUNT").AsInteger() == 0;
}

bool TSupplier::IsStickerFree(const std::string& sticker) {
    if (sticker.empty()) return true;
    const bool withID = GetID() > -1;
    return StickerCountIsZero(Format("SELECT COUNT(*) TOTAL_COUNT FROM SUPPLIER WHERE (STICKER = :STICKER) %s",
                                     {withID ? " AND (ID != :ID) " : ""}),
                              sticker, withID);
}

bool TSupplier::IsStickerFreeInPendingRequests(const std::string& sticker) {
    if (sticker.empty()) return true;
    const bool withID = GetID() > -1;
    return StickerCountIsZero(
        std::string("SELECT \r\n"
                    "  COUNT(*) TOTAL_COUNT \r\n"
                    "FROM action_request ar \r\n"
                    "  INNER JOIN nom_update_supplier nus ON nus.ACTION_REQUEST_ID = ar.id \r\n"
                    "WHERE (ar.IS_PROCESSED = 'F') AND (ar.NOM_ID = 3) AND (nus.STICKER = :STICKER)") +
            (withID ? " AND (nus.ID != :ID) " : ""),
        sticker, withID);
}

bool TSupplier::CanActualize(TNomObjectActualizationType /*kind*/) {
    return IsStickerFree(sticker_) && IsStickerFreeInPendingRequests(sticker_);
}

void TSupplier::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    // Texts the setters keep whole must fit their column.
    auto wide = [&](const char* column) { return ColumnText(reader.ReadString(), kWideText, ClassName(), column); };
    SetID(reader.ReadInteger());
    SetSticker(reader.ReadString());
    SetName(reader.ReadString());
    SetDiscountMethod(reader.ReadInteger());
    SetAddress(wide("ADDRESS"));
    SetTel(reader.ReadString());
    SetTaxNo(reader.ReadString());
    SetBulstat(reader.ReadString());
    SetBankName(wide("BANK_NAME"));
    SetBankAccount(wide("BANK_ACCOUNT"));
    SetBranchNo(wide("BRANCH_NO"));
    SetBankAddress(wide("BANK_ADDRESS"));
    SetBankCode(wide("BANK_CODE"));
    IsTaxRegistered = reader.ReadBoolean();
    SetPharmacyCode(reader.ReadInteger());
    SetIbanBankCode(wide("IBAN_BANK_CODE"));
    SetIbanBankAccount(wide("IBAN_BANK_ACCOUNT"));
    SetIbanVatAccount(wide("IBAN_VAT_ACCOUNT"));
    SetVatID(wide("VAT_ID"));
    SetEmail(reader.ReadString());
    IsNZOKSupplier = reader.ReadBoolean();
    Modified = reader.ReadBoolean();
}

void TSupplier::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetID());
    writer.WriteString(sticker_);
    writer.WriteString(name_);
    writer.WriteInteger(discountMethod_);
    writer.WriteString(address_);
    writer.WriteString(tel_);
    writer.WriteString(taxNo_);
    writer.WriteString(bulstat_);
    writer.WriteString(bankName_);
    writer.WriteString(bankAccount_);
    writer.WriteString(branchNo_);
    writer.WriteString(bankAddress_);
    writer.WriteString(bankCode_);
    writer.WriteBoolean(IsTaxRegistered);
    writer.WriteInteger(pharmacyCode_);
    writer.WriteString(ibanBankCode_);
    writer.WriteString(ibanBankAccount_);
    writer.WriteString(ibanVatAccount_);
    writer.WriteString(vatID_);
    writer.WriteString(email_);
    writer.WriteBoolean(IsNZOKSupplier);
    writer.WriteBoolean(Modified);
}
