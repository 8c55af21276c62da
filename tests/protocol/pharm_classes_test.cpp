#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "protocol/component_stream.h"
#include "protocol/pharm_classes.h"
#include "test_bytes.h"

namespace {

// A class as text: its name and its parent's, then what it adds to the parent's
// properties: the published ones in wire order, each with its kind (i integer,
// l 64-bit, b Boolean, e enumeration, s string, d date-time) and, but for strings,
// its value in a fresh object; then "+" and the defined ones, which follow them on the wire.
std::string Described(const TPharmClassInfo& info) {
    static const char kKinds[] = "ilbesd";
    auto obj = info.Create();
    std::string s = info.ClassName;
    size_t props = 0, defined = 0;
    if (const TPharmClassInfo* parent = info.Parent) {
        s += std::string("(") + parent->ClassName + ")";
        props = parent->Properties.size();
        defined = parent->DefinedProperties.size();
        for (size_t i = 0; i < props; ++i) EXPECT_STREQ(info.Properties[i].Name, parent->Properties[i].Name);
        for (size_t i = 0; i < defined; ++i)
            EXPECT_STREQ(info.DefinedProperties[i].Name, parent->DefinedProperties[i].Name);
    }
    for (const TPropInfo& p : info.Properties.subspan(props)) {
        s += std::string(" ") + p.Name + ":" + kKinds[static_cast<int>(p.Kind)];
        if (p.Kind == TPropKind::pkString) continue;
        if (p.Kind == TPropKind::pkDateTime) s += "=" + std::to_string(p.GetFloat(*obj));
        else if (p.Kind == TPropKind::pkEnumeration)
            s += std::string("=") + p.EnumType->Identifier(static_cast<int>(p.GetOrd(*obj)));
        else s += "=" + std::to_string(p.GetOrd(*obj));
    }
    for (const TDefinedPropInfo& d : info.DefinedProperties.subspan(defined)) s += std::string(" +") + d.Name;
    return s;
}

// Gives every property of the object a value other than its default, different per property.
void FillAll(TComponent& c) {
    int n = 0;
    for (const TPropInfo& p : c.ClassInfo().Properties) {
        ++n;
        if (p.NeverStored) continue;
        switch (p.Kind) {
            case TPropKind::pkInteger: p.SetOrd(c, -70000 - n); break;
            case TPropKind::pkInt64: p.SetOrd(c, (int64_t{1} << 35) + n); break;
            case TPropKind::pkBoolean: p.SetOrd(c, p.GetOrd(c) ? 0 : 1); break;
            case TPropKind::pkEnumeration:
                p.SetOrd(c, static_cast<int64_t>(p.EnumType->Identifiers.size()) - 1);
                break;
            case TPropKind::pkString: p.SetStr(c, std::string(200 + n * 10, static_cast<char>('a' + n))); break;
            case TPropKind::pkDateTime: p.SetFloat(c, 45000.5 + n); break;
        }
    }
}

void ExpectSameProperties(const TComponent& a, const TComponent& b) {
    ASSERT_EQ(&a.ClassInfo(), &b.ClassInfo());
    for (const TPropInfo& p : a.ClassInfo().Properties) {
        if (p.NeverStored) continue;
        switch (p.Kind) {
            case TPropKind::pkString: EXPECT_EQ(p.GetStr(a), p.GetStr(b)) << p.Name; break;
            case TPropKind::pkDateTime: EXPECT_EQ(p.GetFloat(a), p.GetFloat(b)) << p.Name; break;
            default: EXPECT_EQ(p.GetOrd(a), p.GetOrd(b)) << p.Name; break;
        }
    }
}

}  // namespace

TEST(PharmClasses, RegistryOrderParentsPropertiesAndDefaultsOfEveryClass) {
    const std::vector<std::string> want = {
        "TPharmServerCommand Name:s Tag:i=0",
        "TPharmServerCommandResult Name:s Tag:i=0 ErrorMessage:s NextDataResponseCheckInterval:i=0",
        "TPharmServerLoginCommand(TPharmServerCommand) +CustomerInfo +PrivateProperties",
        "TPharmServerLoginResult(TPharmServerCommandResult) +CustomerInfo +PrivateProperties",
        "TPharmServerLoginPacketCommand(TPharmServerLoginCommand) PacketSize:l=0 +Data",
        "TPharmServerLoginPacketResult(TPharmServerLoginResult) PacketSize:l=0 +Data",
        "TPharmServerNomActualizationCommand(TPharmServerLoginPacketCommand) NomObjectType:e=notArticle "
        "NomObjectActualizationType:e=noatInsert Remark:s",
        "TPharmServerNomActualizationResult(TPharmServerLoginCommunicationPacketResult) RequestProceeded:b=0 "
        "RequestProcessError:s ActionRequestID:l=0 NomObjectType:e=notArticle NomKey:i=-1 "
        "CentralSyncAction:e=csaUnknown NomCheckReason:e=ncrNone",
        "TPharmServerPrepareReplicationCommand(TPharmServerLoginPacketCommand) ArchiveFileName:s",
        "TPharmServerPrepareReplicationResult(TPharmServerLoginCommunicationPacketResult) ArchiveFileName:s "
        "ReceivedDataSize:l=0",
        "TPharmServerLoginCommunicationPacketResult(TPharmServerLoginPacketResult) TransferSuccessful:b=0",
        "TPharmServerReplicationCommand(TPharmServerLoginPacketCommand) ArchiveFileName:s "
        "ArchiveGenDate:d=0.000000 PacketStartPosition:l=0 PacketEndPosition:l=0 WholePacketSize:l=0",
        "TPharmServerReplicationResult(TPharmServerLoginCommunicationPacketResult) ArchiveFileName:s "
        "WholeFileCurrentStreamPosition:l=0 StartPosition:l=0 EndPosition:l=0",
        "TPharmServerRefreshDataCommand(TPharmServerLoginCommand)",
        "TPharmServerConfirmActionCommand(TPharmServerLoginCommand) ActionRequestID:i=0 "
        "NomCheckReason:e=ncrNone CheckResult:b=1 CentralSyncAction:e=csaUnknown ResponseText:s",
        "TPharmServerConfirmActionResult(TPharmServerLoginResult)",
        "TPharmServerSendFileCommand(TPharmServerLoginPacketCommand) PacketFileName:s StartPosition:i=-1 "
        "FileSize:i=0",
        "TPharmServerSendFileResult(TPharmServerLoginResult) PacketFileName:s StartPosition:l=0 "
        "IsTransfered:b=0",
    };
    std::vector<std::string> got;
    for (const TPharmClassInfo* c : RegisteredPharmClasses()) {
        got.push_back(Described(*c));
        auto obj = CreatePharmComponent(c->ClassName);
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->ClassName(), std::string(c->ClassName));
        // Only Tag declares a default; only Name is never written.
        for (const TPropInfo& p : c->Properties) {
            EXPECT_EQ(p.Default.has_value(), std::string(p.Name) == "Tag") << c->ClassName << "." << p.Name;
            EXPECT_EQ(p.NeverStored, std::string(p.Name) == "Name");
        }
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(CreatePharmComponent("TComponent"), nullptr);
}

TEST(PharmClasses, EveryClassRoundTrips) {
    for (const TPharmClassInfo* info : RegisteredPharmClasses()) {
        SCOPED_TRACE(info->ClassName);
        // With defaults.
        auto plain = info->Create();
        auto back = DecodePharmComponent(EncodePharmComponent(*plain));
        ExpectSameProperties(*plain, *back);
        // With every property changed, and blocks where the class has them.
        auto full = info->Create();
        FillAll(*full);
        if (auto* lc = PharmCast<TPharmServerLoginCommand>(full.get())) {
            lc->CustomerInfo.Bytes() = std::string(70000, 'c');
            lc->CustomerInfoSize = 70000;
        }
        if (auto* lr = PharmCast<TPharmServerLoginResult>(full.get())) {
            lr->CustomerInfo.Bytes() = "result info";
            lr->CustomerInfoSize = 11;
        }
        if (auto* pc = PharmCast<TPharmServerLoginPacketCommand>(full.get())) pc->Data.Bytes() = "command data";
        if (auto* pr = PharmCast<TPharmServerLoginPacketResult>(full.get())) pr->Data.Bytes() = std::string(300, 'd');
        const std::string bytes = EncodePharmComponent(*full);
        auto decoded = DecodePharmComponent(bytes);
        ExpectSameProperties(*full, *decoded);
        EXPECT_EQ(EncodePharmComponent(*decoded), bytes);
        if (auto* lc = PharmCast<TPharmServerLoginCommand>(decoded.get())) {
            EXPECT_EQ(lc->CustomerInfo.Bytes(), std::string(70000, 'c'));
            EXPECT_EQ(lc->CustomerInfoSize, 70000);
        }
        if (auto* pr = PharmCast<TPharmServerLoginPacketResult>(decoded.get())) {
            EXPECT_EQ(pr->Data.Bytes(), std::string(300, 'd'));
        }
    }
}

TEST(PharmClasses, InheritanceAndBlocksValidAgainstTheirDeclaredSizeAlsoOnceDecoded) {
    TPharmServerSendFileCommand c;
    EXPECT_TRUE(c.Is<TPharmServerLoginPacketCommand>() && c.Is<TPharmServerLoginCommand>());
    EXPECT_TRUE(c.Is<TPharmServerCommand>());
    EXPECT_FALSE(c.Is<TPharmServerCommandResult>());
    TPharmServerRefreshDataCommand r;
    EXPECT_FALSE(r.Is<TPharmServerLoginPacketCommand>());
    EXPECT_TRUE(TPharmServerNomActualizationResult().Is<TPharmServerLoginCommunicationPacketResult>());
    EXPECT_EQ(PharmCast<TPharmServerSendFileCommand>(static_cast<TComponent*>(&r)), nullptr);
    EXPECT_FALSE(TPharmServerLoginResult().IsCustomerInfoValid());
    // Bytes of both blocks, the size declared for them: an empty block is invalid even with size 0.
    const struct { int bytes, size; bool valid; } cases[] = {
        {0, 0, false}, {99, 100, false}, {99, 99, true}, {3, 4, false}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.bytes) + " bytes of " + std::to_string(k.size));
        TPharmServerNomActualizationCommand sent;
        sent.CustomerInfo.Bytes() = std::string(static_cast<size_t>(k.bytes), 'c');
        sent.Data.Bytes() = std::string(static_cast<size_t>(k.bytes), 'd');
        sent.CustomerInfoSize = sent.PacketSize = k.size;
        auto decoded = DecodePharmComponent(EncodePharmComponent(sent));
        for (auto* cmd : {&sent, PharmCast<TPharmServerNomActualizationCommand>(decoded.get())}) {
            EXPECT_EQ(cmd->IsCustomerInfoValid(), k.valid);
            EXPECT_EQ(cmd->IsPacketValid(), k.valid);
        }
    }
    TPharmServerLoginPacketResult lpr;
    lpr.Data.Bytes() = "ab";
    lpr.PacketSize = 2;
    EXPECT_TRUE(lpr.IsPacketValid());
}

TEST(PharmClasses, EnumerationsCatalogueNamesAndValidationErrors) {
    auto joined = [](auto names) {
        std::string s;
        for (const char* n : names) s += (s.empty() ? "" : " ") + std::string(n);
        return s;
    };
    EXPECT_EQ(joined(TEnumTraits<TNomObjectType>::Info.Identifiers),
              "notArticle notArticleGroup notSupplier notProducer notMeasureName notSQLDataPack");
    EXPECT_EQ(joined(TEnumTraits<TNomObjectActualizationType>::Info.Identifiers), "noatInsert noatUpdate noatDelete");
    EXPECT_EQ(joined(TEnumTraits<TCentralSyncAction>::Info.Identifiers),
              "csaUnknown csaNomRequestResponse csaNoData csaLock csaCheck csaUnlock csaDataReceiving");
    EXPECT_EQ(joined(TEnumTraits<TNomCheckReason>::Info.Identifiers), "ncrNone ncrInsert ncrUpdate ncrDelete");
    EXPECT_EQ(joined(NomObjectClassNames), "TArticle TArticleGroup TSupplier TProducer TMeasureName TSQLDataPack");
    EXPECT_STREQ(EnumIdent(TCentralSyncAction::csaNomRequestResponse), "csaNomRequestResponse");
    EXPECT_EQ(TEnumTraits<TCentralSyncAction>::Info.Find("CSACHECK"), 4);
    EXPECT_EQ(TEnumTraits<TCentralSyncAction>::Info.Find("csaNothing"), -1);
    EXPECT_STREQ(EPharmCommandCustomerStreamValidationError("m").ClassName(), "EPharmCommandCustomerStreamValidationError");
    EXPECT_STREQ(EPharmCommandPacketStreamValidationError("m").ClassName(), "EPharmCommandPacketStreamValidationError");
}
