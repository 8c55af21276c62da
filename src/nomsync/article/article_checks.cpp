// Whether an article proposal may be actualised, the repair of its measure
// references, and the deletion of an article with its dependent rows.
#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/log.h"
#include "nomsync/article/article.h"

namespace {

// The COUNT(*) of a statement with the code in its parameters and the
// article's own rows left out when it has an ID.
bool CountIsZero(TDMBase& dm, const std::string& sql, const std::vector<std::string>& names,
                 const std::string& code, int32_t id) {
    auto q = dm.CreateQuery(sql);
    for (const auto& n : names) dm.SetParam(*q, n, TFieldType::ftString, Variant(code));
    if (id > -1) dm.SetParam(*q, "ID", TFieldType::ftInteger, Variant(id));
    q->Open();
    return q->FieldByName("TOTAL_COUNT").AsInteger() == 0;
}

}  // namespace

bool TArticle::IsBarcodeUnique(const std::string& barcode) {
    if (barcode.empty()) return true;
    const std::string suffix = GetID() > -1 ? " AND (ID != :ID) " : "";
    return CountIsZero(*dm_,
                       Format("SELECT COUNT(*) TOTAL_COUNT FROM ARTICLE WHERE ((BARCODE1 = :BARCODE1) OR (BARCODE2 = "
                              ":BARCODE2)) %s",
                              {suffix}),
                       {"BARCODE1", "BARCODE2"}, barcode, GetID());
}

bool TArticle::IsNzokCodeUnique(const std::string& code) {
    const std::string suffix = GetID() > -1 ? " AND (ID != :ID) " : "";
    return CountIsZero(
        *dm_, Format("SELECT COUNT(*) TOTAL_COUNT FROM ARTICLE_NZOK WHERE (NZOK_CODE = :NZOK_CODE) %s", {suffix}),
        {"NZOK_CODE"}, code, GetID());
}

bool TArticle::IsBarcodeFreeInPendingRequests(const std::string& barcode) {
    if (barcode.empty()) return true;
    const std::string suffix = GetID() > -1 ? " AND (nua.ID != :ID) " : "";
    return CountIsZero(*dm_,
                       "select \r\n"
                       "  count(*) TOTAL_COUNT \r\n"
                       "from action_request ar \r\n"
                       "  inner join nom_update_article nua on (nua.ACTION_REQUEST_ID = ar.id) \r\n"
                       "where (ar.IS_PROCESSED = 'F') and (ar.NOM_ID = 1) and \r\n"
                       "  ((nua.BARCODE1 = :BARCODE1) or (nua.BARCODE2 = :BARCODE2)) " +
                           suffix,
                       {"BARCODE1", "BARCODE2"}, barcode, GetID());
}

bool TArticle::IsNzokCodeFreeInPendingRequests(const std::string& code) {
    const std::string suffix = GetID() > -1 ? " AND (nua.ID != :ID) " : "";
    return CountIsZero(*dm_,
                       "select \r\n"
                       "  count(*) TOTAL_COUNT \r\n"
                       "from action_request ar \r\n"
                       "  inner join nom_update_article_nzok nua on (nua.ACTION_REQUEST_ID = ar.id) \r\n"
                       "where (ar.IS_PROCESSED = 'F') and (ar.NOM_ID = 1) and \r\n"
                       "  (nua.NZOK_CODE = :NZOK_CODE) " +
                           suffix,
                       {"NZOK_CODE"}, code, GetID());
}

namespace {

// The latest unprocessed, sync-required delete request of a catalogue object
// (joined to its table) whose key is in the list.
const char* const kPendingDeleteSQL =
    "select \r\n"
    "  ar.`id` act_req_id, \r\n"
    "  ar.`NOM_KEY` act_req_nom_key \r\n"
    "from `action_request_status` ars \r\n"
    "  inner join `action_request` ar on (ars.`action_request_id` = ar.`ID`) \r\n"
    "  inner join `%s` t on (t.`ID` = ar.`NOM_KEY`) \r\n"
    "where (ar.`is_processed` = 'F') and (ar.`sync_required` = 'T') and \r\n"
    "  (ar.`NOM_ID` = %d) and (ar.`ACTION_ID` = 3) and (ar.`NOM_KEY` in (%s)) \r\n"
    "order by ar.`ID` desc \r\n"
    "limit 0,1";

}  // namespace

bool TArticle::CheckPendingMeasureNameDelete(int32_t& requestID, int32_t& measureNameID) {
    requestID = 0;
    measureNameID = 0;
    TNVMemTable& t = *measuresTable_;
    if (!t.Active()) t.Open();
    const TBookmark position = t.GetBookmark();
    std::string list;
    for (t.First(); !t.Eof(); t.Next()) list += IntToStr(t.FieldByName("MEASURE_NAME_ID").AsInteger()) + ",";
    if (!list.empty()) list.pop_back();
    if (!position.empty()) t.GotoBookmark(position);
    if (list.empty()) return true;
    {
        auto q = dm_->OpenQuery(Format(kPendingDeleteSQL, {"measure_name", 5, list}));
        if (q->Eof()) return true;
        requestID = q->FieldByName("act_req_id").AsInteger();
        measureNameID = q->FieldByName("act_req_nom_key").AsInteger();
    }
    return dm_->RecordExists(Format("select m.`id` from `measure` m inner join article a on (a.id = m.article_id) "
                                    "where m.`measure_name_id` in (%s) limit 0,1",
                                    {list}));
}

bool TArticle::CheckPendingProducerDelete(int32_t& requestID) {
    requestID = 0;
    {
        auto q = dm_->OpenQuery(Format(kPendingDeleteSQL, {"producer", 4, IntToStr(v_.PRODUCER_ID)}));
        if (q->Eof()) return true;
        requestID = q->FieldByName("act_req_id").AsInteger();
    }
    return dm_->RecordExists(
        Format("select `id` from `article` where `producer_id` = %d limit 0,1", {v_.PRODUCER_ID}));
}

bool TArticle::CanActualize(TNomObjectActualizationType kind) {
    const bool insert = kind == TNomObjectActualizationType::noatInsert;
    const std::string barcodeClash =
        Cp(u8"Неуспешно създаване на заявка за добавяне на стока \"%s\", защото съществува друга стока в "
           u8"номенклатурата с баркод 1 или баркод 2 = \"%s\"!");
    for (const std::string* barcode : {&v_.BARCODE1, &v_.BARCODE2}) {
        if (insert && !IsBarcodeUnique(*barcode)) {
            Log(ClassName(), Format(barcodeClash, {v_.CYR_NAME, *barcode}));
            return false;
        }
    }
    if (!v_.NZOK_CODE.empty() && !IsNzokCodeUnique(v_.NZOK_CODE)) return false;
    if (!IsBarcodeFreeInPendingRequests(v_.BARCODE1) || !IsBarcodeFreeInPendingRequests(v_.BARCODE2)) return false;
    if (!v_.NZOK_CODE.empty() && !IsNzokCodeFreeInPendingRequests(v_.NZOK_CODE)) return false;
    if (!insert) return true;
    int32_t requestID = 0, measureNameID = 0;
    if (!CheckPendingMeasureNameDelete(requestID, measureNameID)) {
        Log(ClassName(), Format(Cp(u8"Съществува заявка за изтриване с код %d на мярка (ID=%d), която е една от "
                                   u8"мерките на стоката, която желаете да добавите!"),
                                {requestID, measureNameID}));
        return false;
    }
    if (!CheckPendingProducerDelete(requestID)) {
        Log(ClassName(), Format(Cp(u8"Съществува заявка за изтриване с код %d на производител (ID=%d), който е "
                                   u8"избран на стоката, която желаете да добавите!"),
                                {requestID, v_.PRODUCER_ID}));
        return false;
    }
    return true;
}

// A reference that names no measure of the article falls back to the pack
// measure. The change stays in memory: the stored row keeps what was saved.
void TArticle::ResolveMeasureReferences() {
    TNVMemTable& t = *measuresTable_;
    if (!t.Active()) t.Open();
    const auto exists = [&](int32_t id) {
        for (t.First(); !t.Eof(); t.Next())
            if (t.FieldByName("ID").AsInteger() == id) return true;
        return false;
    };
    if (!exists(v_.SALE_DEFAULT_MEASURE_ID)) SetSALE_DEFAULT_MEASURE_ID(PackMeasureRowID());
    if (!exists(v_.MIN_RESERVE_MEASURE_ID)) SetMIN_RESERVE_MEASURE_ID(PackMeasureRowID());
    if (!exists(v_.MIN_RESERVE_NZOK_MEASURE_ID)) SetMIN_RESERVE_NZOK_MEASURE_ID(PackMeasureRowID());
    if (!exists(v_.AUTO_DELIVERY_MEASURE_ID)) SetAUTO_DELIVERY_MEASURE_ID(PackMeasureRowID());
}

bool TArticle::DeleteFromDB(int32_t aid) {
    if (!dm_) return false;
    for (const char* sql : {"DELETE FROM DENIAL WHERE ARTICLE_ID = %0:d;",
                            "DELETE FROM SUBSTITUDE_ARTICLE WHERE (ARTICLE_ID = %0:d) OR (SUBSTITUDE_ARTICLE_ID = %0:d);",
                            "DELETE FROM SUPPLIER_CODE WHERE ARTICLE_ID=%0:d;", "DELETE FROM MEASURE WHERE ARTICLE_ID=%0:d;",
                            "DELETE FROM ARTICLE_NZOK WHERE ID=%0:d;", "DELETE FROM ARTICLE_INFO WHERE ID = %0:d;",
                            "DELETE FROM INVENTORY_CHECK WHERE ARTICLE_ID = %0:d;", "DELETE FROM ARTICLE WHERE ID=%0:d;"})
        dm_->ExecSQL(Format(sql, {aid}));
    return true;
}
