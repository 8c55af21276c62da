#include "host/service_factory.h"

#include "core/env/env.h"
#include "nomsync/nom_sync_service.h"
#include "replication/packet/packet_installer_service.h"
#include "replication/repl_data_service.h"

// Every service of the process, in creation order, over the one environment
// of the process: the ReplData service first, then the packet installer
// (which reads the same pharmacy directory), then the Nom Sync service.
std::vector<std::unique_ptr<TService>> CreateServices() {
    TEnv& env = TEnv::Default();
    std::vector<std::unique_ptr<TService>> services;
    services.push_back(std::make_unique<TZorvelCentralServerSrv>(env));
    services.push_back(std::make_unique<TVantrellPacketInstallerService>(env));
    services.push_back(std::make_unique<TZorvelCentralNomSyncServerSrv>(env, TZorvelCentralNomSyncServerSrv::kDefaultPort));
    return services;
}
