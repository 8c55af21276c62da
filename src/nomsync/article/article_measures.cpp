// The article's measures: their wire form, their staging with the
// substitutes, and their saving into MEASURE.
#include <algorithm>
#include <vector>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/log.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_measure.h"
#include "nomsync/article/article_substitudes.h"
#include "nomsync/article/article_wire_checks.h"
#include "protocol/nv_stream_utils.h"

namespace {

const char* const kMeasureInsertSQL =
    "INSERT INTO MEASURE (`ARTICLE_ID`,`MEASURE_NAME_ID`,`FACTOR`,`IS_ATOMIC`) "
    "VALUES (:ARTICLE_ID,:MEASURE_NAME_ID,:FACTOR,:IS_ATOMIC)";

// The smallest a measure takes on the wire: four one-byte integers and two
// empty strings, each with its tag.
constexpr int64_t kMinMeasureBytes = 4 * 2 + 2 * 2;

struct TStoredMeasure {
    int32_t id;
    int32_t measureNameID;
};

}  // namespace

bool TArticle::LocateMeasure(const char* field, const Variant& value) {
    OpenMeasuresTable();
    return measuresTable_->Locate(field, value, 0);
}

int32_t TArticle::PackMeasureRowID() {
    if (LocateMeasure("FACTOR", Variant(int32_t{1}))) return measuresTable_->FieldByName("ID").AsInteger();
    Log(ClassName(), Format("No pack measure (FACTOR 1) among the measures of article %d", {GetID()}));
    return -1;
}

void TArticle::WriteMeasures(TNVBinWriter& writer) {
    OpenMeasuresTable();
    TNVMemTable& t = *measuresTable_;
    writer.WriteInteger(t.RecordCount());
    for (t.First(); !t.Eof(); t.Next()) {
        writer.WriteInteger(t.FieldByName("ID").AsInteger());
        writer.WriteInteger(t.FieldByName("ARTICLE_ID").AsInteger());
        writer.WriteInteger(t.FieldByName("MEASURE_NAME_ID").AsInteger());
        writer.WriteInteger(t.FieldByName("FACTOR").AsInteger());
        writer.WriteString(t.FieldByName("IS_ATOMIC").AsString());
        writer.WriteString(t.FieldByName("MeasureName").AsString());
    }
    t.First();
}

void TArticle::ReadMeasures(TNVBinReader& reader) {
    const int32_t count = reader.ReadInteger();
    CheckRecordCount(reader, count, kMinMeasureBytes, "measures");
    OpenMeasuresTable();
    TNVMemTable& t = *measuresTable_;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t id = reader.ReadInteger(), articleID = reader.ReadInteger(),
                      measureNameID = reader.ReadInteger(), factor = reader.ReadInteger();
        // IS_ATOMIC (1) and MeasureName (20) are cut to their fields' sizes
        // as the table stores them: a pharmacy may hold longer names.
        const std::string isAtomic = reader.ReadString(), name = reader.ReadString();
        t.AppendRecord({Variant(id), Variant(articleID), Variant(measureNameID), Variant(factor), Variant(isAtomic),
                        Variant(name)});
    }
}

void TArticle::EnsureAtomicMeasure() {
    TNVMemTable& t = *measuresTable_;
    OpenMeasuresTable();
    int32_t largest = 1;
    for (t.First(); !t.Eof(); t.Next()) largest = std::max(largest, t.FieldByName("FACTOR").AsInteger());
    if (t.Locate("IS_ATOMIC", Variant("T"), 0) && t.FieldByName("FACTOR").AsInteger() != largest) {
        t.Edit();
        t.FieldByName("IS_ATOMIC").SetAsString("F");
        t.Post();
    }
    if (t.Locate("FACTOR", Variant(largest), 0) && t.FieldByName("IS_ATOMIC").AsString() != "T") {
        t.Edit();
        t.FieldByName("IS_ATOMIC").SetAsString("T");
        t.Post();
        v_.AtomicMeasureID = t.FieldByName("ID").AsInteger();
        v_.AtomicMeasureFactor = t.FieldByName("FACTOR").AsInteger();
        v_.AtomicMeasureName = t.FieldByName("MeasureName").AsString();
    }
    t.First();
}

void TArticle::OpenArticleMeasures() {
    measuresQuery_->Close();
    measuresQuery_->SetSQL("SELECT * FROM MEASURE WHERE ARTICLE_ID=:ARTICLE_ID ORDER BY FACTOR");
    dm_->SetParam(*measuresQuery_, "ARTICLE_ID", TFieldType::ftInteger, Variant(GetID()));
    measuresQuery_->Open();
}

// A new measure of an existing article was given a temporary MEASURE row
// when it was staged: the row is taken over by the article, or dropped when
// the article already has a measure of that name.
void TArticle::SetNewMeasuresFromTempMeasures() {
    Log(ClassName(), "SetNewMeasuresFromTempMeasures");
    auto q = dm_->OpenQuery(Format(
        "SELECT ARTICLE_ID, MEASURE_NAME_ID, TEMP_ID FROM NOM_UPDATE_MEASURE WHERE (ACTION_REQUEST_ID = %d) AND "
        "(TEMP_ID > 0);",
        {ActionRequestID()}));
    for (; !q->Eof(); q->Next()) {
        const int32_t articleID = q->FieldByName("ARTICLE_ID").AsInteger();
        const int32_t tempID = q->FieldByName("TEMP_ID").AsInteger();
        if (dm_->RecordExists(Format("select id from measure where (article_id = %d) and (measure_name_id = %d)",
                                     {articleID, q->FieldByName("MEASURE_NAME_ID").AsInteger()}))) {
            const std::string sql = "delete from measure where id = " + IntToStr(tempID);
            dm_->ExecSQL(sql);
            Log(ClassName(), "Measure with ArticleID = 0 has been deleted!\r" + sql);
        } else {
            const std::string sql = Format("update measure set article_id = %d where id = %d", {articleID, tempID});
            dm_->ExecSQL(sql);
            Log(ClassName(), sql);
        }
    }
}

void TArticle::SaveMeasures() {
    Log(ClassName(), "SaveMeasures Before MeasuresModifiedCheck");
    if (!measuresModified_) return;
    Log(ClassName(), "SaveMeasures After MeasuresModifiedCheck");
    SetNewMeasuresFromTempMeasures();
    if (!IsExisting) {
        measuresQuery_->Close();
        measuresQuery_->SetSQL(MeasuresQuerySQL());
        dm_->SetParam(*measuresQuery_, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
        measuresQuery_->Open();
        Log(ClassName(), "MeasuresLoaded from NOM_UPDATE_MEASURE");
    } else {
        OpenArticleMeasures();
        Log(ClassName(), "MeasuresLoaded from MEASURE");
    }
    struct CloseQuery {
        TQuery& q;
        ~CloseQuery() { q.Close(); }
    } closeQuery{*measuresQuery_};

    TNVMemTable& t = *measuresTable_;
    OpenMeasuresTable();
    std::vector<TStoredMeasure> stored;
    for (measuresQuery_->First(); !measuresQuery_->Eof(); measuresQuery_->Next())
        stored.push_back({measuresQuery_->FieldByName("ID").AsInteger(),
                          measuresQuery_->FieldByName("MEASURE_NAME_ID").AsInteger()});
    const TFieldType I = TFieldType::ftInteger;
    const auto bindRow = [&](TQuery& q, int32_t articleID) {
        dm_->SetParams(q, {"ARTICLE_ID", "MEASURE_NAME_ID", "FACTOR", "IS_ATOMIC"}, {I, I, I, TFieldType::ftString},
                       {Variant(articleID), Variant(t.FieldByName("MEASURE_NAME_ID").AsInteger()),
                        Variant(t.FieldByName("FACTOR").AsInteger()), Variant(t.FieldByName("IS_ATOMIC").AsString())});
    };

    if (IsExisting && UpdateMeasureNamesOnly) {
        // Every stored measure whose name the proposal changed is renamed;
        // factors and atomic marks stay.
        auto q = dm_->CreateQuery("UPDATE MEASURE SET MEASURE_NAME_ID=:MEASURE_NAME_ID WHERE ID=:ID");
        for (const TStoredMeasure& s : stored) {
            if (!t.Locate("ID", Variant(s.id), 0)) continue;
            const int32_t newName = t.FieldByName("MEASURE_NAME_ID").AsInteger();
            if (newName == s.measureNameID) continue;
            dm_->SetParams(*q, {"MEASURE_NAME_ID", "ID"}, {I, I}, {Variant(newName), Variant(s.id)});
            q->ExecSQL();
        }
    } else if (IsExisting) {
        t.First();
        EnsureAtomicMeasure();
        auto q = dm_->CreateQuery("");
        for (const TStoredMeasure& s : stored) {
            const bool found =
                t.Locate("MEASURE_NAME_ID", Variant(s.measureNameID), 0) || t.Locate("ID", Variant(s.id), 0);
            if (found) {
                q->SetSQL(
                    "UPDATE MEASURE SET MEASURE_NAME_ID=:MEASURE_NAME_ID, FACTOR=:FACTOR, IS_ATOMIC=:IS_ATOMIC WHERE "
                    "ID=:ID");
                dm_->SetParams(*q, {"MEASURE_NAME_ID", "FACTOR", "IS_ATOMIC"}, {I, I, TFieldType::ftString},
                               {Variant(t.FieldByName("MEASURE_NAME_ID").AsInteger()),
                                Variant(t.FieldByName("FACTOR").AsInteger()),
                                Variant(t.FieldByName("IS_ATOMIC").AsString())});
            } else {
                q->SetSQL("DELETE FROM MEASURE WHERE ID=:ID");
            }
            dm_->SetParam(*q, "ID", I, Variant(s.id));
            try {
                q->ExecSQL();
            } catch (const std::exception&) {
                throw Exception(Cp(u8"Грешка при изтриване на мярка от базата данни! Имате направени "
                                   u8"доставки/продажби от тази стока в мерната единица."));
            }
        }
        Log(ClassName(), "Insert new measures... TArticle.SaveMeasures");
        q->SetSQL(kMeasureInsertSQL);
        for (t.First(); !t.Eof(); t.Next()) {
            const int32_t nameID = t.FieldByName("MEASURE_NAME_ID").AsInteger();
            const int32_t id = t.FieldByName("ID").AsInteger();
            bool known = false;
            for (const TStoredMeasure& s : stored) known = known || s.measureNameID == nameID;
            for (const TStoredMeasure& s : stored) known = known || s.id == id;
            if (known) continue;
            bindRow(*q, GetID());
            q->ExecSQL();
        }
    } else {
        auto q = dm_->CreateQuery(kMeasureInsertSQL);
        EnsureAtomicMeasure();
        for (t.First(); !t.Eof(); t.Next()) {
            t.Edit();
            t.FieldByName("ARTICLE_ID").SetAsInteger(GetID());
            t.Post();
            bindRow(*q, GetID());
            q->ExecSQL();
        }
    }
}

void TArticle::SaveMeasuresToNomUpdateTable(const TNomUpdateTablePrivateParams& params) {
    Log(ClassName(), "SaveMeasuresToNomUpdateTable");
    TNVMemTable& t = *measuresTable_;
    OpenMeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) Log(ClassName(), "MeasureID: " + IntToStr(t.FieldByName("ID").AsInteger()));
    TArticleMeasure measure(dm_);
    for (t.First(); !t.Eof(); t.Next()) {
        measure.LoadFromDataSet(t);
        measure.SetActionRequestID(ActionRequestID());
        measure.SaveToUpdateTable(params);
    }
}

void TArticle::SaveSubstitudesToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    if (!substitudes_) return;
    for (auto& link : substitudes_->Items) {
        link->SetActionRequestID(ActionRequestID());
        link->SaveToUpdateTable(params);
    }
}
