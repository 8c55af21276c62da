#include "host/server_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "host/service_application.h"
#include "host/service_factory.h"
#include "nomsync/nom_sync_service.h"

void RunServerProgram(const std::string& outputFile, int nomSyncPort) {
    int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
    }
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 99;
    try {
        TServiceApplication app([nomSyncPort] {
            auto services = CreateServices();
            if (nomSyncPort > 0)
                for (auto& s : services)
                    if (s->Name() == "ZorvelCentralNomSyncServerSrv")
                        s = std::make_unique<TZorvelCentralNomSyncServerSrv>(static_cast<uint16_t>(nomSyncPort));
            return services;
        });
        rc = app.Run(std::vector<std::string>{});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "escaped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "escaped: unknown exception\n");
    }
    std::fflush(nullptr);
    std::exit(rc);
}
