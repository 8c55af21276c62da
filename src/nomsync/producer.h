// A producer (manufacturer) of articles: central table PRODUCER, staged rows
// in NOM_UPDATE_PRODUCER, object type notProducer (NOM_ID 4).
#pragma once

#include <string>

#include "nomsync/nomenclature_object.h"

class TProducer : public TNomenclatureObject {
public:
    explicit TProducer(TDMBase* adm);
    const char* ClassName() const override { return "TProducer"; }

    // ---- published properties (setters cut texts to their column width and
    // set Modified when the untruncated value differs) ----
    bool isActive() const { return isActive_; }
    const std::string& ProdName() const { return prodName_; }
    const std::string& Address() const { return address_; }
    const std::string& Tel() const { return tel_; }
    const std::string& Email() const { return email_; }
    const std::string& TaxNo() const { return taxNo_; }
    const std::string& Bulstat() const { return bulstat_; }
    const std::string& BankName() const { return bankName_; }
    const std::string& BankAccount() const { return bankAccount_; }
    const std::string& BankCode() const { return bankCode_; }
    const std::string& IbanBankCode() const { return ibanBankCode_; }
    const std::string& IbanBankAccount() const { return ibanBankAccount_; }
    const std::string& IbanVatAccount() const { return ibanVatAccount_; }
    const std::string& VatID() const { return vatID_; }
    bool Modified = false;

    void SetIsActive(bool v);
    void SetProdName(const std::string& v) { SetText(prodName_, v, 100); }
    void SetAddress(const std::string& v) { SetText(address_, v, 200); }
    void SetTel(const std::string& v) { SetText(tel_, v, 20); }
    void SetEmail(const std::string& v) { SetText(email_, v, 50); }
    void SetTaxNo(const std::string& v) { SetText(taxNo_, v, 10); }
    void SetBulstat(const std::string& v) { SetText(bulstat_, v, 10); }
    void SetBankName(const std::string& v) { SetText(bankName_, v, 100); }
    void SetBankAccount(const std::string& v) { SetText(bankAccount_, v, 100); }
    void SetBankCode(const std::string& v) { SetText(bankCode_, v, 8); }
    void SetIbanBankCode(const std::string& v) { SetText(ibanBankCode_, v, 8); }
    void SetIbanBankAccount(const std::string& v) { SetText(ibanBankAccount_, v, 22); }
    void SetIbanVatAccount(const std::string& v) { SetText(ibanVatAccount_, v, 22); }
    void SetVatID(const std::string& v) { SetText(vatID_, v, 20); }

    // ---- overrides ----
    void Assign(const TNomenclatureObject& source) override;
    void SetID(int32_t value) override;
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t aid) override;
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    bool SaveToDB(std::string& msg) override;
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType kind) override { return true; }
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    // The statements' texts.
    static const std::string& InsertSQL();
    static const std::string& UpdateSQL();
    static const std::string& UpdateTableInsertSQL();

private:
    void SetText(std::string& field, const std::string& value, size_t maxLen);
    void SetQueryParams(TQuery& query, bool withID);
    bool ExistsInDB();
    void InsertIntoDB();
    void UpdateInDB();
    void ClearTexts();

    bool isActive_ = false;
    std::string prodName_, address_, tel_, email_, taxNo_, bulstat_, bankName_, bankAccount_, bankCode_,
        ibanBankCode_, ibanBankAccount_, ibanVatAccount_, vatID_;
};
