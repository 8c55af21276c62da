// The central database schema (db/schema.sql) against what the services'
// statements need: identity columns, nullable columns, column order where a
// statement names no columns, and fixed rows. The catalogue statements
// themselves run in the catalogue classes' own tests.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/cp1251.h"
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
};

// Every table with an identity column, and only those: the services supply
// the keys of the others themselves.
TEST_F(DbSchemaTest, IdentityColumnsWhereTheServicesReadTheLastInsertId) {
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(UPPER(TABLE_NAME) ORDER BY UPPER(TABLE_NAME)) FROM "
                           "information_schema.COLUMNS WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND EXTRA LIKE '%auto_increment%'"),
              "ACTION_REQUEST,ARTICLE,ARTICLE_GROUP,MEASURE,MEASURE_NAME,PAYMENT_CENTRAL,PRODUCER,"
              "SUBSTITUDE_ARTICLE,SUPPLIER");
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

}  // namespace
