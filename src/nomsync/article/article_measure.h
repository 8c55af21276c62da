// One measure (unit of sale) of an article as a catalogue object. It is never
// proposed by itself: it stages an article's measures in NOM_UPDATE_MEASURE,
// giving a measure without a central row a temporary MEASURE row (ARTICLE_ID
// 0) whose ID is staged as TEMP_ID.
#pragma once

#include <cstdint>
#include <string>

#include "nomsync/nomenclature_object.h"

class TArticleMeasure : public TNomenclatureObject {
public:
    explicit TArticleMeasure(TDMBase* adm);
    const char* ClassName() const override { return "TArticleMeasure"; }

    int32_t ARTICLE_ID = -1;
    int32_t MEASURE_NAME_ID = -1;
    int32_t FACTOR = 0;
    bool IS_ATOMIC = true;

    void Assign(const TNomenclatureObject& source) override;
    // From a row of an article's measures table; ActionRequestID is kept.
    void LoadFromDataSet(const TDataSet& dataSet) override;
    bool DeleteFromDB(int32_t) override { return false; }
    void Clear() override;
    bool LoadFromUpdateTable(int32_t) override { return false; }
    bool SaveToDB(std::string&) override { return false; }
    // Stages the measure under its ActionRequestID; each step commits a
    // transaction of its own.
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType) override { return true; }
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    static const std::string& TempMeasureInsertSQL();
    static const std::string& UpdateTableInsertSQL();

private:
    void SetParams(TQuery& query);
    int32_t GetNewTempMeasureID();
};
