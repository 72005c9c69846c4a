// Where the parent sends a connection under the client's service choice.
#include "RelayService.h"

#include <gtest/gtest.h>

TEST(ConnectTarget, TheServiceImposesItsPortAndAddressWhenTheOperatorAllows) {
    const struct {
        RelayService service;
        bool clientTargets;
        const char* address;
        uint16_t port;
    } cases[] = {
        {RelayService::None, true, "198.18.0.10", 8080},
        {RelayService::RelayServiceHttpTunnel, true, "127.0.0.1", 4646},
        {RelayService::RelayServiceVerify, true, "198.18.0.10", 4848},
        {RelayService::RelayServiceRemoteNas, true, "127.0.0.1", 4080},
        {RelayService::RelayServiceWebdis, true, "127.0.0.1", 7379},
        {RelayService::RelayServiceRemoteNas, false, "198.18.0.10", 8080},
    };
    for (const auto& c : cases) {
        const ConnectTarget target = connectTarget(c.service, c.clientTargets, "198.18.0.10", 8080);
        EXPECT_EQ(target.address, c.address) << static_cast<int>(c.service);
        EXPECT_EQ(target.port, c.port) << static_cast<int>(c.service);
    }
    EXPECT_EQ(serviceFromByte(4), RelayService::RelayServiceWebdis);
    EXPECT_FALSE(serviceFromByte(5));
}
