// The tamblo-gateway command line: accepted forms, defaults, and the refusals operators meet.
#include "Options.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

ParsedOptions parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "tamblo-gateway");
    return parseOptions(arguments);
}

std::string text(in_addr address) {
    char out[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, out, sizeof out);
    return out;
}

}  // namespace

TEST(Options, EveryOptionIsRead) {
    const ParsedOptions parsed = parse({"--server",
                                        "192.0.2.7",
                                        "--server-port",
                                        "9300",
                                        "--source-port",
                                        "9301",
                                        "--mac",
                                        "0a:1B:2c:3D:4e:5F",
                                        "--custom-id",
                                        "box-17",
                                        "--local-ip",
                                        "198.19.0.9",
                                        "--port-range",
                                        "50000-50010",
                                        "--type",
                                        "2",
                                        "--encrypt",
                                        "--tun",
                                        "gw1",
                                        "--no-configure",
                                        "--keepalive-interval",
                                        "5",
                                        "-vv"});
    ASSERT_EQ(parsed.outcome, OptionsOutcome::Run) << parsed.message;
    const GatewayOptions& o = parsed.options;
    EXPECT_EQ(text(o.server), "192.0.2.7");
    EXPECT_EQ(o.serverPort, 9300);
    EXPECT_EQ(o.sourcePort, 9301);
    const uint8_t mac[6] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
    EXPECT_EQ(0, std::memcmp(o.mac, mac, 6));
    EXPECT_EQ(o.customId, "box-17");
    EXPECT_EQ(text(o.localIp), "198.19.0.9");
    EXPECT_EQ(o.portStart, 50000);
    EXPECT_EQ(o.portEnd, 50010);
    EXPECT_EQ(o.type, 2);
    EXPECT_TRUE(o.encrypt);
    EXPECT_EQ(o.tunName, "gw1");
    EXPECT_FALSE(o.configure);
    EXPECT_EQ(o.keepaliveInterval, 5u);
    EXPECT_EQ(o.verbosity, 2);
}

TEST(Options, DefaultsAndTheEqualsForm) {
    const ParsedOptions parsed = parse({"--server=127.0.0.1", "--mac=02:00:00:00:00:01"});
    ASSERT_EQ(parsed.outcome, OptionsOutcome::Run) << parsed.message;
    const GatewayOptions& o = parsed.options;
    EXPECT_EQ(o.serverPort, 8300);
    EXPECT_EQ(o.sourcePort, 0);
    EXPECT_EQ(text(o.localIp), "198.19.255.1");
    EXPECT_EQ(o.portStart, 40000);
    EXPECT_EQ(o.portEnd, 41000);
    EXPECT_EQ(o.type, 0);
    EXPECT_FALSE(o.encrypt);
    EXPECT_EQ(o.tunName, "tamblo0");
    EXPECT_TRUE(o.configure);
    EXPECT_EQ(o.keepaliveInterval, 60u);
    EXPECT_TRUE(o.customId.empty());
}

TEST(Options, InvalidInputIsRefusedWithTheOptionNamed) {
    const std::vector<std::string> base = {"--server", "127.0.0.1", "--mac", "02:00:00:00:00:01"};
    struct Case {
        std::vector<std::string> extra;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--server", "no-such-host.invalid"}, "--server"},
        {{"--server", "10.0.0"}, "--server"},
        {{"--server", "127.0.0.1,"}, "--server"},
        {{"--server", "127.0.0.1:0"}, "--server"},
        {{"--server", "127.0.0.1:8a"}, "--server"},
        {{"--server-port", "0"}, "--server-port"},
        {{"--server-port", "65536"}, "--server-port"},
        {{"--server-port", "83x"}, "--server-port"},
        {{"--source-port", "70000"}, "--source-port"},
        {{"--mac", "02:00:00:00:00"}, "--mac"},
        {{"--mac", "02-00-00-00-00-01"}, "--mac"},
        {{"--mac", "02:00:00:00:00:0g"}, "--mac"},
        {{"--custom-id", ""}, "--custom-id"},
        {{"--custom-id", std::string(256, 'x')}, "--custom-id"},
        {{"--local-ip", "0.0.0.0"}, "--local-ip"},
        {{"--local-ip", "198.19.255"}, "--local-ip"},
        {{"--port-range", "41000-40000"}, "--port-range"},
        {{"--port-range", "40000-40000"}, "--port-range"},
        {{"--port-range", "40000"}, "--port-range"},
        {{"--port-range", "0-10"}, "--port-range"},
        {{"--port-range", "-5-10"}, "--port-range"},
        {{"--type", "256"}, "--type"},
        {{"--type", "-1"}, "--type"},
        {{"--tun", "a-name-far-too-long"}, "--tun"},
        {{"--keepalive-interval", "0"}, "--keepalive-interval"},
        {{"--keepalive-interval", "3601"}, "--keepalive-interval"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"-x"}, "-x"},
        {{"stray"}, "stray"},
        {{"--keepalive-interval"}, "--keepalive-interval"},
        // Version 2 needs both keys, and has no use for the version 1 envelope.
        {{"--key-file", "gateway.key"}, "--server-public-key"},
        {{"--server-public-key", "server.pub"}, "--key-file"},
        {{"--key-file", "gateway.key", "--server-public-key", "server.pub", "--encrypt"},
         "--encrypt"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = base;
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        const ParsedOptions parsed = parse(arguments);
        SCOPED_TRACE(c.mentions);
        EXPECT_EQ(parsed.outcome, OptionsOutcome::Error);
        EXPECT_NE(parsed.message.find(c.mentions), std::string::npos) << parsed.message;
    }
}

TEST(Options, ServerAndMacAreRequired) {
    const ParsedOptions noMac = parse({"--server", "127.0.0.1"});
    EXPECT_EQ(noMac.outcome, OptionsOutcome::Error);
    EXPECT_NE(noMac.message.find("--mac"), std::string::npos);
    const ParsedOptions noServer = parse({"--mac", "02:00:00:00:00:01"});
    EXPECT_EQ(noServer.outcome, OptionsOutcome::Error);
    EXPECT_NE(noServer.message.find("--server"), std::string::npos);
    EXPECT_EQ(parse({"--help"}).outcome, OptionsOutcome::Help);
}

TEST(Options, ServerListsKeepTheirOrderAndTheirPorts) {
    const struct {
        const char* list;
        const char* servers;  // "address:port ..." in order
    } cases[] = {
        {"192.0.2.1", "192.0.2.1:9300"},
        {"192.0.2.1:8301,192.0.2.2", "192.0.2.1:8301 192.0.2.2:9300"},
        {"192.0.2.1,192.0.2.1:9300,192.0.2.1:1", "192.0.2.1:9300 192.0.2.1:1"},  // no duplicates
        {"localhost:8302,192.0.2.3", "127.0.0.1:8302 192.0.2.3:9300"},
    };
    for (const auto& c : cases) {
        const ParsedOptions parsed =
            parse({"--server", c.list, "--server-port", "9300", "--mac", "02:00:00:00:00:01"});
        ASSERT_EQ(parsed.outcome, OptionsOutcome::Run) << c.list << ": " << parsed.message;
        std::string servers;
        for (const sockaddr_in& s : parsed.options.servers) {
            servers += (servers.empty() ? "" : " ") + text(s.sin_addr) + ":" +
                       std::to_string(ntohs(s.sin_port));
        }
        EXPECT_EQ(servers, c.servers) << c.list;
        EXPECT_EQ(text(parsed.options.server), text(parsed.options.servers.front().sin_addr));
    }
}
