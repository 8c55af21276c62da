#include "nomsync/nom_sync_service.h"

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/db/env_vars.h"
#include "core/env/pharmacy_directory.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "nomsync/incomplete_requests.h"
#include "nomsync/nomenclature_object.h"
#include "protocol/component_stream.h"
#include "protocol/customer_info.h"

namespace {

template <class T>
bool IsExactly(const TPharmServerCommand& c) {
    return &c.ClassInfo() == &T::StaticClassInfo();
}

}  // namespace

TZorvelCentralNomSyncServerSrv::TZorvelCentralNomSyncServerSrv(uint16_t port)
    : TZorvelCentralNomSyncServerSrv(TEnv::Default(), port) {}

TZorvelCentralNomSyncServerSrv::TZorvelCentralNomSyncServerSrv(TEnv& env, uint16_t port, std::string bindAddress)
    : env_(env), port_(port), bindAddress_(std::move(bindAddress)) {
    AllowStop = true;
    AllowPause = true;
    Interactive = false;
    ErrorSeverity = TErrorSeverity::esNormal;
    StartType = TStartType::stAuto;

    tcpServer_.ListenQueue = kListenQueue;
    tcpServer_.MaxConnections = kMaxConnections;
    tcpServer_.Workers = kMaxConcurrentRequests;
    tcpServer_.ConnectionTimeoutMs = kReadTimeoutMs;
    tcpServer_.MaxFrameSize = kMaxFrameSize;
    tcpServer_.LogSender = ClassName();
    tcpServer_.OnRequest = [this](TTcpRequest& r) { IdTCPServerExecute(r); };
    tcpServer_.OnException = [this](const std::string& peer, const std::exception& e) { ConnectionEnded(peer, e); };
}

TZorvelCentralNomSyncServerSrv::~TZorvelCentralNomSyncServerSrv() { tcpServer_.Stop(); }

void TZorvelCentralNomSyncServerSrv::AL(const std::string& sender, const std::string& text) const {
    env_.Log(sender, text);
}

void TZorvelCentralNomSyncServerSrv::ServiceStart(bool& started) {
    env_.ReloadOptions();
    if (tcpServer_.Active()) tcpServer_.Stop();
    CloseRequestsLeftIncomplete();
    tcpServer_.Start(bindAddress_, port_);
    started = true;
}

void TZorvelCentralNomSyncServerSrv::CloseRequestsLeftIncomplete() {
    // Before any pharmacy is served. A database that cannot be reached now
    // does not keep the service from starting; the next start tries again.
    try {
        std::unique_ptr<TDMBase> dm = env_.ConnectDatabase();
        CloseIncompleteRequests(*dm, [this](const std::string& text) { AL(ClassName(), text); });
    } catch (const std::exception& e) {
        AL(ClassName(), std::string("Requests left incomplete by an earlier run were not looked for: ") + e.what());
    }
}

void TZorvelCentralNomSyncServerSrv::ServiceStop(bool& stopped) {
    tcpServer_.Stop();
    stopped = true;
}

// ---------------------------------------------------------------------------
// Request loop

void TZorvelCentralNomSyncServerSrv::ConnectionEnded(const std::string& peerAddress, const std::exception& e) const {
    // Time-out or a socket failure: the connection simply ends. A count out
    // of bounds is a damaged frame like an undecodable one.
    const auto* frameError = dynamic_cast<const EFrameError*>(&e);
    if (frameError && !dynamic_cast<const EFrameSizeError*>(&e)) return;
    // An undecodable frame: no reply, the connection ends. With UseDebugMode
    // that end is logged (the only trace of a pharmacy whose frames cannot
    // be read); otherwise nothing is written.
    if (env_.Options()->UseDebugMode)
        AL(ClassName(), "Connection " + peerAddress + " closed: " + e.what());
}

void TZorvelCentralNomSyncServerSrv::IdTCPServerExecute(TTcpRequest& request) {
    std::unique_ptr<TComponent> decoded = DecodePharmComponent(std::move(request.Payload));
    auto* command = PharmCast<TPharmServerCommand>(decoded.get());
    if (!command) return;  // a result sent to the server: nothing to answer

    // A failing handler is answered with its message and nothing else: the
    // service's exception event does nothing, so no log line is written.
    std::unique_ptr<TPharmServerCommandResult> result = Dispatch(*command);
    if (result) request.Reply = EncodePharmComponent(*result);
}

std::unique_ptr<TPharmServerCommandResult> TZorvelCentralNomSyncServerSrv::Dispatch(TPharmServerCommand& command) {
    std::unique_ptr<TPharmServerCommandResult> result;
    try {
        if (IsExactly<TPharmServerLoginCommand>(command))
            result = HandleLogin(static_cast<TPharmServerLoginCommand&>(command));
        else if (IsExactly<TPharmServerNomActualizationCommand>(command))
            result = HandleNomActualization(static_cast<TPharmServerNomActualizationCommand&>(command));
        else if (IsExactly<TPharmServerConfirmActionCommand>(command))
            result = HandleConfirmAction(static_cast<TPharmServerConfirmActionCommand&>(command));
        else if (IsExactly<TPharmServerRefreshDataCommand>(command))
            result = HandleRefreshData(static_cast<TPharmServerRefreshDataCommand&>(command));
    } catch (const std::exception& e) {
        // The failure is answered with an empty result of the mapped class.
        result.reset();
        if (IsExactly<TPharmServerLoginCommand>(command))
            result = std::make_unique<TPharmServerLoginResult>();
        else if (IsExactly<TPharmServerConfirmActionCommand>(command))
            result = std::make_unique<TPharmServerConfirmActionResult>();
        else
            result = std::make_unique<TPharmServerNomActualizationResult>();
        result->ErrorMessage = e.what();
    }
    return result;
}

// ---------------------------------------------------------------------------
// Login

TDMBase& TZorvelCentralNomSyncServerSrv::RequestDatabase(std::unique_ptr<TDMBase>& dm) const {
    if (!dm) dm = env_.ConnectDatabase();
    return *dm;
}

bool TZorvelCentralNomSyncServerSrv::CheckPharmacyLogin(TPharmServerLoginCommand& command,
                                                        TPharmServerLoginResult& loginResult,
                                                        std::unique_ptr<TDMBase>& dm) {
    TOrderCustomer customer;
    if (!command.IsCustomerInfoValid())
        throw EPharmCommandCustomerStreamValidationError(
            Cp(u8"Грешка при получаване на данните за достъп на аптеката!") + "\r" +
            Cp(u8"Вероятно е заради проблем в интернет връзката!") + "\r" + Cp(u8"Моля, опитайте отново!") +
            IntToStr(command.CustomerInfo.Size()));
    LoadCustomerFromCommand(customer, command);

    // The same check as the upload service's (the pharmacy directory's).
    bool authorized = false;
    const std::string password = Utf16ToCp1251(customer.Password);
    if (!password.empty())
        authorized = env_.Pharmacies().CheckPassword(RequestDatabase(dm), customer.CustomerCode, password);
    SetResultCustomerAuthorized(loginResult, authorized);
    return authorized;
}

bool TZorvelCentralNomSyncServerSrv::CheckPharmacyCommand(TPharmServerLoginCommand& command,
                                                          TPharmServerLoginResult& loginResult, int32_t& pharmID,
                                                          std::unique_ptr<TDMBase>& dm) {
    pharmID = -1;
    return CheckPharmacyLogin(command, loginResult, dm) && GetCommandCustomerCode(command, pharmID, true);
}

std::unique_ptr<TPharmServerLoginResult> TZorvelCentralNomSyncServerSrv::HandleLogin(
    TPharmServerLoginCommand& command) {
    auto result = std::make_unique<TPharmServerLoginResult>();
    std::unique_ptr<TDMBase> dm;
    CheckPharmacyLogin(command, *result, dm);
    return result;
}

// ---------------------------------------------------------------------------
// Proposals

std::unique_ptr<TPharmServerNomActualizationResult> TZorvelCentralNomSyncServerSrv::HandleNomActualization(
    TPharmServerNomActualizationCommand& command) {
    auto result = std::make_unique<TPharmServerNomActualizationResult>();
    std::unique_ptr<TDMBase> dmHolder;
    if (!CheckPharmacyLogin(command, *result, dmHolder)) return result;
    TDMBase& dm = RequestDatabase(dmHolder);
    if (TZVL2EnvironmentVariables::ReadBool(&dm, "NomSyncServerPaused", false)) {
        result->RequestProceeded = false;
        result->ErrorMessage = Cp(u8"Временно е блокирано създаването на заявки за актуализаране на номенклатурите!");
        return result;
    }
    std::string msg;
    int32_t actionRequestID = 0;
    result->RequestProceeded = TNomenclatureObject::ProcessNomActualization(dm, command, actionRequestID, msg);
    result->ActionRequestID = actionRequestID;
    result->CentralSyncAction = TCentralSyncAction::csaNomRequestResponse;
    if (command.NomObjectActualizationType == TNomObjectActualizationType::noatUpdate)
        result->NextDataResponseCheckInterval = -1;
    if (!msg.empty()) result->RequestProcessError = msg;
    return result;
}
