#include "protocol/pharm_classes.h"

#include "core/cp1251.h"
#include "protocol/component_stream.h"

// ======================================================== component base

int TEnumTypeInfo::Find(const std::string& ident) const {
    for (size_t i = 0; i < Identifiers.size(); ++i)
        if (SameText1251(ident, Identifiers[i])) return static_cast<int>(i);
    return -1;
}

const char* TEnumTypeInfo::Identifier(int ordinal) const {
    if (ordinal < 0 || static_cast<size_t>(ordinal) >= Identifiers.size()) return nullptr;
    return Identifiers[static_cast<size_t>(ordinal)];
}

bool TPharmClassInfo::InheritsFrom(const TPharmClassInfo& other) const {
    for (const TPharmClassInfo* c = this; c; c = c->Parent)
        if (c == &other) return true;
    return false;
}

const TPropInfo* TPharmClassInfo::FindProperty(const std::string& name) const {
    for (const TPropInfo& p : Properties)
        if (SameText1251(name, p.Name)) return &p;
    return nullptr;
}

const TDefinedPropInfo* TPharmClassInfo::FindDefinedProperty(const std::string& name) const {
    for (const TDefinedPropInfo& d : DefinedProperties)
        if (SameText1251(name, d.Name)) return &d;
    return nullptr;
}

const char* TComponent::ClassName() const { return ClassInfo().ClassName; }

// ======================================================== enumerations

namespace {
const char* const kNomObjectTypeIdents[] = {"notArticle",     "notArticleGroup", "notSupplier",
                                            "notProducer",    "notMeasureName",  "notSQLDataPack"};
const char* const kNomObjectActualizationTypeIdents[] = {"noatInsert", "noatUpdate", "noatDelete"};
const char* const kCentralSyncActionIdents[] = {"csaUnknown", "csaNomRequestResponse", "csaNoData", "csaLock",
                                                "csaCheck",   "csaUnlock",             "csaDataReceiving"};
const char* const kNomCheckReasonIdents[] = {"ncrNone", "ncrInsert", "ncrUpdate", "ncrDelete"};
}  // namespace

const TEnumTypeInfo TEnumTraits<TNomObjectType>::Info{"TNomObjectType", kNomObjectTypeIdents};
const TEnumTypeInfo TEnumTraits<TNomObjectActualizationType>::Info{"TNomObjectActualizationType",
                                                                   kNomObjectActualizationTypeIdents};
const TEnumTypeInfo TEnumTraits<TCentralSyncAction>::Info{"TCentralSyncAction", kCentralSyncActionIdents};
const TEnumTypeInfo TEnumTraits<TNomCheckReason>::Info{"TNomCheckReason", kNomCheckReasonIdents};

const std::array<const char*, 6> NomObjectClassNames = {"TArticle",    "TArticleGroup",  "TSupplier",
                                                        "TProducer",   "TMeasureName",   "TSQLDataPack"};

// ======================================================== validity

namespace {
bool CustomerInfoValid(const TMemoryStream& info, int64_t declared) {
    const auto size = static_cast<int64_t>(info.Bytes().size());
    return size > 0 && size == declared;
}
bool PacketValid(const TMemoryStream& data, int64_t packetSize) {
    return packetSize > 0 && static_cast<int64_t>(data.Bytes().size()) == packetSize;
}
}  // namespace

bool TPharmServerLoginCommand::IsCustomerInfoValid() const { return CustomerInfoValid(CustomerInfo, CustomerInfoSize); }
bool TPharmServerLoginResult::IsCustomerInfoValid() const { return CustomerInfoValid(CustomerInfo, CustomerInfoSize); }
bool TPharmServerLoginPacketCommand::IsPacketValid() const { return PacketValid(Data, PacketSize); }
bool TPharmServerLoginPacketResult::IsPacketValid() const { return PacketValid(Data, PacketSize); }

// ======================================================== defined properties
//
// "CustomerInfo": binary block, the whole customer-information stream.
// "PrivateProperties": the declared customer-information size as an integer.
// "Data": binary block, the whole data stream.
// Read: the block is written into the stream at its position, which is then
// rewound to 0.

namespace {

template <class C>
void WriteCustomerInfo(const TComponent& o, TComponentWriter& w) {
    w.WriteBinary(static_cast<const C&>(o).CustomerInfo);
}
template <class C>
void ReadCustomerInfo(TComponent& o, TComponentReader& r) {
    r.ReadBinaryInto(static_cast<C&>(o).CustomerInfo);
}
template <class C>
void WritePrivateProperties(const TComponent& o, TComponentWriter& w) {
    w.WriteInteger(static_cast<const C&>(o).CustomerInfoSize);
}
template <class C>
void ReadPrivateProperties(TComponent& o, TComponentReader& r) {
    static_cast<C&>(o).CustomerInfoSize = r.ReadIntegerValue(true);
}
template <class C>
void WriteData(const TComponent& o, TComponentWriter& w) {
    w.WriteBinary(static_cast<const C&>(o).Data);
}
template <class C>
void ReadData(TComponent& o, TComponentReader& r) {
    r.ReadBinaryInto(static_cast<C&>(o).Data);
}

template <class C>
constexpr TDefinedPropInfo kLoginDefined[] = {
    {"CustomerInfo", WriteCustomerInfo<C>, ReadCustomerInfo<C>},
    {"PrivateProperties", WritePrivateProperties<C>, ReadPrivateProperties<C>},
};
template <class L, class P>
constexpr TDefinedPropInfo kPacketDefined[] = {
    {"CustomerInfo", WriteCustomerInfo<L>, ReadCustomerInfo<L>},
    {"PrivateProperties", WritePrivateProperties<L>, ReadPrivateProperties<L>},
    {"Data", WriteData<P>, ReadData<P>},
};

constexpr auto kCommandLogin = std::span<const TDefinedPropInfo>(kLoginDefined<TPharmServerLoginCommand>);
constexpr auto kCommandPacket =
    std::span<const TDefinedPropInfo>(kPacketDefined<TPharmServerLoginCommand, TPharmServerLoginPacketCommand>);
constexpr auto kResultLogin = std::span<const TDefinedPropInfo>(kLoginDefined<TPharmServerLoginResult>);
constexpr auto kResultPacket =
    std::span<const TDefinedPropInfo>(kPacketDefined<TPharmServerLoginResult, TPharmServerLoginPacketResult>);
constexpr std::span<const TDefinedPropInfo> kNoDefined{};

}  // namespace

// ======================================================== published properties
//
// Every class's published properties, complete and in index order: the
// component base's Name (never written) and Tag (declared default 0) first,
// then each class level's own properties in their declared order. The codec
// writes them in this order, skipping Name and default values, and then the
// class's defined properties.

namespace {

using Cmd = TPharmServerCommand;
using LoginCmd = TPharmServerLoginCommand;
using PacketCmd = TPharmServerLoginPacketCommand;
using NomActCmd = TPharmServerNomActualizationCommand;
using PrepReplCmd = TPharmServerPrepareReplicationCommand;
using ReplCmd = TPharmServerReplicationCommand;
using SendFileCmd = TPharmServerSendFileCommand;
using ConfirmCmd = TPharmServerConfirmActionCommand;
using Res = TPharmServerCommandResult;
using PacketRes = TPharmServerLoginPacketResult;
using CommPacketRes = TPharmServerLoginCommunicationPacketResult;
using NomActRes = TPharmServerNomActualizationResult;
using PrepReplRes = TPharmServerPrepareReplicationResult;
using ReplRes = TPharmServerReplicationResult;
using SendFileRes = TPharmServerSendFileResult;

#define VT_COMPONENT_PROPS                                                   \
    Prop<&TComponent::Name>("Name", std::nullopt, /*neverStored=*/true),     \
    Prop<&TComponent::Tag>("Tag", /*declaredDefault=*/0)

// ---- commands

constexpr TPropInfo kCommandProps[] = {VT_COMPONENT_PROPS};

constexpr TPropInfo kPacketCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&PacketCmd::PacketSize>("PacketSize"),
};

constexpr TPropInfo kNomActualizationCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&PacketCmd::PacketSize>("PacketSize"),
    Prop<&NomActCmd::NomObjectType>("NomObjectType"),
    Prop<&NomActCmd::NomObjectActualizationType>("NomObjectActualizationType"),
    Prop<&NomActCmd::Remark>("Remark"),
};

constexpr TPropInfo kPrepareReplicationCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&PacketCmd::PacketSize>("PacketSize"),
    Prop<&PrepReplCmd::ArchiveFileName>("ArchiveFileName"),
};

constexpr TPropInfo kReplicationCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&PacketCmd::PacketSize>("PacketSize"),
    Prop<&ReplCmd::ArchiveFileName>("ArchiveFileName"),
    Prop<&ReplCmd::ArchiveGenDate>("ArchiveGenDate"),
    Prop<&ReplCmd::PacketStartPosition>("PacketStartPosition"),
    Prop<&ReplCmd::PacketEndPosition>("PacketEndPosition"),
    Prop<&ReplCmd::WholePacketSize>("WholePacketSize"),
};

constexpr TPropInfo kSendFileCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&PacketCmd::PacketSize>("PacketSize"),
    Prop<&SendFileCmd::PacketFileName>("PacketFileName"),
    Prop<&SendFileCmd::StartPosition>("StartPosition"),
    Prop<&SendFileCmd::FileSize>("FileSize"),
};

constexpr TPropInfo kConfirmActionCommandProps[] = {
    VT_COMPONENT_PROPS,
    Prop<&ConfirmCmd::ActionRequestID>("ActionRequestID"),
    Prop<&ConfirmCmd::NomCheckReason>("NomCheckReason"),
    Prop<&ConfirmCmd::CheckResult>("CheckResult"),
    Prop<&ConfirmCmd::CentralSyncAction>("CentralSyncAction"),
    Prop<&ConfirmCmd::ResponseText>("ResponseText"),
};

// ---- results

#define VT_RESULT_PROPS                                                      \
    VT_COMPONENT_PROPS,                                                      \
    Prop<&Res::ErrorMessage>("ErrorMessage"),                                \
    Prop<&Res::NextDataResponseCheckInterval>("NextDataResponseCheckInterval")

constexpr TPropInfo kResultProps[] = {VT_RESULT_PROPS};

constexpr TPropInfo kPacketResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&PacketRes::PacketSize>("PacketSize"),
};

constexpr TPropInfo kCommunicationPacketResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&PacketRes::PacketSize>("PacketSize"),
    Prop<&CommPacketRes::TransferSuccessful>("TransferSuccessful"),
};

constexpr TPropInfo kNomActualizationResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&PacketRes::PacketSize>("PacketSize"),
    Prop<&CommPacketRes::TransferSuccessful>("TransferSuccessful"),
    Prop<&NomActRes::RequestProceeded>("RequestProceeded"),
    Prop<&NomActRes::RequestProcessError>("RequestProcessError"),
    Prop<&NomActRes::ActionRequestID>("ActionRequestID"),
    Prop<&NomActRes::NomObjectType>("NomObjectType"),
    Prop<&NomActRes::NomKey>("NomKey"),
    Prop<&NomActRes::CentralSyncAction>("CentralSyncAction"),
    Prop<&NomActRes::NomCheckReason>("NomCheckReason"),
};

constexpr TPropInfo kPrepareReplicationResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&PacketRes::PacketSize>("PacketSize"),
    Prop<&CommPacketRes::TransferSuccessful>("TransferSuccessful"),
    Prop<&PrepReplRes::ArchiveFileName>("ArchiveFileName"),
    Prop<&PrepReplRes::ReceivedDataSize>("ReceivedDataSize"),
};

constexpr TPropInfo kReplicationResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&PacketRes::PacketSize>("PacketSize"),
    Prop<&CommPacketRes::TransferSuccessful>("TransferSuccessful"),
    Prop<&ReplRes::ArchiveFileName>("ArchiveFileName"),
    Prop<&ReplRes::WholeFileCurrentStreamPosition>("WholeFileCurrentStreamPosition"),
    Prop<&ReplRes::StartPosition>("StartPosition"),
    Prop<&ReplRes::EndPosition>("EndPosition"),
};

// StartPosition comes before IsTransfered in index order, although the
// object holds them the other way round.
constexpr TPropInfo kSendFileResultProps[] = {
    VT_RESULT_PROPS,
    Prop<&SendFileRes::PacketFileName>("PacketFileName"),
    Prop<&SendFileRes::StartPosition>("StartPosition"),
    Prop<&SendFileRes::IsTransfered>("IsTransfered"),
};

#undef VT_RESULT_PROPS
#undef VT_COMPONENT_PROPS

template <class C>
std::unique_ptr<TComponent> CreateOf() {
    return std::make_unique<C>();
}

}  // namespace

// ======================================================== class table

#define VT_CLASS_INFO(Cls, ParentInfo, Props, Defined)                                         \
    const TPharmClassInfo& Cls::StaticClassInfo() {                                            \
        static const TPharmClassInfo info{#Cls, ParentInfo, Props, Defined, CreateOf<Cls>};    \
        return info;                                                                           \
    }

VT_CLASS_INFO(TPharmServerCommand, nullptr, kCommandProps, kNoDefined)
VT_CLASS_INFO(TPharmServerLoginCommand, &Cmd::StaticClassInfo(), kCommandProps, kCommandLogin)
VT_CLASS_INFO(TPharmServerLoginPacketCommand, &LoginCmd::StaticClassInfo(), kPacketCommandProps, kCommandPacket)
VT_CLASS_INFO(TPharmServerNomActualizationCommand, &PacketCmd::StaticClassInfo(), kNomActualizationCommandProps,
              kCommandPacket)
VT_CLASS_INFO(TPharmServerPrepareReplicationCommand, &PacketCmd::StaticClassInfo(),
              kPrepareReplicationCommandProps, kCommandPacket)
VT_CLASS_INFO(TPharmServerReplicationCommand, &PacketCmd::StaticClassInfo(), kReplicationCommandProps,
              kCommandPacket)
VT_CLASS_INFO(TPharmServerSendFileCommand, &PacketCmd::StaticClassInfo(), kSendFileCommandProps, kCommandPacket)
VT_CLASS_INFO(TPharmServerRefreshDataCommand, &LoginCmd::StaticClassInfo(), kCommandProps, kCommandLogin)
VT_CLASS_INFO(TPharmServerConfirmActionCommand, &LoginCmd::StaticClassInfo(), kConfirmActionCommandProps,
              kCommandLogin)

VT_CLASS_INFO(TPharmServerCommandResult, nullptr, kResultProps, kNoDefined)
VT_CLASS_INFO(TPharmServerLoginResult, &Res::StaticClassInfo(), kResultProps, kResultLogin)
VT_CLASS_INFO(TPharmServerLoginPacketResult, &TPharmServerLoginResult::StaticClassInfo(), kPacketResultProps,
              kResultPacket)
VT_CLASS_INFO(TPharmServerLoginCommunicationPacketResult, &PacketRes::StaticClassInfo(),
              kCommunicationPacketResultProps, kResultPacket)
VT_CLASS_INFO(TPharmServerNomActualizationResult, &CommPacketRes::StaticClassInfo(), kNomActualizationResultProps,
              kResultPacket)
VT_CLASS_INFO(TPharmServerPrepareReplicationResult, &CommPacketRes::StaticClassInfo(),
              kPrepareReplicationResultProps, kResultPacket)
VT_CLASS_INFO(TPharmServerReplicationResult, &CommPacketRes::StaticClassInfo(), kReplicationResultProps,
              kResultPacket)
VT_CLASS_INFO(TPharmServerConfirmActionResult, &TPharmServerLoginResult::StaticClassInfo(), kResultProps,
              kResultLogin)
VT_CLASS_INFO(TPharmServerSendFileResult, &TPharmServerLoginResult::StaticClassInfo(), kSendFileResultProps,
              kResultLogin)

#undef VT_CLASS_INFO

// ======================================================== registry

std::span<const TPharmClassInfo* const> RegisteredPharmClasses() {
    // Registered before any service runs (the first use builds it, once).
    static const TPharmClassInfo* const registry[] = {
        &TPharmServerCommand::StaticClassInfo(),
        &TPharmServerCommandResult::StaticClassInfo(),
        &TPharmServerLoginCommand::StaticClassInfo(),
        &TPharmServerLoginResult::StaticClassInfo(),
        &TPharmServerLoginPacketCommand::StaticClassInfo(),
        &TPharmServerLoginPacketResult::StaticClassInfo(),
        &TPharmServerNomActualizationCommand::StaticClassInfo(),
        &TPharmServerNomActualizationResult::StaticClassInfo(),
        &TPharmServerPrepareReplicationCommand::StaticClassInfo(),
        &TPharmServerPrepareReplicationResult::StaticClassInfo(),
        &TPharmServerLoginCommunicationPacketResult::StaticClassInfo(),
        &TPharmServerReplicationCommand::StaticClassInfo(),
        &TPharmServerReplicationResult::StaticClassInfo(),
        &TPharmServerRefreshDataCommand::StaticClassInfo(),
        &TPharmServerConfirmActionCommand::StaticClassInfo(),
        &TPharmServerConfirmActionResult::StaticClassInfo(),
        &TPharmServerSendFileCommand::StaticClassInfo(),
        &TPharmServerSendFileResult::StaticClassInfo(),
    };
    return registry;
}

const TPharmClassInfo* FindPharmClass(const std::string& className) {
    for (const TPharmClassInfo* c : RegisteredPharmClasses())
        if (SameText1251(className, c->ClassName)) return c;
    return nullptr;
}

std::unique_ptr<TComponent> CreatePharmComponent(const std::string& className) {
    const TPharmClassInfo* c = FindPharmClass(className);
    return c ? c->Create() : nullptr;
}
