// The texts of the article's statements.
#include <string>
#include <vector>

#include "nomsync/article/article.h"

namespace {

using Names = std::vector<const char*>;

// "(A, B, C)" or, with colons, "(:A, :B, :C)".
std::string NameList(const Names& names, bool withColons) {
    std::string s = "(";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) s += ", ";
        if (withColons) s += ":";
        s += names[i];
    }
    return s + ")";
}

// "A = :A," one per line.
std::string Assignments(const Names& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        s += std::string(names[i]) + " = :" + names[i];
        s += i + 1 < names.size() ? ",\r\n" : "\r\n";
    }
    return s;
}

const Names kArticleColumns = {
    "GROUP_ID", "PRODUCER_ID", "SALE_DEFAULT_MEASURE_ID", "NAME", "CYR_NAME", "GENERICA", "ATC_CODE",
    "ACTIVE_QUANTITY", "DESCRIPTION", "VAT", "MAX_OVERRATE", "BASE_PRICE", "MIN_RESERVE", "MAX_RESERVE",
    "MIN_RESERVE_MEASURE_ID", "IS_DRUG", "DRUG_TYPE_ID", "IS_MINISTRY_PRICE", "IS_INVENTORISED", "BARCODE1",
    "BARCODE2", "PRINT_BARCODE", "SHELF_ID", "AUTO_DELIVERY_MEASURE_ID", "IS_SALABLE", "DEFAULT_DISCOUNT",
    "WITH_PRESCRIPTION_ONLY", "DEFAULT_DIRECT_SALE_PRICE", "DEFAULT_NZOK_SALE_PRICE", "IS_MEDICINE",
    "DIRECT_SALE_MAX_PRICE"};

const Names kArticleUpdateColumns = {
    "GROUP_ID", "PRODUCER_ID", "NAME", "CYR_NAME", "GENERICA", "ATC_CODE", "ACTIVE_QUANTITY", "DESCRIPTION", "VAT",
    "BASE_PRICE", "IS_DRUG", "DRUG_TYPE_ID", "IS_MINISTRY_PRICE", "IS_INVENTORISED", "BARCODE1", "BARCODE2",
    "PRINT_BARCODE", "IS_SALABLE", "WITH_PRESCRIPTION_ONLY", "IS_MEDICINE"};

const Names kNzokColumns = {
    "ID", "PRESCRIPTION_TYPE_ID", "NZOK_CODE", "NZOK_GROUP", "QUANTITY_PER_PACK", "MAX_PRICE", "REINBURSEMENT",
    "MAX_PRICE_OLD", "REINBURSEMENT_OLD", "MIN_RESERVE_NZOK", "MAX_RESERVE_NZOK", "MIN_RESERVE_NZOK_MEASURE_ID",
    "IS_FREE", "HAS_STICKER", "IS_DIVISIBLE", "DAY_DOSE_ALLOWED", "IS_ACTIVE", "NZOK_SHELF_ID", "IS_STANDALONE",
    "IS_CONTROLLED_DOSE", "MIN_AGE", "MAX_AGE", "DEFAULT_DISCOUNT_NZOK", "PRESCRIPTION_PERIOD", "PRODUCT_GROUP_ID",
    "MEDICAL_ARTICLE_TYPE_ID", "IS_FULLY_PAID"};

const Names kNzokUpdateColumns = {
    "PRESCRIPTION_TYPE_ID", "NZOK_CODE", "NZOK_GROUP", "QUANTITY_PER_PACK", "MAX_PRICE", "REINBURSEMENT",
    "MAX_PRICE_OLD", "REINBURSEMENT_OLD", "IS_FREE", "HAS_STICKER", "IS_DIVISIBLE", "DAY_DOSE_ALLOWED", "IS_ACTIVE",
    "IS_STANDALONE", "IS_CONTROLLED_DOSE", "MIN_AGE", "MAX_AGE", "PRESCRIPTION_PERIOD", "PRODUCT_GROUP_ID",
    "MEDICAL_ARTICLE_TYPE_ID", "IS_FULLY_PAID"};

const Names kUpdateTableColumns = {
    "ACTION_REQUEST_ID", "ID", "GROUP_ID", "PRODUCER_ID", "SALE_DEFAULT_MEASURE_ID", "NAME", "CYR_NAME", "GENERICA",
    "ATC_CODE", "ACTIVE_QUANTITY", "DESCRIPTION", "VAT", "MAX_OVERRATE", "BASE_PRICE", "MIN_RESERVE",
    "MIN_RESERVE_MEASURE_ID", "MAX_RESERVE", "IS_DRUG", "DRUG_TYPE_ID", "IS_MINISTRY_PRICE", "IS_INVENTORISED",
    "BARCODE1", "BARCODE2", "PRINT_BARCODE", "SHELF_ID", "QUANTITY_LEFT_DIRECT_SALE",
    "LAST_DELIVERY_ITEM_SALE_PRICE", "AUTO_DELIVERY_MEASURE_ID", "DEFAULT_DISCOUNT", "DIRECT_SALE_MARGE",
    "IS_SALABLE", "WITH_PRESCRIPTION_ONLY", "DEFAULT_DIRECT_SALE_PRICE", "DEFAULT_NZOK_SALE_PRICE", "IS_MEDICINE",
    "DIRECT_SALE_MAX_PRICE"};

const Names kNzokUpdateTableColumns = {
    "ACTION_REQUEST_ID", "ID", "PRESCRIPTION_TYPE_ID", "NZOK_CODE", "NZOK_GROUP", "QUANTITY_PER_PACK", "MAX_PRICE",
    "REINBURSEMENT", "MAX_PRICE_OLD", "REINBURSEMENT_OLD", "MIN_RESERVE_NZOK", "MIN_RESERVE_NZOK_MEASURE_ID",
    "MAX_RESERVE_NZOK", "IS_FREE", "HAS_STICKER", "IS_DIVISIBLE", "DAY_DOSE_ALLOWED", "IS_ACTIVE", "NZOK_SHELF_ID",
    "IS_STANDALONE", "IS_CONTROLLED_DOSE", "MIN_AGE", "MAX_AGE", "QUANTITY_LEFT_SALE_NZOK", "DEFAULT_DISCOUNT_NZOK",
    "PRESCRIPTION_PERIOD", "PRODUCT_GROUP_ID", "MEDICAL_ARTICLE_TYPE_ID", "IS_FULLY_PAID"};

}  // namespace

const std::string& TArticle::ArticleInsertSQL() {
    static const std::string sql =
        "INSERT INTO ARTICLE " + NameList(kArticleColumns, false) + "\r\nVALUES " + NameList(kArticleColumns, true);
    return sql;
}

const std::string& TArticle::ArticleUpdateSQL() {
    static const std::string sql = "UPDATE ARTICLE SET\r\n" + Assignments(kArticleUpdateColumns) + "WHERE ID = :ID";
    return sql;
}

const std::string& TArticle::NzokInsertSQL() {
    static const std::string sql =
        "INSERT INTO ARTICLE_NZOK " + NameList(kNzokColumns, false) + "\r\nVALUES " + NameList(kNzokColumns, true);
    return sql;
}

const std::string& TArticle::NzokUpdateSQL() {
    static const std::string sql =
        "UPDATE ARTICLE_NZOK SET\r\n" + Assignments(kNzokUpdateColumns) + " WHERE ID=:ID";
    return sql;
}

const std::string& TArticle::UpdateTableInsertSQL() {
    static const std::string sql = "INSERT INTO NOM_UPDATE_ARTICLE " + NameList(kUpdateTableColumns, false) +
                                   "\r\nVALUES " + NameList(kUpdateTableColumns, true) + ";";
    return sql;
}

const std::string& TArticle::NzokUpdateTableInsertSQL() {
    static const std::string sql = "INSERT INTO NOM_UPDATE_ARTICLE_NZOK " + NameList(kNzokUpdateTableColumns, false) +
                                   "\r\nVALUES " + NameList(kNzokUpdateTableColumns, true) + ";";
    return sql;
}

const std::string& TArticle::MeasuresQuerySQL() {
    static const std::string sql =
        "SELECT * FROM NOM_UPDATE_MEASURE WHERE ACTION_REQUEST_ID=:ACTION_REQUEST_ID ORDER BY FACTOR";
    return sql;
}
