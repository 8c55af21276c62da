// The substitutes of an article: other articles that may be sold in its
// place. One link is a row of SUBSTITUDE_ARTICLE (and, while a proposal is
// pending, of NOM_UPDATE_SUBSTITUDE_ARTICLE); the list belongs to its article
// and travels inside the article's record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"
#include "nomsync/nomenclature_object.h"

class TArticle;
class TArticleSubstitudes;

// A field of the records a record-list source offers.
struct TRecordFieldDef {
    std::string Name;
    TFieldType DataType = TFieldType::ftUnknown;
    int32_t Size = 0;
    bool Required = false;
};

// Rows offered to a record-list consumer. The source's lifetime is its
// owner's business: nothing here counts references.
class IRecordListSource {
public:
    virtual ~IRecordListSource() = default;
    virtual int GetCount() const = 0;
    virtual int GetFieldDefCount() const = 0;
    virtual TRecordFieldDef GetFieldDef(int index) const = 0;
    // The value of one field of record Index; a field it does not know leaves
    // value as the caller gave it.
    virtual void GetFieldValue(int index, const std::string& fieldName, Variant& value) const = 0;
};

// One substitute link. It has no object type of its own: it is staged and
// saved as part of its article.
class TArticleSubstitude : public TNomenclatureObject {
public:
    explicit TArticleSubstitude(TDMBase* adm) : TNomenclatureObject(adm) {}
    // A link that belongs to the list.
    static std::unique_ptr<TArticleSubstitude> CreateOwned(TDMBase* adm, TArticleSubstitudes* owner);
    const char* ClassName() const override { return "TArticleSubstitude"; }

    TArticleSubstitudes* OwnerList = nullptr;
    int32_t ArticleID = 0;     // the substitute article (SUBSTITUDE_ARTICLE_ID)
    std::string CyrName;       // its Cyrillic name, for display
    int32_t RowID = 0;         // the link's row in SUBSTITUDE_ARTICLE
    bool IsNew = false;        // no central row yet

    // The owning article's ID at the time of use.
    int32_t GetOwnerArticleID() const;

    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t) override { return false; }
    bool LoadFromUpdateTable(int32_t) override { return false; }
    bool SaveToDB(std::string& msg) override;
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType) override { return true; }
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    static const std::string& InsertSQL();
    static const std::string& UpdateTableInsertSQL();
};

class TArticleSubstitudes : public IRecordListSource {
public:
    // Loads the links staged for the article's ActionRequestID.
    explicit TArticleSubstitudes(TArticle* article);
    ~TArticleSubstitudes() override;

    TArticle* OwnerArticle;
    std::vector<std::unique_ptr<TArticleSubstitude>> Items;
    std::vector<std::string> DeletedIDs;   // row IDs of links to delete centrally

    void LoadFromUpdateTable();
    // Deletes the DeletedIDs rows, then saves every link (new ones are inserted).
    void SaveToDB();
    // Replaces the links with those of the record; a count that is negative
    // or larger than the bytes left can hold is refused before anything is
    // made.
    void LoadFromReader(TNVBinReader& reader);
    void SaveToWriter(TNVBinWriter& writer);

    int GetCount() const override { return static_cast<int>(Items.size()); }
    int GetFieldDefCount() const override { return static_cast<int>(fieldDefs_.size()); }
    TRecordFieldDef GetFieldDef(int index) const override { return fieldDefs_.at(index); }
    void GetFieldValue(int index, const std::string& fieldName, Variant& value) const override;

    static const std::string& LoadSQL();

private:
    void AddFieldDef(const std::string& name, TFieldType type, bool required, int32_t size);
    std::vector<TRecordFieldDef> fieldDefs_;
};
