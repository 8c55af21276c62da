// The catalogue synchronisation service ("Vantrell Nom Sync Server"): takes
// the pharmacies' proposals to change the shared catalogue, records each as
// an action request, hands the open requests to every pharmacy in turn and
// moves each pharmacy's status on with its confirmations until the request
// is closed and applied (or undone) centrally.
//
// Every request of a pharmacy is one frame holding one command; it gets at
// most one frame with one result back. Connections are served by the frame
// server's I/O threads, an idle one holding no thread; each request's
// handler runs on a worker thread and works on data modules of its own.
//
// Bounds: at most kMaxConnections connections (further peers wait in the
// listen queue until one ends), at most kMaxConcurrentRequests requests
// handled at once (each holds one database connection), frames of at most
// kMaxFrameSize bytes, and an idle or stalled connection (one that sends
// nothing, or takes no bytes of its answer) ends after the time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/service.h"
#include "protocol/pharm_classes.h"
#include "core/env/env.h"
#include "net/tcp_server.h"

class TDMBase;

class TZorvelCentralNomSyncServerSrv : public TService {
public:
    static constexpr uint16_t kDefaultPort = 3052;
    static constexpr int kReadTimeoutMs = 60000;
    static constexpr int kListenQueue = 32;
    static constexpr int kMaxConnections = 20000;
    static constexpr int kMaxConcurrentRequests = 64;
    static constexpr int64_t kMaxFrameSize = int64_t{16} << 20;

    // port: the port ServiceStart opens (3052; tests pass another, 0 lets the
    // system choose one); bindAddress: the address it listens on.
    explicit TZorvelCentralNomSyncServerSrv(uint16_t port = kDefaultPort);
    TZorvelCentralNomSyncServerSrv(TEnv& env, uint16_t port, std::string bindAddress = "0.0.0.0");
    ~TZorvelCentralNomSyncServerSrv() override;

    std::string Name() const override { return "ZorvelCentralNomSyncServerSrv"; }
    std::string DisplayName() const override { return "Vantrell Nom Sync Server"; }
    const char* ClassName() const override { return "TZorvelCentralNomSyncServerSrv"; }

    void ServiceCreate() override {}
    void ServiceDestroy() override {}
    // Reloads the options, closes the requests an earlier run left
    // incomplete, (re)opens the listener on the port.
    void ServiceStart(bool& started) override;
    // Closes the listener and every connection; waits for the requests in
    // progress.
    void ServiceStop(bool& stopped) override;

    // The port actually listened on (after ServiceStart).
    uint16_t BoundPort() const { return tcpServer_.Port(); }
    size_t ConnectionCount() const { return static_cast<size_t>(tcpServer_.ConnectionCount()); }

    // The environment the service reaches the outside world through.
    TEnv& Env() const { return env_; }
    // Writes a line to the daily log with Sender.
    void AL(const std::string& sender, const std::string& text) const;

    // The status a confirmation gives a pharmacy's row.
    static int32_t NextRequestStatus(bool syncRequired, int32_t current, TCentralSyncAction action,
                                     bool checkResult);

private:
    // The test support's way to the listener (to lower its connection bound
    // or shorten its time-out before ServiceStart).
    friend struct NomSyncServiceTestAccess;

    // Serves one frame of a connection (read with the time-out kReadTimeoutMs,
    // at most kMaxFrameSize bytes): decodes the command, runs its handler and
    // sets the result as the reply. A decoding failure raises (the
    // connection then ends) without a reply; a frame that is no command of a
    // handled class is left unanswered and the connection goes on.
    void IdTCPServerExecute(TTcpRequest& request);
    // The handler for the command's exact class; nullptr for a command of
    // any other class. A failing handler's exception is answered with an
    // empty result of the mapped class carrying the message.
    std::unique_ptr<TPharmServerCommandResult> Dispatch(TPharmServerCommand& command);

    // The login check. A request's database work runs on one data module:
    // `dm` is the request's, opened here when the check needs it, and the
    // handler goes on with it (a plain read leaves the session as fresh).
    bool CheckPharmacyLogin(TPharmServerLoginCommand& command, TPharmServerLoginResult& loginResult,
                            std::unique_ptr<TDMBase>& dm);
    // The login check, then the pharmacy's number read from the command;
    // false when either fails.
    bool CheckPharmacyCommand(TPharmServerLoginCommand& command, TPharmServerLoginResult& loginResult,
                              int32_t& pharmID, std::unique_ptr<TDMBase>& dm);
    // The request's data module, opened when it is not yet.
    TDMBase& RequestDatabase(std::unique_ptr<TDMBase>& dm) const;
    std::unique_ptr<TPharmServerLoginResult> HandleLogin(TPharmServerLoginCommand& command);
    std::unique_ptr<TPharmServerNomActualizationResult> HandleNomActualization(
        TPharmServerNomActualizationCommand& command);
    std::unique_ptr<TPharmServerNomActualizationResult> HandleRefreshData(TPharmServerRefreshDataCommand& command);
    std::unique_ptr<TPharmServerConfirmActionResult> HandleConfirmAction(TPharmServerConfirmActionCommand& command);
    // Moves pharmacy P's status row of the request on and closes the request
    // when every pharmacy has finished.
    void ApplyConfirmation(TDMBase& dm, TPharmServerConfirmActionCommand& command, int32_t pharmID);

    // Closes the requests an earlier run left incomplete (logged once each).
    void CloseRequestsLeftIncomplete();
    // What ended a connection's run: time-outs and socket failures end it
    // quietly, anything else (an undecodable frame) is logged in debug mode.
    void ConnectionEnded(const std::string& peerAddress, const std::exception& e) const;
    void SaveCorrectionsToCentralNom(TDMBase& dm, TPharmServerConfirmActionCommand& command,
                                     int32_t actionRequestID);

    TEnv& env_;
    uint16_t port_;
    std::string bindAddress_;
    TTcpServer tcpServer_;
};
