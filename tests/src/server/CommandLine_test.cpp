// Unit tests of the command line: option prefixes that need a value, the exact streams
// switch, atoi-like port values kept to 16 bits, the last word winning, and what is logged.
#include "server/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GatewayTestSupport.h"

namespace {

using gateway_test::LogCapture;

ServerSettings parse(std::vector<std::string> arguments) {
    return parseCommandLine(arguments);
}

TEST(CommandLine, DefaultsWithoutArguments) {
    const ServerSettings settings = parse({});
    EXPECT_EQ(settings.gcPort, 8300);
    EXPECT_EQ(settings.ctrlPort, 8500);
    EXPECT_EQ(settings.proxyPort, 1443);
    EXPECT_EQ(settings.restPort, 8080);
    EXPECT_TRUE(settings.disableStreams);
    EXPECT_EQ(settings.interfaceName, "");
}

TEST(CommandLine, EachPortOptionSetsItsOwnPort) {
    const ServerSettings settings =
        parse({"--rest-port=18080", "--gc-port=18300", "--ctrl-port=18500", "--proxy-port=11443"});
    EXPECT_EQ(settings.restPort, 18080);
    EXPECT_EQ(settings.gcPort, 18300);
    EXPECT_EQ(settings.ctrlPort, 18500);
    EXPECT_EQ(settings.proxyPort, 11443);
    EXPECT_EQ(settings.interfaceName, "");
    EXPECT_TRUE(settings.disableStreams);
}

TEST(CommandLine, PrefixNeedsAtLeastOneCharacterAfterTheEqualsSign) {
    EXPECT_FALSE(argumentMatches("--rest-port=", restPortArg));
    EXPECT_FALSE(argumentMatches("--rest-port", restPortArg));
    EXPECT_TRUE(argumentMatches("--rest-port=1", restPortArg));
    EXPECT_FALSE(argumentMatches("x--rest-port=1", restPortArg));
    EXPECT_FALSE(argumentMatches("--REST-PORT=1", restPortArg));
    EXPECT_EQ(getArgumentValue("--gc-port=8301", gcPortArg), "8301");

    for (const char* bare : {"--rest-port=", "--gc-port=", "--ctrl-port=", "--proxy-port="}) {
        LogCapture log;
        const ServerSettings settings = parse({bare});
        EXPECT_EQ(settings.interfaceName, bare);
        EXPECT_EQ(settings.restPort, 8080);
        EXPECT_EQ(settings.gcPort, 8300);
        EXPECT_EQ(settings.ctrlPort, 8500);
        EXPECT_EQ(settings.proxyPort, 1443);
        EXPECT_TRUE(log.has(log4cplus::INFO_LOG_LEVEL,
                            std::string("Trying to bind to interface: ") + bare));
    }
}

TEST(CommandLine, StreamsSwitchMatchesOnlyTheWholeArgument) {
    {
        LogCapture log;
        const ServerSettings settings = parse({"--enable-streams"});
        EXPECT_FALSE(settings.disableStreams);
        EXPECT_EQ(settings.interfaceName, "");
        EXPECT_TRUE(log.has(log4cplus::INFO_LOG_LEVEL,
                            "Enabling output to stdout. TambloServer won't work if started "
                            "from ssh."));
    }
    for (const char* lookalike : {"--enable-streams=x", "--enable-streams=", "--enable-stream"}) {
        const ServerSettings settings = parse({lookalike});
        EXPECT_TRUE(settings.disableStreams) << lookalike;
        EXPECT_EQ(settings.interfaceName, lookalike);
    }
}

TEST(CommandLine, PortValuesConvertLikeAtoiAndKeepTheLow16Bits) {
    EXPECT_EQ(parse({"--gc-port=abc"}).gcPort, 0);
    EXPECT_EQ(parse({"--ctrl-port=70000"}).ctrlPort, 4464);
    EXPECT_EQ(parse({"--proxy-port=65536"}).proxyPort, 0);
    EXPECT_EQ(parse({"--proxy-port=65535"}).proxyPort, 65535);
    EXPECT_EQ(parse({"--rest-port=12ab"}).restPort, 12);
    EXPECT_EQ(parse({"--rest-port=  42"}).restPort, 42);
    EXPECT_EQ(parse({"--rest-port=+42"}).restPort, 42);
    EXPECT_EQ(parse({"--gc-port=-1"}).gcPort, 65535);
    EXPECT_EQ(parse({"--gc-port=0x10"}).gcPort, 0);
    EXPECT_EQ(portValue(""), 0);
}

TEST(CommandLine, LaterArgumentsWin) {
    LogCapture log;
    const ServerSettings settings =
        parse({"eth0", "--gc-port=1", "--enable-streams", "wlan0", "--gc-port=2"});
    EXPECT_EQ(settings.interfaceName, "wlan0");
    EXPECT_EQ(settings.gcPort, 2);
    EXPECT_FALSE(settings.disableStreams);
    EXPECT_TRUE(log.has(log4cplus::INFO_LOG_LEVEL, "Trying to bind to interface: eth0"));
    EXPECT_TRUE(log.has(log4cplus::INFO_LOG_LEVEL, "Trying to bind to interface: wlan0"));
}

TEST(CommandLine, EveryInterfaceNameIsLoggedOnceInOrder) {
    LogCapture log;
    parse({"a", "b"});
    std::vector<std::string> messages;
    for (const auto& line : log.lines()) {
        messages.push_back(line.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"Trying to bind to interface: a",
                                                  "Trying to bind to interface: b"}));
}

// The options added beside the ports: every value lands in its own setting, a bad value is an
// error (never a silent default or an interface name), and a prefix without a value stays an
// interface name, as for the port options.
TEST(CommandLine, AddedOptionsTakeTheirValuesOrStopTheStart) {
    const ServerSettings set =
        parse({"--max-gateways=7", "--max-gateways-per-address=3", "--key-agreements-per-second=9",
               "--max-workers=5", "--max-workers-per-address=2", "--request-head-timeout=3600",
               "--ctrl-address=127.0.0.1", "--recordings-dir=/tmp/./", "--worker-memory=256",
               "--worker-open-files=128", "--worker-user=tamblo-worker", "--client-targets=off",
               "--metrics-address=127.0.0.1:9466", "--log-config=/etc/tamblo/x.conf",
               "--max-waiting-connections=5", "--max-control-connections=3",
               "--control-idle-timeout=86400"});
    EXPECT_EQ(set.maxGateways, 7u);
    EXPECT_EQ(set.maxGatewaysPerAddress, 3u);
    EXPECT_EQ(set.keyAgreementsPerSecond, 9u);
    EXPECT_EQ(set.maxWorkers, 5u);
    EXPECT_EQ(set.maxWorkersPerAddress, 2u);
    EXPECT_EQ(set.requestHeadTimeout, 3600u);
    EXPECT_EQ(set.maxWaitingConnections, 5u);
    EXPECT_EQ(set.maxControlConnections, 3u);
    EXPECT_EQ(set.controlIdleTimeout, 86400u);
    EXPECT_EQ(set.ctrlAddress, "127.0.0.1");
    EXPECT_EQ(set.recordingsDir, "/tmp");  // canonical: later checks compare resolved paths
    EXPECT_EQ(set.workerMemoryMiB, 256u);
    EXPECT_EQ(set.workerOpenFiles, 128u);
    EXPECT_EQ(set.workerUser, "tamblo-worker");
    EXPECT_FALSE(set.clientTargets);
    EXPECT_EQ(set.metricsAddress, "127.0.0.1:9466");
    EXPECT_EQ(set.logConfig, "/etc/tamblo/x.conf");
    EXPECT_EQ(set.interfaceName, "");
    EXPECT_TRUE(parse({"--client-targets=off", "--client-targets=on"}).clientTargets);

    for (const char* bad : {"--max-gateways=0",
                            "--max-workers=-1",
                            "--max-workers=12ab",
                            "--max-gateways=4294967296",
                            "--request-head-timeout=3601",
                            "--max-workers-per-address= 5",
                            "--ctrl-address=localhost",
                            "--ctrl-address=10.0.0.256",
                            "--ctrl-address=::1",
                            "--recordings-dir=/nonexistent/x",
                            "--recordings-dir=/etc/hostname",
                            "--client-targets=no",
                            "--client-targets=ON",
                            "--worker-user=a/b",
                            "--worker-user=a b",
                            "--worker-memory=8",
                            "--worker-open-files=8",
                            "--max-waiting-connections=1000001",
                            "--max-control-connections=0",
                            "--control-idle-timeout=86401"}) {
        EXPECT_THROW(parse({bad}), CommandLineError) << bad;
    }
    for (const char* bare : {"--max-workers=", "--metrics-address="}) {
        EXPECT_EQ(parse({bare}).interfaceName, bare);
    }
}

TEST(CommandLine, EarlyArgumentsFindHelpVersionAndTheLastLogConfig) {
    const struct {
        std::vector<std::string> arguments;
        bool help;
        bool version;
        const char* logConfig;
    } cases[] = {
        {{}, false, false, ""},
        {{"--gc-port=1", "--help"}, true, false, ""},
        {{"--version"}, false, true, ""},
        {{"--help=1", "--versions"}, false, false, ""},
        {{"--log-config=a", "--log-config=b"}, false, false, "b"},
        {{"--log-config="}, false, false, ""},
    };
    for (const auto& c : cases) {
        const EarlyArguments early = scanEarlyArguments(c.arguments);
        EXPECT_EQ(early.help, c.help);
        EXPECT_EQ(early.version, c.version);
        EXPECT_EQ(early.logConfig, c.logConfig);
    }
}

}  // namespace

TEST(CommandLine, PeerAddressIsAnIpv4AddressAndAPort) {
    const std::vector<std::string> directory = {"--directory=host=/run", "--server-id=a"};
    const struct {
        const char* address;
        bool accepted;
    } cases[] = {
        {"10.0.0.1:1", true},      {"192.0.2.7:65535", true}, {"10.0.0.1", false},
        {"10.0.0.1:", false},      {":80", false},            {"10.0.0.1:0", false},
        {"10.0.0.1:65536", false}, {"10.0.0.1:8a", false},    {"10.0.0.1:+80", false},
        {"peer.example:80", false}, {"10.0.0.256:80", false}, {"10.0.0.1:0000080", false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = directory;
        args.push_back(std::string("--peer-address=") + c.address);
        if (c.accepted) {
            EXPECT_EQ(parse(args).peerAddress, c.address);
        } else {
            EXPECT_THROW(parse(args), CommandLineError) << c.address;
        }
    }
}
