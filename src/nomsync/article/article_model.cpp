#include <algorithm>

#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_substitudes.h"

double GetPriceLimit(bool delivery, double price) {
    if (price <= 0) return 0;
    if (price <= 1) return price * (delivery ? 1.12 : 1.33);
    if (price <= 7) return price * (delivery ? 1.10 : 1.28);
    if (price <= 30) return price * (delivery ? 1.09 : 1.25);
    return price * (delivery ? 1.07 : 1.20);
}

// The server runs without regional currency settings: no currency symbol,
// "." as the decimal separator.
std::string ArticleCurrencyText(double amount) { return FloatToStrFixed(amount, 2); }

TArticle::TArticle(TDMBase* adm) : TNomenclatureObject(adm) {
    CreateMeasuresTable();
    TArticle::Clear();
    if (dm_) measuresQuery_ = dm_->CreateQuery(MeasuresQuerySQL());
}

TArticle::~TArticle() = default;

void TArticle::CreateMeasuresTable() {
    measuresTable_ = std::make_unique<TNVMemTable>();
    TFieldDefs& defs = measuresTable_->FieldDefs();
    defs.Add("ID", TFieldType::ftInteger);
    defs.Add("ARTICLE_ID", TFieldType::ftInteger);
    defs.Add("MEASURE_NAME_ID", TFieldType::ftInteger);
    defs.Add("FACTOR", TFieldType::ftInteger);
    defs.Add("IS_ATOMIC", TFieldType::ftString, 1);
    defs.Add("MeasureName", TFieldType::ftString, 20);
    measuresTable_->CreateTable();
}

void TArticle::OpenMeasuresTable() {
    if (!measuresTable_->Active()) measuresTable_->Open();
}

void TArticle::SetMAX_OVERRATE(double v) {
    v_.MAX_OVERRATE = std::min(v, 100.0);
    Modified = true;
}

void TArticle::SetDEFAULT_DISCOUNT(double v) {
    v_.DEFAULT_DISCOUNT = std::min(v, 100.0);
    Modified = true;
}

void TArticle::SetBASE_PRICE(double v) {
    v_.BASE_PRICE = v;
    v_.DeliveryPriceLimit = ArticleCurrencyText(GetPriceLimit(true, v));
    v_.SalePriceLimit = ArticleCurrencyText(GetPriceLimit(false, v));
    Modified = true;
}

void TArticle::SetMeasuresModified(bool v) {
    measuresModified_ = v;
    if (v) Modified = true;
}

TArticleSubstitudes& TArticle::Substitudes() {
    if (!substitudes_) substitudes_ = std::make_unique<TArticleSubstitudes>(this);
    return *substitudes_;
}

void TArticle::Clear() {
    VT_ASSERT(measuresTable_ != nullptr, "Assertion failure");
    TNomenclatureObject::Clear();
    v_ = TArticleValues{};
    HasNzokData = false;
    Modified = false;
    measuresModified_ = false;
    UpdateMeasureNamesOnly = false;
    measuresTable_->Close();
    substitudes_.reset();
}

void TArticle::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TArticle*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TArticle");
    TNomenclatureObject::Assign(source);
    v_ = src->v_;
    UpdateMeasureNamesOnly = src->UpdateMeasureNamesOnly;
    measuresModified_ = src->measuresModified_;
    IsExisting = src->IsExisting;
    Modified = src->Modified;
    ReservedFlag = src->ReservedFlag;
    actualizationMeasureName_ = src->actualizationMeasureName_;
    actualizationProducerName_ = src->actualizationProducerName_;
    HasNzokData = src->HasNzokData;
    NzokDataInDB = src->NzokDataInDB;
    measuresTable_->LoadFromDataSet(src->measuresTable_.get(), mtcpoStructure);
}
