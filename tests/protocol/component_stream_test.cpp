#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "protocol/component_stream.h"
#include "protocol/pharm_classes.h"
#include "test_bytes.h"
#include "support/expect_raises.h"

namespace {

// A whole component stream: signature, class name, empty name, the entries,
// end of properties, end of children.
std::string Obj(const std::string& cls, const std::string& entries) {
    return "TPF0" + SS(cls) + B({0}) + entries + B({0, 0});
}

std::string Entry(const std::string& name, const std::string& value) { return SS(name) + value; }

std::string Ident(const std::string& id) { return B({7}) + SS(id); }

std::string Binary(const std::string& bytes) {
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    return B({0x0A, static_cast<int>(n & 0xFF), static_cast<int>((n >> 8) & 0xFF), static_cast<int>((n >> 16) & 0xFF),
              static_cast<int>(n >> 24)}) +
           bytes;
}

// The login part written for an empty block.
const std::string kEmptyLogin = Entry("CustomerInfo", Binary("")) + Entry("PrivateProperties", B({2, 0}));

template <typename T>
std::unique_ptr<T> DecodeAs(const std::string& bytes) {
    std::unique_ptr<TComponent> c = DecodePharmComponent(bytes);
    EXPECT_NE(c, nullptr);
    EXPECT_STREQ(c->ClassName(), T::StaticClassInfo().ClassName);
    EXPECT_EQ(&c->ClassInfo(), &T::StaticClassInfo());
    return std::unique_ptr<T>(static_cast<T*>(c.release()));
}

template <typename E>
void ExpectDecodeError(const std::string& bytes, const std::string& message) {
    SCOPED_TRACE(Hex(bytes));
    ExpectRaises<E>([&] { DecodePharmComponent(bytes); }, message);
}

}  // namespace

// ------------------------------------------------------------ encoding

// Defaults keep their always-written properties; 64-bit, long and date-time values take their forms.
TEST(ComponentStream, EncodedBytes) {
    TPharmServerNomActualizationResult nr;
    EXPECT_EQ(EncodePharmComponent(nr),
              Obj("TPharmServerNomActualizationResult",
                  Entry("NextDataResponseCheckInterval", B({2, 0})) + Entry("TransferSuccessful", B({8})) +
                      Entry("RequestProceeded", B({8})) + Entry("NomObjectType", Ident("notArticle")) +
                      Entry("NomKey", B({2, 0xFF})) + Entry("CentralSyncAction", Ident("csaUnknown")) +
                      Entry("NomCheckReason", Ident("ncrNone")) + kEmptyLogin + Entry("Data", Binary(""))));

    TPharmServerConfirmActionCommand c;
    EXPECT_EQ(EncodePharmComponent(c),
              Obj("TPharmServerConfirmActionCommand",
                  Entry("ActionRequestID", B({2, 0})) + Entry("NomCheckReason", Ident("ncrNone")) +
                      Entry("CheckResult", B({9})) + Entry("CentralSyncAction", Ident("csaUnknown")) + kEmptyLogin));
    TPharmServerSendFileCommand sf;
    EXPECT_EQ(Hex(EncodePharmComponent(sf)),
              Hex(Obj("TPharmServerSendFileCommand", Entry("StartPosition", B({2, 0xFF})) +
                                                        Entry("FileSize", B({2, 0})) + kEmptyLogin +
                                                        Entry("Data", Binary("")))));

    sf.PacketFileName = "C:\\out\\xml12.rar";
    sf.StartPosition = 400;
    sf.FileSize = 1000;
    sf.Data.Bytes() = "chunk";
    sf.PacketSize = 5;
    sf.CustomerInfo.Bytes() = "ci";
    sf.CustomerInfoSize = 2;
    sf.Data.SetPosition(3);   // the block is written whole whatever the position
    EXPECT_EQ(Hex(EncodePharmComponent(sf)),
              Hex(Obj("TPharmServerSendFileCommand",
                      Entry("PacketSize", B({2, 5})) + Entry("PacketFileName", B({6, 16}) + "C:\\out\\xml12.rar") +
                          Entry("StartPosition", B({3, 0x90, 0x01})) + Entry("FileSize", B({3, 0xE8, 0x03})) +
                          Entry("CustomerInfo", Binary("ci")) + Entry("PrivateProperties", B({2, 2})) +
                          Entry("Data", Binary("chunk")))));
    // The result writes StartPosition before IsTransfered.
    TPharmServerSendFileResult r;
    r.StartPosition = 1000;
    r.IsTransfered = true;
    EXPECT_EQ(Hex(EncodePharmComponent(r)),
              Hex(Obj("TPharmServerSendFileResult", Entry("NextDataResponseCheckInterval", B({2, 0})) +
                                                       Entry("StartPosition", B({3, 0xE8, 0x03})) +
                                                       Entry("IsTransfered", B({9})) + kEmptyLogin)));
    r.StartPosition = -1;   // 64-bit: written when not 0, in the smallest form
    r.IsTransfered = false;
    EXPECT_NE(EncodePharmComponent(r).find(Entry("StartPosition", B({2, 0xFF})) + Entry("IsTransfered", B({8}))),
              std::string::npos);
    TPharmServerCommandResult cr;
    cr.ErrorMessage = std::string(300, 'e');
    const std::string bytes = EncodePharmComponent(cr);
    EXPECT_EQ(bytes, Obj("TPharmServerCommandResult", Entry("ErrorMessage", B({0x0C, 0x2C, 0x01, 0, 0}) +
                                                                                std::string(300, 'e')) +
                                                          Entry("NextDataResponseCheckInterval", B({2, 0}))));
    EXPECT_EQ(DecodeAs<TPharmServerCommandResult>(bytes)->ErrorMessage, std::string(300, 'e'));
    cr.ErrorMessage = std::string(255, 'e');   // the longest short form
    EXPECT_NE(EncodePharmComponent(cr).find(SS("ErrorMessage") + B({6, 0xFF})), std::string::npos);
    // PrivateProperties carries the declared size, in the form its value needs.
    TPharmServerLoginCommand lc;
    lc.CustomerInfoSize = 70000;
    EXPECT_EQ(EncodePharmComponent(lc),
              Obj("TPharmServerLoginCommand",
                  Entry("CustomerInfo", Binary("")) + Entry("PrivateProperties", B({4, 0x70, 0x11, 0x01, 0x00}))));
    lc.CustomerInfoSize = int64_t{5} << 32;
    EXPECT_NE(EncodePharmComponent(lc).find(Entry("PrivateProperties", B({0x13, 0, 0, 0, 0, 5, 0, 0, 0}))),
              std::string::npos);
    TPharmServerCommand cmd;
    EXPECT_EQ(EncodePharmComponent(cmd), Obj("TPharmServerCommand", ""));
    cmd.Tag = -200;
    cmd.Name = "ignored";
    EXPECT_EQ(EncodePharmComponent(cmd), Obj("TPharmServerCommand", Entry("Tag", B({3, 0x38, 0xFF}))));
    TPharmServerReplicationCommand rep;
    rep.ArchiveGenDate = 1.0;
    rep.PacketStartPosition = 0;              // skipped
    rep.PacketEndPosition = 3000000000LL;     // beyond 32 bits
    rep.WholePacketSize = 70000;
    EXPECT_EQ(Hex(EncodePharmComponent(rep)),
              Hex(Obj("TPharmServerReplicationCommand",
                      Entry("ArchiveGenDate", B({5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})) +
                          Entry("PacketEndPosition", B({0x13, 0x00, 0x5E, 0xD0, 0xB2, 0, 0, 0, 0})) +
                          Entry("WholePacketSize", B({4, 0x70, 0x11, 0x01, 0x00})) + kEmptyLogin +
                          Entry("Data", Binary("")))));
}

TEST(ComponentStream, WriteEmptiesAndRewindsTheStreamAbsentPropertiesKeepTheirDefaults) {
    TMemoryStream ms(std::string(1000, 'x'));
    ms.SetPosition(500);
    TPharmServerCommand c;
    WritePharmComponent(ms, c);
    EXPECT_EQ(ms.Bytes(), Obj("TPharmServerCommand", ""));
    EXPECT_EQ(ms.Position(), 0);
    ms.SetPosition(3);
    EXPECT_STREQ(ReadPharmComponent(ms)->ClassName(), "TPharmServerCommand");
    auto confirm = DecodeAs<TPharmServerConfirmActionCommand>(Obj("TPharmServerConfirmActionCommand", ""));
    EXPECT_TRUE(confirm->CheckResult);
    EXPECT_FALSE(confirm->IsCustomerInfoValid());
    EXPECT_EQ(confirm->CustomerInfoSize, 0);
    auto r = DecodeAs<TPharmServerNomActualizationResult>(Obj("TPharmServerNomActualizationResult", ""));
    EXPECT_EQ(r->NomKey, -1);
    auto s = DecodeAs<TPharmServerSendFileCommand>(Obj("TPharmServerSendFileCommand", ""));
    EXPECT_EQ(s->StartPosition, -1);
}

// ------------------------------------------------------------ decoding

TEST(ComponentStream, NamesAreMatchedIgnoringCaseAndBlocksWrittenAtTheStreamPosition) {
    auto r = DecodeAs<TPharmServerLoginResult>(
        Obj("tpharmserverloginresult", Entry("errormessage", B({6, 2}) + "no") + Entry("TAG", B({2, 7})) +
                                           Entry("customerinfo", Binary("abc")) +
                                           Entry("PRIVATEPROPERTIES", B({2, 3}))));
    EXPECT_EQ(r->ErrorMessage, "no");
    EXPECT_EQ(r->Tag, 7);
    EXPECT_EQ(r->CustomerInfo.Bytes(), "abc");
    EXPECT_EQ(r->CustomerInfo.Position(), 0);
    EXPECT_TRUE(r->IsCustomerInfoValid());
    // A second CustomerInfo entry lands at position 0 again (the first one rewound it).
    auto c = DecodeAs<TPharmServerLoginCommand>(
        Obj("TPharmServerLoginCommand", Entry("CustomerInfo", Binary("abc")) + Entry("CustomerInfo", Binary("X"))));
    EXPECT_EQ(c->CustomerInfo.Bytes(), "Xbc");
}

TEST(ComponentStream, ValueForms) {
    auto c = DecodeAs<TPharmServerReplicationCommand>(
        Obj("TPharmServerReplicationCommand",
            Entry("ArchiveGenDate", B({2, 5})) + Entry("PacketStartPosition", B({0x13, 1, 0, 0, 0, 1, 0, 0, 0})) +
                Entry("ArchiveFileName", B({0x0C, 3, 0, 0, 0}) + "a.r") + Entry("PrivateProperties", B({0x13, 9, 0, 0, 0, 0, 0, 0, 0}))));
    EXPECT_EQ(c->ArchiveGenDate, 5.0);
    EXPECT_EQ(c->PacketStartPosition, (int64_t{1} << 32) + 1);
    EXPECT_EQ(c->ArchiveFileName, "a.r");
    EXPECT_EQ(c->CustomerInfoSize, 9);

    auto k = DecodeAs<TPharmServerConfirmActionCommand>(
        Obj("TPharmServerConfirmActionCommand", Entry("CheckResult", Ident("false")) +
                                                    Entry("CentralSyncAction", Ident("CSALOCK")) +
                                                    Entry("NomCheckReason", Ident("ncrDelete"))));
    EXPECT_FALSE(k->CheckResult);
    EXPECT_EQ(k->CentralSyncAction, TCentralSyncAction::csaLock);
    EXPECT_EQ(k->NomCheckReason, TNomCheckReason::ncrDelete);

    auto n = DecodeAs<TPharmServerCommand>(Obj("TPharmServerCommand", Entry("Name", B({6, 1}) + "n")));
    EXPECT_EQ(n->Name, "n");
}

TEST(ComponentStream, DecodeFailures) {
    ExpectDecodeError<EReadError>("TPF1" + SS("TPharmServerCommand") + B({0, 0, 0}), "Invalid stream format");
    ExpectDecodeError<EReadError>("TP", "Stream read error");
    ExpectDecodeError<EClassNotFound>(Obj("TPharmServerFooCommand", ""), "Class TPharmServerFooCommand not found");
    ExpectDecodeError<EClassNotFound>(Obj("TArticle", ""), "Class TArticle not found");
    ExpectDecodeError<EReadError>(Obj("TPharmServerCommandResult", Entry("Bogus", B({2, 0}))),
                                  "Property Bogus does not exist");
    // Defined properties exist only where the class defines them.
    ExpectDecodeError<EReadError>(Obj("TPharmServerLoginCommand", Entry("Data", Binary(""))),
                                  "Property Data does not exist");
    ExpectDecodeError<EReadError>(Obj("TPharmServerCommand", Entry("CustomerInfo", Binary(""))),
                                  "Property CustomerInfo does not exist");

    const std::string kInvalid = "Invalid property value";
    const std::string res = "TPharmServerCommandResult";
    ExpectDecodeError<EReadError>(Obj(res, Entry("NextDataResponseCheckInterval", B({6, 1}) + "1")), kInvalid);
    ExpectDecodeError<EReadError>(Obj(res, Entry("NextDataResponseCheckInterval", B({0x13, 1, 0, 0, 0, 0, 0, 0, 0}))),
                                  kInvalid);
    ExpectDecodeError<EReadError>(Obj(res, Entry("ErrorMessage", B({2, 1}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(res, Entry("ErrorMessage", B({0x12, 0, 0, 0, 0}))), kInvalid);
    const std::string conf = "TPharmServerConfirmActionCommand";
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CentralSyncAction", Ident("csaExplode"))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CentralSyncAction", B({9}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CentralSyncAction", B({2, 3}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("NomCheckReason", Ident("csaLock"))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CheckResult", Ident("Yes"))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CheckResult", B({2, 1}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("CustomerInfo", B({6, 0}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj(conf, Entry("PrivateProperties", B({6, 0}))), kInvalid);
    ExpectDecodeError<EReadError>(Obj("TPharmServerReplicationCommand", Entry("ArchiveGenDate", B({6, 0}))),
                                  kInvalid);
}

TEST(ComponentStream, CountsBeyondTheBytesPresentFailWithoutAllocating) {
    const std::string cmd = "TPharmServerLoginPacketCommand";
    const std::string kReadError = "Stream read error";
    // 2 GiB binary block, negative block, 2 GiB long string: refused from the count alone.
    ExpectDecodeError<EReadError>(Obj(cmd, Entry("Data", B({0x0A, 0xFF, 0xFF, 0xFF, 0x7F}) + "abc")), kReadError);
    ExpectDecodeError<EReadError>(Obj(cmd, Entry("Data", B({0x0A, 0xFF, 0xFF, 0xFF, 0xFF}))), kReadError);
    ExpectDecodeError<EReadError>(
        Obj("TPharmServerCommandResult", Entry("ErrorMessage", B({0x0C, 0xFF, 0xFF, 0xFF, 0x7F}) + "abc")),
        kReadError);
    ExpectDecodeError<EReadError>(
        Obj("TPharmServerCommandResult", Entry("ErrorMessage", B({0x0C, 0x00, 0x00, 0x00, 0x80}))), kReadError);
    // Read straight into a block: nothing is reserved for a count the bytes cannot back.
    TMemoryStream in(B({0x0A, 0xFF, 0xFF, 0xFF, 0x7F}) + "abc"), block;
    TComponentReader reader(in);
    EXPECT_THROW(reader.ReadBinaryInto(block), EReadError);
    EXPECT_EQ(block.Size(), 0);
    // A negative count, or more than is left, reads nothing.
    TMemoryStream three(std::string("abc"));
    TComponentReader r3(three);
    char buf[10] = {};
    EXPECT_THROW(r3.ReadBytes(buf, -1), EReadError);
    EXPECT_THROW(r3.ReadBytes(buf, 10), EReadError);
    EXPECT_EQ(three.Position(), 0);
}

TEST(ComponentStream, TruncationsChildObjectsAndNesting) {
    TPharmServerNomActualizationCommand c;
    c.Remark = "remark";
    c.Data.Bytes() = "payload";
    c.PacketSize = 7;
    c.CustomerInfo.Bytes() = "info";
    c.CustomerInfoSize = 4;
    const std::string full = EncodePharmComponent(c);
    for (size_t n = 0; n < full.size(); ++n)
        ExpectDecodeError<EReadError>(full.substr(0, n), "Stream read error");
    EXPECT_NO_THROW(DecodePharmComponent(full + "trailing bytes are not read"));
    const std::string child = SS("TPharmServerCommand") + B({0}) + Entry("Tag", B({2, 1})) + B({0, 0});
    const std::string withChild =
        "TPF0" + SS("TPharmServerCommandResult") + B({0}) + Entry("ErrorMessage", B({6, 1}) + "e") + B({0}) + child +
        B({0});
    auto r = DecodeAs<TPharmServerCommandResult>(withChild);
    EXPECT_EQ(r->ErrorMessage, "e");
    // A child of an unknown class fails like the root would.
    ExpectDecodeError<EClassNotFound>("TPF0" + SS("TPharmServerCommand") + B({0, 0}) + SS("TNothing") + B({0, 0, 0, 0}),
                                      "Class TNothing not found");
    // Nesting without end is refused.
    std::string deep = "TPF0" + SS("TPharmServerCommand") + B({0, 0});
    for (int i = 0; i < 50; ++i) deep += SS("TPharmServerCommand") + B({0, 0});
    ExpectDecodeError<EReadError>(deep, "Invalid stream format");
}
