#include <gtest/gtest.h>

#include "host/service_factory.h"

// The process hosts exactly these three services, created in this order,
// with the properties the operating system is told about.
TEST(ServiceFactory, CreatesTheThreeServicesInOrderWithTheirProperties) {
    auto services = CreateServices();
    ASSERT_EQ(services.size(), 3u);

    struct Expected {
        const char* name;
        const char* display;
        bool allowPause;
        bool interactive;
        TErrorSeverity severity;
    } expected[] = {
        {"ZorvelCentralServerSrv", "Vantrell ReplData Server", false, true, TErrorSeverity::esIgnore},
        {"VantrellPacketInstallerService", "Vantrell PacketInstallerService", true, false,
         TErrorSeverity::esNormal},
        {"ZorvelCentralNomSyncServerSrv", "Vantrell Nom Sync Server", true, false, TErrorSeverity::esNormal},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].name);
        const TService& s = *services[i];
        EXPECT_EQ(s.Name(), expected[i].name);
        EXPECT_EQ(s.DisplayName(), expected[i].display);
        EXPECT_TRUE(s.AllowStop);
        EXPECT_EQ(s.AllowPause, expected[i].allowPause);
        EXPECT_EQ(s.Interactive, expected[i].interactive);
        EXPECT_EQ(s.ErrorSeverity, expected[i].severity);
        EXPECT_EQ(s.StartType, TStartType::stAuto);
    }
}
