// ZorvelCentralServer: the central server process of the pharmacy chain.
#include <csignal>

#include "host/service_application.h"
#include "host/service_factory.h"

int main(int argc, char** argv) {
    // A peer that closes its connection must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    TServiceApplication app(&CreateServices);
    return app.Run(argc, argv);
}
