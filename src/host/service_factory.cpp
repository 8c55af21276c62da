#include "host/service_factory.h"

#include "nomsync/nom_sync_service.h"
#include "replication/packet/packet_installer_service.h"
#include "replication/repl_data_service.h"

// Every service of the process, in creation order: the ReplData service
// first (the installer reads its pharmacy list), then the packet installer,
// then the Nom Sync service.
std::vector<std::unique_ptr<TService>> CreateServices() {
    std::vector<std::unique_ptr<TService>> services;
    services.push_back(std::make_unique<TZorvelCentralServerSrv>());
    services.push_back(std::make_unique<TVantrellPacketInstallerService>());
    services.push_back(std::make_unique<TZorvelCentralNomSyncServerSrv>());
    return services;
}
