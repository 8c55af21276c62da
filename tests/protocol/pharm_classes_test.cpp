#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "protocol/component_stream.h"
#include "protocol/pharm_classes.h"
#include "test_bytes.h"

namespace {

// The wire order of every class: published properties in index order (Name
// and Tag first), then the defined properties.
const std::map<std::string, std::vector<std::string>> kWireOrder = {
    {"TPharmServerCommand", {"Name", "Tag"}},
    {"TPharmServerLoginCommand", {"Name", "Tag", "CustomerInfo", "PrivateProperties"}},
    {"TPharmServerRefreshDataCommand", {"Name", "Tag", "CustomerInfo", "PrivateProperties"}},
    {"TPharmServerLoginPacketCommand", {"Name", "Tag", "PacketSize", "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerNomActualizationCommand",
     {"Name", "Tag", "PacketSize", "NomObjectType", "NomObjectActualizationType", "Remark", "CustomerInfo",
      "PrivateProperties", "Data"}},
    {"TPharmServerPrepareReplicationCommand",
     {"Name", "Tag", "PacketSize", "ArchiveFileName", "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerReplicationCommand",
     {"Name", "Tag", "PacketSize", "ArchiveFileName", "ArchiveGenDate", "PacketStartPosition", "PacketEndPosition",
      "WholePacketSize", "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerSendFileCommand",
     {"Name", "Tag", "PacketSize", "PacketFileName", "StartPosition", "FileSize", "CustomerInfo", "PrivateProperties",
      "Data"}},
    {"TPharmServerConfirmActionCommand",
     {"Name", "Tag", "ActionRequestID", "NomCheckReason", "CheckResult", "CentralSyncAction", "ResponseText",
      "CustomerInfo", "PrivateProperties"}},
    {"TPharmServerCommandResult", {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval"}},
    {"TPharmServerLoginResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "CustomerInfo", "PrivateProperties"}},
    {"TPharmServerConfirmActionResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "CustomerInfo", "PrivateProperties"}},
    {"TPharmServerLoginPacketResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketSize", "CustomerInfo",
      "PrivateProperties", "Data"}},
    {"TPharmServerLoginCommunicationPacketResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketSize", "TransferSuccessful",
      "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerNomActualizationResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketSize", "TransferSuccessful",
      "RequestProceeded", "RequestProcessError", "ActionRequestID", "NomObjectType", "NomKey", "CentralSyncAction",
      "NomCheckReason", "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerPrepareReplicationResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketSize", "TransferSuccessful",
      "ArchiveFileName", "ReceivedDataSize", "CustomerInfo", "PrivateProperties", "Data"}},
    {"TPharmServerReplicationResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketSize", "TransferSuccessful",
      "ArchiveFileName", "WholeFileCurrentStreamPosition", "StartPosition", "EndPosition", "CustomerInfo",
      "PrivateProperties", "Data"}},
    {"TPharmServerSendFileResult",
     {"Name", "Tag", "ErrorMessage", "NextDataResponseCheckInterval", "PacketFileName", "StartPosition",
      "IsTransfered", "CustomerInfo", "PrivateProperties"}},
};

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

TEST(PharmClasses, RegistryHoldsTheEighteenClassesInOrder) {
    const std::vector<std::string> order = {
        "TPharmServerCommand", "TPharmServerCommandResult", "TPharmServerLoginCommand", "TPharmServerLoginResult",
        "TPharmServerLoginPacketCommand", "TPharmServerLoginPacketResult", "TPharmServerNomActualizationCommand",
        "TPharmServerNomActualizationResult", "TPharmServerPrepareReplicationCommand",
        "TPharmServerPrepareReplicationResult", "TPharmServerLoginCommunicationPacketResult",
        "TPharmServerReplicationCommand", "TPharmServerReplicationResult", "TPharmServerRefreshDataCommand",
        "TPharmServerConfirmActionCommand", "TPharmServerConfirmActionResult", "TPharmServerSendFileCommand",
        "TPharmServerSendFileResult"};
    std::vector<std::string> got;
    for (const TPharmClassInfo* c : RegisteredPharmClasses()) got.push_back(c->ClassName);
    EXPECT_EQ(got, order);
    for (const std::string& name : order) {
        auto obj = CreatePharmComponent(name);
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->ClassName(), name);
    }
    EXPECT_EQ(CreatePharmComponent("TComponent"), nullptr);
}

TEST(PharmClasses, PropertyOrderOfEveryClass) {
    ASSERT_EQ(kWireOrder.size(), 18u);
    for (const TPharmClassInfo* c : RegisteredPharmClasses()) {
        std::vector<std::string> names;
        for (const TPropInfo& p : c->Properties) names.push_back(p.Name);
        for (const TDefinedPropInfo& d : c->DefinedProperties) names.push_back(d.Name);
        EXPECT_EQ(names, kWireOrder.at(c->ClassName)) << c->ClassName;
        // Only Tag declares a default; only Name is never written.
        for (const TPropInfo& p : c->Properties) {
            EXPECT_EQ(p.Default.has_value(), std::string(p.Name) == "Tag") << c->ClassName << "." << p.Name;
            EXPECT_EQ(p.NeverStored, std::string(p.Name) == "Name");
        }
    }
}

TEST(PharmClasses, PropertyTypes) {
    auto kind = [](const TPharmClassInfo& c, const char* name) { return c.FindProperty(name)->Kind; };
    EXPECT_EQ(kind(TPharmServerSendFileCommand::StaticClassInfo(), "StartPosition"), TPropKind::pkInteger);
    EXPECT_EQ(kind(TPharmServerSendFileResult::StaticClassInfo(), "StartPosition"), TPropKind::pkInt64);
    EXPECT_EQ(kind(TPharmServerReplicationResult::StaticClassInfo(), "StartPosition"), TPropKind::pkInt64);
    EXPECT_EQ(kind(TPharmServerConfirmActionCommand::StaticClassInfo(), "ActionRequestID"), TPropKind::pkInteger);
    EXPECT_EQ(kind(TPharmServerNomActualizationResult::StaticClassInfo(), "ActionRequestID"), TPropKind::pkInt64);
    EXPECT_EQ(kind(TPharmServerNomActualizationResult::StaticClassInfo(), "NomKey"), TPropKind::pkInteger);
    EXPECT_EQ(kind(TPharmServerReplicationCommand::StaticClassInfo(), "ArchiveGenDate"), TPropKind::pkDateTime);
    EXPECT_EQ(TPharmServerConfirmActionCommand::StaticClassInfo().FindProperty("CentralSyncAction")->EnumType,
              &TEnumTraits<TCentralSyncAction>::Info);
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

TEST(PharmClasses, Defaults) {
    TPharmServerNomActualizationCommand nac;
    EXPECT_EQ(nac.NomObjectType, TNomObjectType::notArticle);
    EXPECT_EQ(nac.NomObjectActualizationType, TNomObjectActualizationType::noatInsert);
    EXPECT_EQ(nac.PacketSize, 0);
    EXPECT_EQ(nac.CustomerInfoSize, 0);
    TPharmServerConfirmActionCommand cac;
    EXPECT_TRUE(cac.CheckResult);
    EXPECT_EQ(cac.CentralSyncAction, TCentralSyncAction::csaUnknown);
    TPharmServerNomActualizationResult nar;
    EXPECT_EQ(nar.NomKey, -1);
    EXPECT_FALSE(nar.TransferSuccessful);
    EXPECT_FALSE(nar.RequestProceeded);
    TPharmServerSendFileCommand sfc;
    EXPECT_EQ(sfc.StartPosition, -1);
    TPharmServerSendFileResult sfr;
    EXPECT_EQ(sfr.StartPosition, 0);
    EXPECT_FALSE(sfr.IsTransfered);
}

TEST(PharmClasses, Inheritance) {
    TPharmServerSendFileCommand c;
    EXPECT_TRUE(c.Is<TPharmServerLoginPacketCommand>());
    EXPECT_TRUE(c.Is<TPharmServerLoginCommand>());
    EXPECT_TRUE(c.Is<TPharmServerCommand>());
    EXPECT_FALSE(c.Is<TPharmServerCommandResult>());
    TPharmServerRefreshDataCommand r;
    EXPECT_FALSE(r.Is<TPharmServerLoginPacketCommand>());
    TPharmServerNomActualizationResult nr;
    EXPECT_TRUE(nr.Is<TPharmServerLoginCommunicationPacketResult>());
    EXPECT_EQ(PharmCast<TPharmServerSendFileCommand>(static_cast<TComponent*>(&r)), nullptr);
}

TEST(PharmClasses, CustomerInfoValidity) {
    TPharmServerLoginCommand c;
    EXPECT_FALSE(c.IsCustomerInfoValid());   // empty, even with size 0
    c.CustomerInfo.Bytes() = std::string(99, 'x');
    c.CustomerInfoSize = 100;
    EXPECT_FALSE(c.IsCustomerInfoValid());
    c.CustomerInfoSize = 99;
    EXPECT_TRUE(c.IsCustomerInfoValid());

    // Decoded: "PrivateProperties" 100 with a 99-byte block.
    TMemoryStream ms;
    WritePharmComponent(ms, c);
    auto d = DecodePharmComponent(ms.Bytes());
    EXPECT_TRUE(PharmCast<TPharmServerLoginCommand>(d.get())->IsCustomerInfoValid());
    c.CustomerInfoSize = 100;
    d = DecodePharmComponent(EncodePharmComponent(c));
    EXPECT_FALSE(PharmCast<TPharmServerLoginCommand>(d.get())->IsCustomerInfoValid());

    TPharmServerLoginResult r;
    EXPECT_FALSE(r.IsCustomerInfoValid());
}

TEST(PharmClasses, PacketValidity) {
    TPharmServerNomActualizationCommand c;
    EXPECT_FALSE(c.IsPacketValid());   // PacketSize 0, empty Data
    c.Data.Bytes() = "abc";
    EXPECT_FALSE(c.IsPacketValid());
    c.PacketSize = 4;
    EXPECT_FALSE(c.IsPacketValid());
    c.PacketSize = 3;
    EXPECT_TRUE(c.IsPacketValid());
    TPharmServerLoginPacketResult r;
    r.Data.Bytes() = "ab";
    r.PacketSize = 2;
    EXPECT_TRUE(r.IsPacketValid());
}

TEST(PharmClasses, EnumerationsAndCatalogueNames) {
    EXPECT_STREQ(EnumIdent(TNomObjectType::notSQLDataPack), "notSQLDataPack");
    EXPECT_STREQ(EnumIdent(TNomObjectActualizationType::noatDelete), "noatDelete");
    EXPECT_STREQ(EnumIdent(TCentralSyncAction::csaDataReceiving), "csaDataReceiving");
    EXPECT_STREQ(EnumIdent(TCentralSyncAction::csaNomRequestResponse), "csaNomRequestResponse");
    EXPECT_STREQ(EnumIdent(TNomCheckReason::ncrUpdate), "ncrUpdate");
    EXPECT_EQ(TEnumTraits<TCentralSyncAction>::Info.Identifiers.size(), 7u);
    EXPECT_EQ(TEnumTraits<TCentralSyncAction>::Info.Find("csaCheck"), 4);
    EXPECT_EQ(TEnumTraits<TCentralSyncAction>::Info.Find("csaNothing"), -1);
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notArticle)], std::string("TArticle"));
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notArticleGroup)], std::string("TArticleGroup"));
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notSupplier)], std::string("TSupplier"));
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notProducer)], std::string("TProducer"));
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notMeasureName)], std::string("TMeasureName"));
    EXPECT_EQ(NomObjectClassNames[static_cast<int>(TNomObjectType::notSQLDataPack)], std::string("TSQLDataPack"));
}

TEST(PharmClasses, ValidationExceptions) {
    EPharmCommandCustomerStreamValidationError e1("m1");
    EPharmCommandPacketStreamValidationError e2("m2");
    const Exception& b1 = e1;
    const Exception& b2 = e2;
    EXPECT_STREQ(b1.what(), "m1");
    EXPECT_STREQ(b1.ClassName(), "EPharmCommandCustomerStreamValidationError");
    EXPECT_STREQ(b2.ClassName(), "EPharmCommandPacketStreamValidationError");
}
