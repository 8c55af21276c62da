// The commands a pharmacy sends and the results it receives, the four
// enumerations they share with the catalogue objects, and the table of
// catalogue class names by object type. Each class's published properties,
// in wire order, are listed together in pharm_classes.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/exceptions.h"
#include "core/stream.h"
#include "protocol/component.h"

// ------------------------------------------------------------ enumerations

enum class TNomObjectType : uint8_t {
    notArticle, notArticleGroup, notSupplier, notProducer, notMeasureName, notSQLDataPack
};
enum class TNomObjectActualizationType : uint8_t { noatInsert, noatUpdate, noatDelete };
enum class TCentralSyncAction : uint8_t {
    csaUnknown, csaNomRequestResponse, csaNoData, csaLock, csaCheck, csaUnlock, csaDataReceiving
};
enum class TNomCheckReason : uint8_t { ncrNone, ncrInsert, ncrUpdate, ncrDelete };

template <> struct TEnumTraits<TNomObjectType> { static const TEnumTypeInfo Info; };
template <> struct TEnumTraits<TNomObjectActualizationType> { static const TEnumTypeInfo Info; };
template <> struct TEnumTraits<TCentralSyncAction> { static const TEnumTypeInfo Info; };
template <> struct TEnumTraits<TNomCheckReason> { static const TEnumTypeInfo Info; };

// The identifier of an enumeration value ("csaLock").
template <typename E>
const char* EnumIdent(E v) { return TEnumTraits<E>::Info.Identifier(static_cast<int>(v)); }

// Catalogue class names by TNomObjectType: "TArticle", "TArticleGroup",
// "TSupplier", "TProducer", "TMeasureName", "TSQLDataPack".
extern const std::array<const char*, 6> NomObjectClassNames;

// ------------------------------------------------------------ exceptions

// A command's customer-information block is empty or differs from its declared size.
VT_DECLARE_EXCEPTION(EPharmCommandCustomerStreamValidationError, Exception);
// A packet command's Data block is empty or differs from PacketSize.
VT_DECLARE_EXCEPTION(EPharmCommandPacketStreamValidationError, Exception);

#define VT_PHARM_CLASS(Cls)                                                   \
public:                                                                       \
    static const TPharmClassInfo& StaticClassInfo();                          \
    const TPharmClassInfo& ClassInfo() const override { return StaticClassInfo(); }

// ------------------------------------------------------------ commands

class TPharmServerCommand : public TComponent {
    VT_PHARM_CLASS(TPharmServerCommand)
};

// Carries the sender's customer information ("CustomerInfo" and its declared
// size "PrivateProperties").
class TPharmServerLoginCommand : public TPharmServerCommand {
    VT_PHARM_CLASS(TPharmServerLoginCommand)
public:
    TMemoryStream CustomerInfo;
    int64_t CustomerInfoSize = 0;
    // The block is not empty and its size is the declared one.
    virtual bool IsCustomerInfoValid() const;
};

// Carries a Data block ("Data") of PacketSize bytes.
class TPharmServerLoginPacketCommand : public TPharmServerLoginCommand {
    VT_PHARM_CLASS(TPharmServerLoginPacketCommand)
public:
    int64_t PacketSize = 0;
    TMemoryStream Data;
    // PacketSize is positive and equal to the size of Data.
    virtual bool IsPacketValid() const;
};

class TPharmServerNomActualizationCommand : public TPharmServerLoginPacketCommand {
    VT_PHARM_CLASS(TPharmServerNomActualizationCommand)
public:
    TNomObjectType NomObjectType = TNomObjectType::notArticle;
    TNomObjectActualizationType NomObjectActualizationType = TNomObjectActualizationType::noatInsert;
    std::string Remark;
};

class TPharmServerPrepareReplicationCommand : public TPharmServerLoginPacketCommand {
    VT_PHARM_CLASS(TPharmServerPrepareReplicationCommand)
public:
    std::string ArchiveFileName;
};

class TPharmServerReplicationCommand : public TPharmServerLoginPacketCommand {
    VT_PHARM_CLASS(TPharmServerReplicationCommand)
public:
    std::string ArchiveFileName;
    TDateTime ArchiveGenDate = 0;
    int64_t PacketStartPosition = 0;
    int64_t PacketEndPosition = 0;
    int64_t WholePacketSize = 0;
};

class TPharmServerSendFileCommand : public TPharmServerLoginPacketCommand {
    VT_PHARM_CLASS(TPharmServerSendFileCommand)
public:
    std::string PacketFileName;
    int32_t StartPosition = -1;   // -1: only ask for the size held
    int32_t FileSize = 0;
};

class TPharmServerRefreshDataCommand : public TPharmServerLoginCommand {
    VT_PHARM_CLASS(TPharmServerRefreshDataCommand)
};

class TPharmServerConfirmActionCommand : public TPharmServerLoginCommand {
    VT_PHARM_CLASS(TPharmServerConfirmActionCommand)
public:
    int32_t ActionRequestID = 0;
    TNomCheckReason NomCheckReason = TNomCheckReason::ncrNone;
    bool CheckResult = true;
    TCentralSyncAction CentralSyncAction = TCentralSyncAction::csaUnknown;
    std::string ResponseText;
};

// ------------------------------------------------------------ results

class TPharmServerCommandResult : public TComponent {
    VT_PHARM_CLASS(TPharmServerCommandResult)
public:
    std::string ErrorMessage;
    int32_t NextDataResponseCheckInterval = 0;
};

class TPharmServerLoginResult : public TPharmServerCommandResult {
    VT_PHARM_CLASS(TPharmServerLoginResult)
public:
    TMemoryStream CustomerInfo;
    int64_t CustomerInfoSize = 0;
    virtual bool IsCustomerInfoValid() const;
};

class TPharmServerLoginPacketResult : public TPharmServerLoginResult {
    VT_PHARM_CLASS(TPharmServerLoginPacketResult)
public:
    int64_t PacketSize = 0;
    TMemoryStream Data;
    virtual bool IsPacketValid() const;
};

class TPharmServerLoginCommunicationPacketResult : public TPharmServerLoginPacketResult {
    VT_PHARM_CLASS(TPharmServerLoginCommunicationPacketResult)
public:
    bool TransferSuccessful = false;
};

class TPharmServerNomActualizationResult : public TPharmServerLoginCommunicationPacketResult {
    VT_PHARM_CLASS(TPharmServerNomActualizationResult)
public:
    bool RequestProceeded = false;
    std::string RequestProcessError;
    int64_t ActionRequestID = 0;
    TNomObjectType NomObjectType = TNomObjectType::notArticle;
    int32_t NomKey = -1;
    TCentralSyncAction CentralSyncAction = TCentralSyncAction::csaUnknown;
    TNomCheckReason NomCheckReason = TNomCheckReason::ncrNone;
};

class TPharmServerPrepareReplicationResult : public TPharmServerLoginCommunicationPacketResult {
    VT_PHARM_CLASS(TPharmServerPrepareReplicationResult)
public:
    std::string ArchiveFileName;
    int64_t ReceivedDataSize = 0;
};

class TPharmServerReplicationResult : public TPharmServerLoginCommunicationPacketResult {
    VT_PHARM_CLASS(TPharmServerReplicationResult)
public:
    std::string ArchiveFileName;
    int64_t WholeFileCurrentStreamPosition = 0;
    int64_t StartPosition = 0;
    int64_t EndPosition = 0;
};

class TPharmServerConfirmActionResult : public TPharmServerLoginResult {
    VT_PHARM_CLASS(TPharmServerConfirmActionResult)
};

class TPharmServerSendFileResult : public TPharmServerLoginResult {
    VT_PHARM_CLASS(TPharmServerSendFileResult)
public:
    std::string PacketFileName;
    bool IsTransfered = false;    // held before StartPosition, written after it
    int64_t StartPosition = 0;
};

#undef VT_PHARM_CLASS

// ------------------------------------------------------------ registry

// The 18 classes in their order of registration.
std::span<const TPharmClassInfo* const> RegisteredPharmClasses();
// The registered class of that name (ignoring letter case), or nullptr.
const TPharmClassInfo* FindPharmClass(const std::string& className);
// A new object of the registered class of that name; nullptr when unknown.
std::unique_ptr<TComponent> CreatePharmComponent(const std::string& className);

// Typed cast of a decoded object: the object as T when its class is T or
// derives from T, else nullptr.
template <typename T>
T* PharmCast(TComponent* c) { return c && c->Is<T>() ? static_cast<T*>(c) : nullptr; }
template <typename T>
const T* PharmCast(const TComponent* c) { return c && c->Is<T>() ? static_cast<const T*>(c) : nullptr; }
