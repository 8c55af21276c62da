// A supplier (wholesaler) of the pharmacies: central table SUPPLIER, staged
// rows in NOM_UPDATE_SUPPLIER, object type notSupplier (NOM_ID 3). A
// proposal is admitted only while its sticker is free, centrally and among
// the pending supplier proposals. Its staged row is read and written through
// a connection of its own, made in the environment of its data module.
#pragma once

#include <memory>
#include <string>

#include "nomsync/nomenclature_object.h"

class TSupplier : public TNomenclatureObject {
public:
    explicit TSupplier(TDMBase* adm);
    const char* ClassName() const override { return "TSupplier"; }

    // ---- published properties (setters cut texts to their maximum where
    // there is one, and set Modified when the untruncated value differs) ----
    const std::string& Sticker() const { return sticker_; }
    const std::string& Name() const { return name_; }
    int32_t DiscountMethod() const { return discountMethod_; }
    const std::string& Address() const { return address_; }
    const std::string& Tel() const { return tel_; }
    const std::string& TaxNo() const { return taxNo_; }
    const std::string& Bulstat() const { return bulstat_; }
    const std::string& BankName() const { return bankName_; }
    const std::string& BankAccount() const { return bankAccount_; }
    const std::string& BranchNo() const { return branchNo_; }
    const std::string& BankAddress() const { return bankAddress_; }
    const std::string& BankCode() const { return bankCode_; }
    bool IsTaxRegistered = true;
    int32_t PharmacyCode() const { return pharmacyCode_; }
    const std::string& IbanBankCode() const { return ibanBankCode_; }
    const std::string& IbanBankAccount() const { return ibanBankAccount_; }
    const std::string& IbanVatAccount() const { return ibanVatAccount_; }
    const std::string& VatID() const { return vatID_; }
    const std::string& Email() const { return email_; }
    bool IsNZOKSupplier = false;
    bool Modified = false;

    void SetSticker(const std::string& v) { SetText(sticker_, v, 2); }
    void SetName(const std::string& v) { SetText(name_, v, 100); }
    void SetDiscountMethod(int32_t v);
    void SetAddress(const std::string& v) { SetText(address_, v); }
    void SetTel(const std::string& v) { SetText(tel_, v, 20); }
    void SetTaxNo(const std::string& v) { SetText(taxNo_, v, 10); }
    void SetBulstat(const std::string& v) { SetText(bulstat_, v, 10); }
    void SetBankName(const std::string& v) { SetText(bankName_, v); }
    void SetBankAccount(const std::string& v) { SetText(bankAccount_, v); }
    void SetBranchNo(const std::string& v) { SetText(branchNo_, v); }
    void SetBankAddress(const std::string& v) { SetText(bankAddress_, v); }
    void SetBankCode(const std::string& v) { SetText(bankCode_, v); }
    void SetPharmacyCode(int32_t v);
    void SetIbanBankCode(const std::string& v) { SetText(ibanBankCode_, v); }
    void SetIbanBankAccount(const std::string& v) { SetText(ibanBankAccount_, v); }
    void SetIbanVatAccount(const std::string& v) { SetText(ibanVatAccount_, v); }
    void SetVatID(const std::string& v) { SetText(vatID_, v); }
    void SetEmail(const std::string& v) { SetText(email_, v, 50); }

    // ---- overrides ----
    void Assign(const TNomenclatureObject& source) override;
    void SetID(int32_t value) override;
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t aid) override;
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    // In a transaction of its own, which first commits the caller's; a
    // failure is rolled back and comes back as False with its message.
    bool SaveToDB(std::string& msg) override;
    // The action request on the object's data module, the staged row on a
    // connection of its own.
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    // The sticker is free centrally and among the pending proposals.
    bool CanActualize(TNomObjectActualizationType kind) override;
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    // The statements' texts.
    static const std::string& InsertSQL();
    static const std::string& UpdateSQL();
    static const std::string& UpdateTableInsertSQL();

private:
    void SetText(std::string& field, const std::string& value, size_t maxLen = std::string::npos);
    void SetQueryParams(TDMBase& dm, TQuery& query, bool withID);
    void InsertIntoDB();
    void UpdateInDB();
    bool ExistsInDB();
    bool IsStickerFree(const std::string& sticker);
    bool IsStickerFreeInPendingRequests(const std::string& sticker);
    bool StickerCountIsZero(const std::string& sql, const std::string& sticker, bool withID);
    void ClearFields();
    // A second connection, in the environment of the object's data module.
    std::unique_ptr<TDMBase> ConnectOwn() const;

    std::string sticker_, name_;
    int32_t discountMethod_ = 0;
    std::string address_, tel_, taxNo_, bulstat_, bankName_, bankAccount_, branchNo_, bankAddress_, bankCode_;
    int32_t pharmacyCode_ = -1;
    std::string ibanBankCode_, ibanBankAccount_, ibanVatAccount_, vatID_, email_;
};
