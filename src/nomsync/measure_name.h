// The name of a unit in which articles are counted and sold: central table
// MEASURE_NAME, staged rows in NOM_UPDATE_MEASURE_NAME, object type
// notMeasureName (NOM_ID 5). Articles refer to it through their measures.
#pragma once

#include <string>

#include "nomsync/nomenclature_object.h"

class TMeasureName : public TNomenclatureObject {
public:
    explicit TMeasureName(TDMBase* adm);
    const char* ClassName() const override { return "TMeasureName"; }

    // ---- published properties (plain fields) ----
    std::string ANAME;       // column NAME
    std::string SHORT_NAME;

    // ---- overrides ----
    void Assign(const TNomenclatureObject& source) override;
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t aid) override;
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    // Commits the data module's open transaction when it succeeds; on
    // failure rolls it back and raises (a failed insert leaves ID at -1).
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
    void InsertIntoDB();
    void UpdateInDB();
    bool ExistsInDB();
};
