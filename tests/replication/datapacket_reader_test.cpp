#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "replication/packet/xml_data_packet.h"
#include "support/xml_packet_writer.h"
#include "support/temp_dir.h"

namespace {

std::vector<TPacketFieldDef> AllTypes() {
    return {
        {"ID", TFieldType::ftInteger, 0, 0, true},
        {"NAME", TFieldType::ftString, 50, 0, false},
        {"WNAME", TFieldType::ftWideString, 20, 0, false},
        {"CODE", TFieldType::ftFixedChar, 4, 0, false},
        {"QTY", TFieldType::ftSmallint, 0, 0, false},
        {"BIG", TFieldType::ftLargeint, 0, 0, false},
        {"FLAG", TFieldType::ftBoolean, 0, 0, false},
        {"RATE", TFieldType::ftFloat, 0, 0, false},
        {"PRICE", TFieldType::ftCurrency, 0, 0, false},
        {"AMOUNT", TFieldType::ftBCD, 3, 12, false},
        {"DAY", TFieldType::ftDate, 0, 0, false},
        {"AT", TFieldType::ftTime, 0, 0, false},
        {"STAMP", TFieldType::ftDateTime, 0, 0, false},
        {"NOTE", TFieldType::ftMemo, 0, 0, false},
        {"PIC", TFieldType::ftBlob, 0, 0, false},
    };
}

std::vector<Variant> FullRow() {
    std::string bytes("\x00\x01\xFF<&>\"", 7);
    return {Variant(int32_t(7)),
            Variant(Cp(u8"Аналгин & \"Ко\" <таб.>")),
            Variant(Cp(u8"Широк")),
            Variant("AB12"),
            Variant(int32_t(-300)),
            Variant(int64_t(9000000000LL)),
            Variant(true),
            Variant(0.1),
            Variant(Currency::FromString("12.3456")),
            Variant("-123456789.125"),
            Variant::FromDate(EncodeDateTime(2009, 3, 5)),
            Variant::FromDate(EncodeDateTime(1899, 12, 30, 14, 7, 9, 250)),
            Variant::FromDate(EncodeDateTime(2009, 3, 5, 14, 7, 9)),
            Variant(Cp(u8"ред 1\r\nред 2\tкрай")),
            Variant(bytes)};
}

// The row as text: each value (a date to 1e-8 of a day) or "null".
std::string RowText(const std::vector<TPacketFieldDef>& defs, const std::vector<Variant>& row) {
    std::string out;
    for (size_t i = 0; i < row.size(); ++i) {
        const TFieldType t = defs[i].DataType;
        const bool date = t == TFieldType::ftDate || t == TFieldType::ftTime || t == TFieldType::ftDateTime;
        out += row[i].IsNull() ? "null" : date ? Format("%.8f", {row[i].AsDateTime()}) : row[i].AsString();
        out += "|";
    }
    return out;
}

class DataPacketRoundTrip : public ::testing::TestWithParam<TPacketEncoding> {};

// Every type, a row of its key and nulls, the field definitions with their
// types, sizes and precisions, in every encoding.
TEST_P(DataPacketRoundTrip, EveryTypeAndNullsSurvive) {
    auto fields = AllTypes();
    std::vector<Variant> keyOnly{Variant(int32_t(8))};
    keyOnly.resize(fields.size(), Variant::Null());
    std::vector<std::vector<Variant>> rows{FullRow(), keyOnly};
    TempDir dir;
    std::string path = dir.File("ARTICLE[1].xml");
    SaveXmlDataPacket(path, fields, rows, GetParam());

    TXmlDataPacket p;
    p.LoadFromFile(path);
    ASSERT_EQ(p.RowCount(), 2u);
    auto defsText = [](const std::vector<TPacketFieldDef>& d) {
        std::string out;
        for (const auto& f : d)
            out += Format("%s:%d:%d:%d:%d;", {f.Name, static_cast<int>(f.DataType), f.Size, f.Precision, f.Required ? 1 : 0});
        return out;
    };
    EXPECT_EQ(defsText(p.FieldDefs()), defsText(fields));
    for (size_t r = 0; r < 2; ++r) {
        std::vector<Variant> got;
        for (size_t i = 0; i < fields.size(); ++i) got.push_back(p.Value(r, i));
        EXPECT_EQ(RowText(fields, got), RowText(fields, rows[r]));
    }
    EXPECT_EQ(p.Value(0, 5).Type(), VarType::Int64);
    EXPECT_EQ(p.Value(0, 8).Type(), VarType::Currency);
    EXPECT_EQ(p.Value(0, 10).Type(), VarType::Date);
}

INSTANTIATE_TEST_SUITE_P(Encodings, DataPacketRoundTrip,
                         ::testing::Values(TPacketEncoding::Cp1251, TPacketEncoding::Escaped,
                                           TPacketEncoding::Utf8));

// A packet as the pharmacies' program writes it, with its own value forms.
TEST(DataPacketReader, ReadsTheClientDatasetForms) {
    std::string xml =
        "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"ID\" fieldtype=\"i4\" SUBTYPE=\"Autoinc\"/>"
        "<FIELD attrname=\"NAME\" fieldtype=\"string\" WIDTH=\"30\"/>"
        "<FIELD attrname=\"EXPIRY_DATE\" fieldtype=\"date\"/>"
        "<FIELD attrname=\"CHANGED\" fieldtype=\"dateTime\"/>"
        "<FIELD attrname=\"PRICE\" fieldtype=\"fixed\" DECIMALS=\"2\" WIDTH=\"10\"/>"
        "<FIELD attrname=\"W\" fieldtype=\"string.uni\" WIDTH=\"40\"/>"
        "<FIELD attrname=\"ACTIVE\" fieldtype=\"boolean\"/>"
        "<FIELD attrname=\"KIDS\" fieldtype=\"nested\"/>"
        "<FIELD attrname=\"N1\" fieldtype=\"string\" WIDTH=\"-5\"/>"
        "<FIELD attrname=\"N2\" fieldtype=\"string\" WIDTH=\"3000000000\"/>"
        "<FIELD attrname=\"N3\" fieldtype=\"string\" WIDTH=\"7x\"/>"
        "<FIELD attrname=\"F\" fieldtype=\"r8\"/>"
        "</FIELDS><PARAMS/></METADATA><ROWDATA>"
        "<ROW RowState=\"4\" ID=\"1\" NAME=\"&#192;&#1041;c\" EXPIRY_DATE=\"18991225\" "
        "CHANGED=\"20090305T14:07:09000\" PRICE=\"12.50\" ACTIVE=\"FALSE\" F=\"+2,5\"/>"
        "<ROW ID=\"2\" EXPIRY_DATE=\"2010-01-31\" CHANGED=\"2009-03-05T14:07:09.5\" ACTIVE=\"True\"/>"
        "</ROWDATA></DATAPACKET>";
    TXmlDataPacket p;
    p.LoadFromString(xml);
    ASSERT_EQ(p.FieldCount(), 12);
    // A width that is no 32-bit count gives no size.
    for (int i : {8, 9, 10}) EXPECT_EQ(p.FieldDefs()[i].Size, 0) << p.FieldDefs()[i].Name;
    EXPECT_EQ(p.FieldDefs()[0].DataType, TFieldType::ftAutoInc);
    EXPECT_EQ(p.FieldDefs()[4].DataType, TFieldType::ftBCD);
    EXPECT_EQ(p.FieldDefs()[4].Precision, 10);
    EXPECT_EQ(p.FieldDefs()[4].Size, 2);
    EXPECT_EQ(p.FieldDefs()[5].Size, 20);
    EXPECT_EQ(p.FieldDefs()[7].DataType, TFieldType::ftDataSet);
    ASSERT_EQ(p.RowCount(), 2u);
    // &#192; in a packet without a declared encoding is the cp1251 byte C0
    // (a Cyrillic A); &#1041; is the Unicode character (a Cyrillic Be).
    EXPECT_EQ(p.Value(0, 1).AsString(), Cp(u8"АБc"));
    EXPECT_DOUBLE_EQ(p.Value(0, 2).AsDateTime(), -5.0);
    EXPECT_EQ(DateTimeToSqlText(p.Value(0, 3).AsDateTime()), "2009-03-05 14:07:09");
    EXPECT_EQ(p.Value(0, 4).AsString(), "12.50");
    EXPECT_TRUE(p.Value(0, 5).IsNull());
    EXPECT_FALSE(p.Value(0, 6).AsBoolean());
    EXPECT_EQ(p.Value(0, 11).AsDouble(), 2.5);
    EXPECT_TRUE(p.Value(0, 7).IsNull());
    EXPECT_TRUE(p.Value(1, 1).IsNull());
    EXPECT_EQ(DateToText(p.Value(1, 2).AsDateTime()), "31.01.2010");
    EXPECT_TRUE(p.Value(1, 6).AsBoolean());
}

TEST(DataPacketReader, DeclaredUtf8IsConvertedToCp1251) {
    std::string xml = std::string("\xEF\xBB\xBF") +
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
                      "<FIELD attrname=\"NAME\" fieldtype=\"string\" WIDTH=\"30\"/></FIELDS></METADATA>"
                      "<ROWDATA><ROW NAME=\"" + std::string(reinterpret_cast<const char*>(u8"Ёлха &#192;")) +
                      "\"/></ROWDATA></DATAPACKET>";
    TXmlDataPacket p;
    p.LoadFromString(xml);
    ASSERT_EQ(p.RowCount(), 1u);
    // In a UTF-8 packet a reference is a Unicode character, as XML has it.
    EXPECT_EQ(p.Value(0, 0).AsString(), Cp(u8"Ёлха À"));
}

TEST(DataPacketReader, BrokenPacketsRaise) {
    TXmlDataPacket p;
    EXPECT_THROW(p.LoadFromString("not xml at all"), EReadError);
    EXPECT_THROW(p.LoadFromString("<?xml version=\"1.0\"?><ROOT/>"), EReadError);
    const std::string brokenRow = "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                                  "</FIELDS></METADATA><ROWDATA><ROW ID=\"12x\"/></ROWDATA></DATAPACKET>";
    EXPECT_THROW(p.LoadFromString(brokenRow), EReadError);
    // The field definitions alone are read without the rows.
    TempDir dir;
    const auto defs = TXmlDataPacket::ReadFieldDefs(dir.Write("X[1].xml", brokenRow));
    ASSERT_EQ(defs.size(), 1u);
    EXPECT_EQ(defs[0].Name, "ID");
    EXPECT_THROW(p.LoadFromString("<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                                  "</FIELDS><PARAMS CHANGE_LOG=\"1 0 4\"/></METADATA><ROWDATA><ROW ID=\"1\"/>"
                                  "</ROWDATA></DATAPACKET>"),
                 EReadError);
    EXPECT_THROW(p.LoadFromFile("/nonexistent/X[1].xml"), EInOutError);
    EXPECT_FALSE(p.Active());
}

}  // namespace
