// The XML data packet reader on packets as the pharmacies write them (the
// packets the archive tests install come from the test writer in every
// encoding).
#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "replication/packet/xml_data_packet.h"
#include "support/temp_dir.h"

namespace {

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
