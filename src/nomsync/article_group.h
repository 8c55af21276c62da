// A group of articles with its pricing defaults: central table ARTICLE_GROUP,
// staged rows in NOM_UPDATE_ARTICLE_GROUP, object type notArticleGroup
// (NOM_ID 2). A change of an existing group renames it and nothing else.
#pragma once

#include <string>

#include "core/currency.h"
#include "nomsync/nomenclature_object.h"

class TArticleGroup : public TNomenclatureObject {
public:
    explicit TArticleGroup(TDMBase* adm);
    const char* ClassName() const override { return "TArticleGroup"; }

    // ---- published properties (plain fields) ----
    std::string NAME;
    Currency MAX_OVERRATE;
    Currency DEFAULT_DISCOUNT;
    int32_t TICKET_GROUP = 1;
    Currency DEFAULT_NZOK_DISCOUNT;
    Currency CUSTOM_CARDS_DISCOUNT;

    // ---- overrides ----
    void Assign(const TNomenclatureObject& source) override;
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t aid) override;
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    // Raises on failure (the caller reports it); starts, commits and rolls
    // back nothing.
    bool SaveToDB(std::string& msg) override;
    // In a transaction of its own, which first commits the caller's.
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType kind) override { return true; }
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    // The statements' texts.
    static const std::string& InsertSQL();
    static const std::string& UpdateSQL();
    static const std::string& UpdateTableInsertSQL();

private:
    void SetParams(TQuery& query);
    bool ExistsInDB();
    void ClearFields();
};
