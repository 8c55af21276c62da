// The catalogue article (object type notArticle, NOM_ID 1): one row of
// ARTICLE, the optional ARTICLE_NZOK row with the same ID (the health
// insurance part), the additional-information values, the article's measures
// (units of sale) in an in-memory table and its substitutes in a list.
//
// The published properties bear the database column names. Their writers set
// Modified; MAX_OVERRATE and DEFAULT_DISCOUNT are capped at 100 and BASE_PRICE
// refreshes the two price-limit texts. Loading, the wire record and Assign
// fill the values directly, without the writers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/currency.h"
#include "memtable/memtable.h"
#include "nomsync/nomenclature_object.h"

class TArticleSubstitudes;

// The values of an article that Clear resets and Assign copies, with their
// defaults.
struct TArticleValues {
    int32_t AtomicMeasureID = -1;      // the measure row with IS_ATOMIC "T"
    int32_t AtomicMeasureFactor = 0;
    std::string AtomicMeasureName;
    int32_t PackMeasureID = -1;        // the measure row with FACTOR 1
    // ARTICLE
    bool IS_SALABLE = true;
    int32_t GROUP_ID = 0;
    int32_t PRODUCER_ID = 0;
    int32_t SALE_DEFAULT_MEASURE_ID = -1;
    int32_t SHELF_ID = 1;
    std::string ANAME, CYR_NAME, GENERICA, ATC_CODE, ACTIVE_QUANTITY, DESCRIPTION;
    double VAT = 20;
    double MAX_OVERRATE = 0;
    double BASE_PRICE = 0;
    int32_t MIN_RESERVE = 1;
    int32_t MAX_RESERVE = 1;
    int32_t MIN_RESERVE_MEASURE_ID = -1;
    bool IS_DRUG = false;
    int32_t DRUG_TYPE_ID = 0;
    bool IS_MINISTRY_PRICE = false;
    bool IS_INVENTORISED = false;
    std::string BARCODE1, BARCODE2;
    bool PRINT_BARCODE = false;
    Currency LAST_DELIVERY_ITEM_SALE_PRICE;
    int32_t AUTO_DELIVERY_MEASURE_ID = -1;
    double DEFAULT_DISCOUNT = 0;
    double DIRECT_SALE_MARGE = 0;
    std::string DeliveryPriceLimit = "0.00";
    std::string SalePriceLimit = "0.00";
    bool WITH_PRESCRIPTION_ONLY = false;
    Currency DEFAULT_DIRECT_SALE_PRICE;
    Currency DEFAULT_NZOK_SALE_PRICE;
    bool IS_MEDICINE = false;
    double DIRECT_SALE_MAX_PRICE = 0;
    // ARTICLE_NZOK
    int32_t PRESCRIPTION_TYPE_ID = 1;
    std::string NZOK_CODE;
    int32_t NZOK_GROUP = 0;
    int32_t QUANTITY_PER_PACK = 1;
    double MAX_PRICE = 0, REINBURSEMENT = 0, MAX_PRICE_OLD = 0, REINBURSEMENT_OLD = 0;
    int32_t MIN_RESERVE_NZOK = 1;
    int32_t MAX_RESERVE_NZOK = 1;
    int32_t MIN_RESERVE_NZOK_MEASURE_ID = -1;
    int32_t NZOK_SHELF_ID = 1;
    bool IS_FREE = false;
    bool HAS_STICKER = true;
    bool IS_DIVISIBLE = false;
    Currency DAY_DOSE_ALLOWED;
    bool IS_ACTIVE = true;
    bool IS_STANDALONE = false;
    bool IS_CONTROLLED_DOSE = false;
    double MIN_AGE = 0, MAX_AGE = 0;
    double DEFAULT_DISCOUNT_NZOK = 0;
    int32_t PRESCRIPTION_PERIOD = 0;
    int32_t PRODUCT_GROUP_ID = 1;
    int32_t MEDICAL_ARTICLE_TYPE_ID = 0;
    bool IS_FULLY_PAID = false;
    // additional information
    std::string ADDITINAL_INFO;
    bool SHOW_ADDITIONAL_INFO_IN_DIRECT_SALE = false;
    bool SHOW_ADDITIONAL_INFO_IN_SALE_NZOK = false;
};

// The price limit of a base price: the delivery (True) or the sale limit.
double GetPriceLimit(bool delivery, double price);
// An amount as the price-limit texts show it: two decimals, "." as separator.
std::string ArticleCurrencyText(double amount);

// A property the writer stores and marks Modified.
#define VT_ARTICLE_PLAIN(Type, Name) \
    Type Name() const { return v_.Name; } \
    void Set##Name(Type v) { v_.Name = v; Modified = true; }
#define VT_ARTICLE_TEXT(Name) \
    const std::string& Name() const { return v_.Name; } \
    void Set##Name(const std::string& v) { v_.Name = v; Modified = true; }
// A property the writer only stores.
#define VT_ARTICLE_FIELD(Type, Name) \
    Type Name() const { return v_.Name; } \
    void Set##Name(Type v) { v_.Name = v; }
#define VT_ARTICLE_READONLY(Type, Name) \
    Type Name() const { return v_.Name; }

class TArticle : public TNomenclatureObject {
public:
    explicit TArticle(TDMBase* adm);
    ~TArticle() override;
    const char* ClassName() const override { return "TArticle"; }

    // ---- published properties, in declaration order ----
    VT_ARTICLE_FIELD(int32_t, AtomicMeasureID)
    VT_ARTICLE_FIELD(int32_t, AtomicMeasureFactor)
    const std::string& AtomicMeasureName() const { return v_.AtomicMeasureName; }
    void SetAtomicMeasureName(const std::string& v) { v_.AtomicMeasureName = v; }
    VT_ARTICLE_FIELD(int32_t, PackMeasureID)
    VT_ARTICLE_PLAIN(bool, IS_SALABLE)
    VT_ARTICLE_PLAIN(int32_t, GROUP_ID)
    VT_ARTICLE_PLAIN(int32_t, PRODUCER_ID)
    VT_ARTICLE_PLAIN(int32_t, SALE_DEFAULT_MEASURE_ID)
    VT_ARTICLE_PLAIN(int32_t, SHELF_ID)
    VT_ARTICLE_TEXT(ANAME)
    VT_ARTICLE_TEXT(CYR_NAME)
    VT_ARTICLE_TEXT(GENERICA)
    VT_ARTICLE_TEXT(ATC_CODE)
    VT_ARTICLE_TEXT(ACTIVE_QUANTITY)
    VT_ARTICLE_TEXT(DESCRIPTION)
    VT_ARTICLE_PLAIN(double, VAT)
    VT_ARTICLE_READONLY(double, MAX_OVERRATE)
    void SetMAX_OVERRATE(double v);        // capped at 100
    VT_ARTICLE_READONLY(double, BASE_PRICE)
    void SetBASE_PRICE(double v);          // refreshes the price limits
    VT_ARTICLE_PLAIN(int32_t, MIN_RESERVE)
    VT_ARTICLE_PLAIN(int32_t, MAX_RESERVE)
    VT_ARTICLE_PLAIN(int32_t, MIN_RESERVE_MEASURE_ID)
    VT_ARTICLE_PLAIN(bool, IS_DRUG)
    VT_ARTICLE_PLAIN(int32_t, DRUG_TYPE_ID)
    VT_ARTICLE_PLAIN(bool, IS_MINISTRY_PRICE)
    VT_ARTICLE_PLAIN(bool, IS_INVENTORISED)
    VT_ARTICLE_TEXT(BARCODE1)
    VT_ARTICLE_TEXT(BARCODE2)
    VT_ARTICLE_PLAIN(bool, PRINT_BARCODE)
    VT_ARTICLE_READONLY(Currency, LAST_DELIVERY_ITEM_SALE_PRICE)
    VT_ARTICLE_PLAIN(int32_t, AUTO_DELIVERY_MEASURE_ID)
    VT_ARTICLE_READONLY(double, DEFAULT_DISCOUNT)
    void SetDEFAULT_DISCOUNT(double v);    // capped at 100
    VT_ARTICLE_READONLY(double, DIRECT_SALE_MARGE)
    const std::string& DeliveryPriceLimit() const { return v_.DeliveryPriceLimit; }
    const std::string& SalePriceLimit() const { return v_.SalePriceLimit; }
    VT_ARTICLE_PLAIN(bool, WITH_PRESCRIPTION_ONLY)
    VT_ARTICLE_PLAIN(Currency, DEFAULT_DIRECT_SALE_PRICE)
    VT_ARTICLE_PLAIN(Currency, DEFAULT_NZOK_SALE_PRICE)
    VT_ARTICLE_PLAIN(bool, IS_MEDICINE)
    VT_ARTICLE_PLAIN(double, DIRECT_SALE_MAX_PRICE)
    VT_ARTICLE_PLAIN(int32_t, PRESCRIPTION_TYPE_ID)
    VT_ARTICLE_TEXT(NZOK_CODE)
    VT_ARTICLE_PLAIN(int32_t, NZOK_GROUP)
    VT_ARTICLE_PLAIN(int32_t, QUANTITY_PER_PACK)
    VT_ARTICLE_PLAIN(double, MAX_PRICE)
    VT_ARTICLE_PLAIN(double, REINBURSEMENT)
    VT_ARTICLE_PLAIN(double, MAX_PRICE_OLD)
    VT_ARTICLE_PLAIN(double, REINBURSEMENT_OLD)
    VT_ARTICLE_PLAIN(int32_t, MIN_RESERVE_NZOK)
    VT_ARTICLE_PLAIN(int32_t, MAX_RESERVE_NZOK)
    VT_ARTICLE_PLAIN(int32_t, MIN_RESERVE_NZOK_MEASURE_ID)
    VT_ARTICLE_PLAIN(int32_t, NZOK_SHELF_ID)
    VT_ARTICLE_PLAIN(bool, IS_FREE)
    VT_ARTICLE_PLAIN(bool, HAS_STICKER)
    VT_ARTICLE_PLAIN(bool, IS_DIVISIBLE)
    VT_ARTICLE_PLAIN(Currency, DAY_DOSE_ALLOWED)
    VT_ARTICLE_PLAIN(bool, IS_ACTIVE)
    VT_ARTICLE_PLAIN(bool, IS_STANDALONE)
    VT_ARTICLE_PLAIN(bool, IS_CONTROLLED_DOSE)
    VT_ARTICLE_PLAIN(double, MIN_AGE)
    VT_ARTICLE_PLAIN(double, MAX_AGE)
    VT_ARTICLE_PLAIN(double, DEFAULT_DISCOUNT_NZOK)
    VT_ARTICLE_PLAIN(int32_t, PRESCRIPTION_PERIOD)
    VT_ARTICLE_PLAIN(int32_t, PRODUCT_GROUP_ID)
    VT_ARTICLE_PLAIN(int32_t, MEDICAL_ARTICLE_TYPE_ID)
    VT_ARTICLE_PLAIN(bool, IS_FULLY_PAID)
    VT_ARTICLE_TEXT(ADDITINAL_INFO)
    VT_ARTICLE_PLAIN(bool, SHOW_ADDITIONAL_INFO_IN_DIRECT_SALE)
    VT_ARTICLE_PLAIN(bool, SHOW_ADDITIONAL_INFO_IN_SALE_NZOK)
    // Carried on the wire only; Clear keeps them.
    const std::string& ActualizationProducerName() const { return actualizationProducerName_; }
    const std::string& ActualizationMeasureName() const { return actualizationMeasureName_; }

    // Every value at once (for comparisons and copies).
    const TArticleValues& Values() const { return v_; }

    // ---- unpublished state ----
    bool Modified = false;
    bool MeasuresModified() const { return measuresModified_; }
    // True also sets Modified; False leaves it alone.
    void SetMeasuresModified(bool v);
    bool IsExisting = false;             // set by SaveToDB; Clear keeps it
    bool HasNzokData = false;
    bool NzokDataInDB = false;           // Clear keeps it
    bool UpdateMeasureNamesOnly = false;
    bool ReservedFlag = false;           // carried and copied, never read; Clear keeps it

    // The measures: ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC (1),
    // MeasureName (20). Closed (no rows) after Clear.
    TNVMemTable& MeasuresTable() { return *measuresTable_; }
    // The substitutes, made on first use and loaded then with the links
    // staged for the current ActionRequestID.
    TArticleSubstitudes& Substitudes();
    bool HasSubstitudes() const { return substitudes_ != nullptr; }

    // ---- overrides ----
    void Assign(const TNomenclatureObject& source) override;
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t aid) override;
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    bool SaveToDB(std::string& msg) override;
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType kind) override;
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;
    // An update proposal must be locked and checked everywhere when it
    // changes the measures.
    bool UpdateRequiresSync() const override { return measuresModified_; }

    // ---- loading and binding ----
    void LoadMeasuresFromUpdateTable();
    // Binds the ARTICLE columns (full mode: every column of the inserts;
    // otherwise the columns UPDATE ARTICLE sets).
    void SetArticleParams(TQuery& query, bool fullMode);
    void SetArticleNzokParams(TQuery& query, bool fullMode);

    // ---- measures ----
    void WriteMeasures(TNVBinWriter& writer);
    void ReadMeasures(TNVBinReader& reader);
    void SaveMeasures();
    void SetNewMeasuresFromTempMeasures();
    void EnsureAtomicMeasure();
    void OpenArticleMeasures();
    void SaveMeasuresToNomUpdateTable(const TNomUpdateTablePrivateParams& params);
    void SaveSubstitudesToUpdateTable(const TNomUpdateTablePrivateParams& params);

    // ---- checks and references ----
    bool ExistsInDB();
    bool NzokRowExists();
    void ValidateProducer();
    void ValidateShelves();
    void ResolveMeasureReferences();
    bool IsBarcodeUnique(const std::string& barcode);
    bool IsNzokCodeUnique(const std::string& code);
    bool IsBarcodeFreeInPendingRequests(const std::string& barcode);
    bool IsNzokCodeFreeInPendingRequests(const std::string& code);
    bool CheckPendingMeasureNameDelete(int32_t& requestID, int32_t& measureNameID);
    bool CheckPendingProducerDelete(int32_t& requestID);

    // The statements' texts.
    static const std::string& ArticleInsertSQL();
    static const std::string& ArticleUpdateSQL();
    static const std::string& NzokInsertSQL();
    static const std::string& NzokUpdateSQL();
    static const std::string& UpdateTableInsertSQL();
    static const std::string& NzokUpdateTableInsertSQL();
    static const std::string& MeasuresQuerySQL();

private:
    void CreateMeasuresTable();
    void OpenMeasuresTable();
    // The ID of the measure row with FACTOR 1; -1 (logged) when there is none.
    int32_t PackMeasureRowID();
    // The measure row whose field equals the value, or none.
    bool LocateMeasure(const char* field, const Variant& value);
    void ReadValues(TNVBinReader& reader);
    void WriteValues(TNVBinWriter& writer);

    TArticleValues v_;
    bool measuresModified_ = false;
    std::string actualizationProducerName_, actualizationMeasureName_;
    std::unique_ptr<TNVMemTable> measuresTable_;
    std::unique_ptr<TQuery> measuresQuery_;
    std::unique_ptr<TArticleSubstitudes> substitudes_;
};

#undef VT_ARTICLE_PLAIN
#undef VT_ARTICLE_TEXT
#undef VT_ARTICLE_FIELD
#undef VT_ARTICLE_READONLY
