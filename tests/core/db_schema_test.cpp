// The central database schema (db/schema.sql) against what the services'
// statements need: identity columns, nullable columns, column order where a
// statement names no columns, fixed rows, and the catalogue statements run
// as the services run them (parameters left unbound go as NULL).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/exceptions.h"
#include "support/test_db.h"

namespace {

class DbSchemaTest : public ::testing::Test {
protected:
    TestDatabase db;

    // Columns of a table in column order.
    std::vector<std::string> Columns(const std::string& table) {
        std::vector<std::string> out;
        for (const auto& row : db.Rows("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '" +
                                       db.Name() + "' AND TABLE_NAME = '" + table + "' ORDER BY ORDINAL_POSITION"))
            out.push_back(UpperCase1251(row[0].AsString()));
        return out;
    }
    std::string ColumnInfo(const std::string& table, const std::string& column, const std::string& what) {
        return db.ScalarStr("SELECT " + what + " FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '" +
                            db.Name() + "' AND TABLE_NAME = '" + table + "' AND COLUMN_NAME = '" + column + "'");
    }
    bool IsAutoIncrement(const std::string& table) {
        return db.ScalarInt("SELECT COUNT(*) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '" + db.Name() +
                            "' AND TABLE_NAME = '" + table + "' AND EXTRA LIKE '%auto_increment%'") > 0;
    }
    // Runs a statement with every parameter left unbound (NULL) except the given ones.
    void RunWith(TDMBase& dm, const std::string& sql, const std::vector<std::pair<std::string, Variant>>& values) {
        auto q = dm.CreateQuery(sql);
        for (const auto& [name, value] : values) q->ParamByName(name).Value = value;
        q->ExecSQL();
    }
};

TEST_F(DbSchemaTest, IdentityColumnsWhereTheServicesReadTheLastInsertId) {
    for (const char* t : {"ACTION_REQUEST", "PRODUCER", "ARTICLE", "MEASURE", "MEASURE_NAME", "ARTICLE_GROUP",
                          "SUPPLIER", "SUBSTITUDE_ARTICLE"})
        EXPECT_TRUE(IsAutoIncrement(t)) << t;
    for (const char* t : {"ZVL_ENV_VARS", "ARTICLE_NZOK", "ARTICLE_INFO", "NOM_UPDATE_PRODUCER",
                          "NOM_UPDATE_ARTICLE", "NOM_UPDATE_ARTICLE_NZOK", "NOM_UPDATE_ARTICLE_INFO",
                          "NOM_UPDATE_MEASURE", "NOM_UPDATE_MEASURE_NAME", "NOM_UPDATE_ARTICLE_GROUP",
                          "NOM_UPDATE_SUPPLIER", "NOM_UPDATE_SUBSTITUDE_ARTICLE"})
        EXPECT_FALSE(IsAutoIncrement(t)) << t;
}

TEST_F(DbSchemaTest, ColumnsThatTheServicesWriteAsNullAreNullable) {
    const std::vector<std::pair<const char*, const char*>> nullable = {
        {"ACTION_REQUEST", "PROCESS_DATE"}, {"ACTION_REQUEST", "DEST_PHARM_ID"}, {"ACTION_REQUEST", "SYS_CMD"},
        {"PHARMACY", "LAST_ARCHIVE_NUM"}, {"ZVL_ENV_VARS", "VAR_VALUE"}, {"ARTICLE", "DRUG_TYPE_ID"},
        {"ARTICLE", "GENERICA"}, {"ARTICLE", "ATC_CODE"}, {"ARTICLE", "ACTIVE_QUANTITY"},
        {"ARTICLE", "DESCRIPTION"}, {"ARTICLE", "BARCODE1"}, {"ARTICLE", "BARCODE2"},
        {"NOM_UPDATE_ARTICLE", "DRUG_TYPE_ID"}, {"NOM_UPDATE_ARTICLE", "QUANTITY_LEFT_DIRECT_SALE"},
        {"NOM_UPDATE_ARTICLE", "LAST_DELIVERY_ITEM_SALE_PRICE"}, {"NOM_UPDATE_ARTICLE", "DIRECT_SALE_MARGE"},
        {"NOM_UPDATE_ARTICLE_NZOK", "NZOK_CODE"}, {"NOM_UPDATE_ARTICLE_NZOK", "QUANTITY_LEFT_SALE_NZOK"},
        {"PRODUCER", "ADDRESS"}, {"PRODUCER", "VAT_ID"}, {"SUPPLIER", "ADDRESS"}, {"SUPPLIER", "EMAIL"},
        {"NOM_UPDATE_SUPPLIER", "BANK_ADDRESS"}, {"NOM_UPDATE_PRODUCER", "IBAN_VAT_ACCOUNT"}};
    // Every column's nullability in one read of the dictionary, so that each
    // column is looked up in the same answer.
    std::set<std::string> nullableNow;
    for (const auto& row : db.Rows("SELECT UPPER(TABLE_NAME), UPPER(COLUMN_NAME) FROM information_schema.COLUMNS "
                                   "WHERE TABLE_SCHEMA = '" + db.Name() + "' AND IS_NULLABLE = 'YES'"))
        nullableNow.insert(row[0].AsString() + "." + row[1].AsString());
    ASSERT_FALSE(nullableNow.empty()) << "the dictionary listed no nullable column";
    for (const auto& [t, c] : nullable) EXPECT_TRUE(nullableNow.count(std::string(t) + "." + c)) << t << "." << c;
    // "T"/"F" flags are one character; money keeps four decimals.
    EXPECT_EQ(ColumnInfo("ARTICLE", "IS_DRUG", "COLUMN_TYPE"), "char(1)");
    EXPECT_EQ(ColumnInfo("ACTION_REQUEST", "SYNC_REQUIRED", "COLUMN_TYPE"), "char(1)");
    EXPECT_EQ(ColumnInfo("ARTICLE", "DEFAULT_NZOK_SALE_PRICE", "NUMERIC_SCALE"), "4");
    EXPECT_EQ(ColumnInfo("ARTICLE_GROUP", "CUSTOM_CARDS_DISCOUNT", "NUMERIC_SCALE"), "4");
    EXPECT_EQ(ColumnInfo("ARTICLE_NZOK", "DAY_DOSE_ALLOWED", "NUMERIC_SCALE"), "4");
}

TEST_F(DbSchemaTest, FixedRowsColumnOrderAndCharacterSet) {
    EXPECT_EQ(Columns("action_request_status"),
              (std::vector<std::string>{"ACTION_REQUEST_ID", "PHARM_ID", "REQUEST_STATUS", "MODIFY_DATE"}));
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SHELF WHERE ID = 1 AND PHARM_ID = 0"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_GENERATORS WHERE GENERATOR_ID = 6"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND ENGINE <> 'InnoDB'"),
              0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND TABLE_COLLATION NOT LIKE 'cp1251%'"),
              0);
}

TEST_F(DbSchemaTest, ArticleStatementsRunAsTheServicesSendThem) {
    TDMBase dm;
    // Central insert: the key comes from the identity; empty optional texts go as NULL.
    RunWith(dm,
            "INSERT INTO ARTICLE (GROUP_ID, PRODUCER_ID, SALE_DEFAULT_MEASURE_ID, NAME, CYR_NAME, GENERICA, ATC_CODE, "
            "ACTIVE_QUANTITY, DESCRIPTION, VAT, MAX_OVERRATE, BASE_PRICE, MIN_RESERVE, MAX_RESERVE, "
            "MIN_RESERVE_MEASURE_ID, IS_DRUG, DRUG_TYPE_ID, IS_MINISTRY_PRICE, IS_INVENTORISED, BARCODE1, BARCODE2, "
            "PRINT_BARCODE, SHELF_ID, AUTO_DELIVERY_MEASURE_ID, IS_SALABLE, DEFAULT_DISCOUNT, WITH_PRESCRIPTION_ONLY, "
            "DEFAULT_DIRECT_SALE_PRICE, DEFAULT_NZOK_SALE_PRICE, IS_MEDICINE, DIRECT_SALE_MAX_PRICE)\r\nVALUES "
            "(:GROUP_ID, :PRODUCER_ID, :SALE_DEFAULT_MEASURE_ID, :NAME, :CYR_NAME, :GENERICA, :ATC_CODE, "
            ":ACTIVE_QUANTITY, :DESCRIPTION, :VAT, :MAX_OVERRATE, :BASE_PRICE, :MIN_RESERVE, :MAX_RESERVE, "
            ":MIN_RESERVE_MEASURE_ID, :IS_DRUG, :DRUG_TYPE_ID, :IS_MINISTRY_PRICE, :IS_INVENTORISED, :BARCODE1, "
            ":BARCODE2, :PRINT_BARCODE, :SHELF_ID, :AUTO_DELIVERY_MEASURE_ID, :IS_SALABLE, :DEFAULT_DISCOUNT, "
            ":WITH_PRESCRIPTION_ONLY, :DEFAULT_DIRECT_SALE_PRICE, :DEFAULT_NZOK_SALE_PRICE, :IS_MEDICINE, "
            ":DIRECT_SALE_MAX_PRICE)",
            {{"GROUP_ID", Variant(int32_t(0))}, {"PRODUCER_ID", Variant(int32_t(0))},
             {"SALE_DEFAULT_MEASURE_ID", Variant(int32_t(-1))}, {"NAME", Variant("")}, {"CYR_NAME", Variant("")},
             {"VAT", Variant(20.0)}, {"MAX_OVERRATE", Variant(0.0)}, {"BASE_PRICE", Variant(0.0)},
             {"MIN_RESERVE", Variant(int32_t(1))}, {"MAX_RESERVE", Variant(int32_t(1))},
             {"MIN_RESERVE_MEASURE_ID", Variant(int32_t(-1))}, {"IS_DRUG", Variant("F")},
             {"IS_MINISTRY_PRICE", Variant("F")}, {"IS_INVENTORISED", Variant("F")}, {"PRINT_BARCODE", Variant("F")},
             {"SHELF_ID", Variant(int32_t(1))}, {"AUTO_DELIVERY_MEASURE_ID", Variant(int32_t(-1))},
             {"IS_SALABLE", Variant("T")}, {"DEFAULT_DISCOUNT", Variant(0.0)},
             {"WITH_PRESCRIPTION_ONLY", Variant("F")}, {"DEFAULT_DIRECT_SALE_PRICE", Variant(Currency::FromRaw(0))},
             {"DEFAULT_NZOK_SALE_PRICE", Variant(Currency::FromRaw(0))}, {"IS_MEDICINE", Variant("F")},
             {"DIRECT_SALE_MAX_PRICE", Variant(0.0)}});
    const int32_t id = dm.GetLastInsertID();
    EXPECT_GT(id, 0);
    // Staged article: the three columns the binding leaves unbound stay NULL.
    std::string cols =
        "ACTION_REQUEST_ID, ID, GROUP_ID, PRODUCER_ID, SALE_DEFAULT_MEASURE_ID, NAME, CYR_NAME, GENERICA, ATC_CODE, "
        "ACTIVE_QUANTITY, DESCRIPTION, VAT, MAX_OVERRATE, BASE_PRICE, MIN_RESERVE, MIN_RESERVE_MEASURE_ID, "
        "MAX_RESERVE, IS_DRUG, DRUG_TYPE_ID, IS_MINISTRY_PRICE, IS_INVENTORISED, BARCODE1, BARCODE2, PRINT_BARCODE, "
        "SHELF_ID, QUANTITY_LEFT_DIRECT_SALE, LAST_DELIVERY_ITEM_SALE_PRICE, AUTO_DELIVERY_MEASURE_ID, "
        "DEFAULT_DISCOUNT, DIRECT_SALE_MARGE, IS_SALABLE, WITH_PRESCRIPTION_ONLY, DEFAULT_DIRECT_SALE_PRICE, "
        "DEFAULT_NZOK_SALE_PRICE, IS_MEDICINE, DIRECT_SALE_MAX_PRICE";
    std::string params = ":" + cols;
    for (size_t p = params.find(", "); p != std::string::npos; p = params.find(", ", p + 3)) params.insert(p + 2, ":");
    std::vector<std::pair<std::string, Variant>> values = {
        {"ACTION_REQUEST_ID", Variant(int32_t(9))}, {"ID", Variant(id)}, {"NAME", Variant("a")},
        {"CYR_NAME", Variant("a")}, {"GROUP_ID", Variant(int32_t(0))}, {"PRODUCER_ID", Variant(int32_t(0))},
        {"SALE_DEFAULT_MEASURE_ID", Variant(int32_t(0))}, {"VAT", Variant(20.0)}, {"MAX_OVERRATE", Variant(0.0)},
        {"BASE_PRICE", Variant(0.0)}, {"MIN_RESERVE", Variant(int32_t(1))},
        {"MIN_RESERVE_MEASURE_ID", Variant(int32_t(0))}, {"MAX_RESERVE", Variant(int32_t(1))},
        {"IS_DRUG", Variant("F")}, {"IS_MINISTRY_PRICE", Variant("F")}, {"IS_INVENTORISED", Variant("F")},
        {"PRINT_BARCODE", Variant("F")}, {"SHELF_ID", Variant(int32_t(1))},
        {"AUTO_DELIVERY_MEASURE_ID", Variant(int32_t(0))}, {"DEFAULT_DISCOUNT", Variant(0.0)},
        {"IS_SALABLE", Variant("T")}, {"WITH_PRESCRIPTION_ONLY", Variant("F")},
        {"DEFAULT_DIRECT_SALE_PRICE", Variant(Currency::FromRaw(0))},
        {"DEFAULT_NZOK_SALE_PRICE", Variant(Currency::FromRaw(0))}, {"IS_MEDICINE", Variant("F")},
        {"DIRECT_SALE_MAX_PRICE", Variant(0.0)}};
    RunWith(dm, "INSERT INTO NOM_UPDATE_ARTICLE (" + cols + ")\r\nVALUES (" + params + ");", values);
    // The staged article is read back joined with its (missing) NZOK and information rows.
    auto q = dm.OpenQuery(
        "SELECT \r\n  A.*, AN.*, \r\n  AI.ADDITIONAL_INFO, AI.SHOW_INFO_DIRECT_SALE, AI.SHOW_INFO_SALE_NZOK \r\n"
        "FROM nom_update_article A \r\n"
        "LEFT OUTER JOIN nom_update_article_nzok AN ON (A.ACTION_REQUEST_ID=AN.ACTION_REQUEST_ID) \r\n"
        "LEFT OUTER JOIN nom_update_article_info AI ON (A.ACTION_REQUEST_ID = AI.ACTION_REQUEST_ID) \r\n"
        "WHERE A.ACTION_REQUEST_ID = 9");
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ(q->FieldByName("ID").AsInteger(), id);
    EXPECT_EQ(q->FieldByName("ACTION_REQUEST_ID").AsInteger(), 9);
    EXPECT_TRUE(q->FieldByName("NZOK_CODE").IsNull());
    EXPECT_TRUE(q->FieldByName("LAST_DELIVERY_ITEM_SALE_PRICE").IsNull());
    EXPECT_TRUE(q->FieldByName("ADDITIONAL_INFO").IsNull());
    // The article delete runs over every table it names.
    for (const char* sql :
         {"DELETE FROM DENIAL WHERE ARTICLE_ID = %0:d;",
          "DELETE FROM SUBSTITUDE_ARTICLE WHERE (ARTICLE_ID = %0:d) OR (SUBSTITUDE_ARTICLE_ID = %0:d);",
          "DELETE FROM SUPPLIER_CODE WHERE ARTICLE_ID=%0:d;", "DELETE FROM MEASURE WHERE ARTICLE_ID=%0:d;",
          "DELETE FROM ARTICLE_NZOK WHERE ID=%0:d;", "DELETE FROM ARTICLE_INFO WHERE ID = %0:d;",
          "DELETE FROM INVENTORY_CHECK WHERE ARTICLE_ID = %0:d;", "DELETE FROM ARTICLE WHERE ID=%0:d;"})
        EXPECT_NO_THROW(dm.ExecSQLFmt(sql, {Variant(id)})) << sql;
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ARTICLE"), 0);
}

TEST_F(DbSchemaTest, NewMeasuresAndSubstituteLinksOfOneRequestShareIdZero) {
    TDMBase dm;
    for (int i = 0; i < 2; ++i) {
        RunWith(dm,
                "INSERT INTO NOM_UPDATE_MEASURE \r\n(ACTION_REQUEST_ID, ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, "
                "IS_ATOMIC, TEMP_ID)\r\nVALUES \r\n(:ACTION_REQUEST_ID, :ID, :ARTICLE_ID, :MEASURE_NAME_ID, :FACTOR, "
                ":IS_ATOMIC, :TEMP_ID);",
                {{"ACTION_REQUEST_ID", Variant(int32_t(3))}, {"ID", Variant(int32_t(0))},
                 {"ARTICLE_ID", Variant(int32_t(0))}, {"MEASURE_NAME_ID", Variant(int32_t(i + 1))},
                 {"FACTOR", Variant(int32_t(i + 1))}, {"IS_ATOMIC", Variant("F")}, {"TEMP_ID", Variant(int32_t(0))}});
        RunWith(dm,
                "INSERT INTO NOM_UPDATE_SUBSTITUDE_ARTICLE \r\n(ACTION_REQUEST_ID, ID, ARTICLE_ID, "
                "SUBSTITUDE_ARTICLE_ID) VALUES \r\n(:ACTION_REQUEST_ID, :ID, :ARTICLE_ID, :SUBSTITUDE_ARTICLE_ID) ",
                {{"ACTION_REQUEST_ID", Variant(int32_t(3))}, {"ID", Variant(int32_t(0))},
                 {"ARTICLE_ID", Variant(int32_t(5))}, {"SUBSTITUDE_ARTICLE_ID", Variant(int32_t(6 + i))}});
        // A central link inserted with ID 0 draws a new identity.
        RunWith(dm,
                "INSERT INTO SUBSTITUDE_ARTICLE(ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID)\rVALUES (:ID, :ARTICLE_ID, "
                ":SUBSTITUDE_ARTICLE_ID)",
                {{"ID", Variant(int32_t(0))}, {"ARTICLE_ID", Variant(int32_t(5))},
                 {"SUBSTITUDE_ARTICLE_ID", Variant(int32_t(6 + i))}});
        EXPECT_EQ(dm.GetLastInsertID(), i + 1);
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ACTION_REQUEST_ID = 3"), 2);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM NOM_UPDATE_SUBSTITUDE_ARTICLE WHERE ACTION_REQUEST_ID = 3"), 2);
}

}  // namespace
