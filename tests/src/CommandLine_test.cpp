// Unit tests of the command line: option prefixes that need a value, the exact streams
// switch, atoi-like port values kept to 16 bits, the last word winning, and what is logged.
#include "CommandLine.h"

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

}  // namespace

namespace {

TEST(CommandLine, LimitOptionsTakeWholeNumbersInTheirRange) {
    const ServerSettings defaults = parse({});
    EXPECT_EQ(defaults.maxGateways, 100000u);
    EXPECT_EQ(defaults.maxGatewaysPerAddress, 1024u);
    EXPECT_EQ(defaults.maxWorkers, 4096u);
    EXPECT_EQ(defaults.maxWorkersPerAddress, 64u);
    EXPECT_EQ(defaults.requestHeadTimeout, 10u);

    const ServerSettings set =
        parse({"--max-gateways=7", "--max-gateways-per-address=3", "--key-agreements-per-second=9",
               "--max-workers=5", "--max-workers-per-address=2", "--request-head-timeout=3600"});
    EXPECT_EQ(set.maxGateways, 7u);
    EXPECT_EQ(set.maxGatewaysPerAddress, 3u);
    EXPECT_EQ(set.keyAgreementsPerSecond, 9u);
    EXPECT_EQ(set.maxWorkers, 5u);
    EXPECT_EQ(set.maxWorkersPerAddress, 2u);
    EXPECT_EQ(set.requestHeadTimeout, 3600u);
    EXPECT_EQ(set.interfaceName, "");

    // A bad value is an error, never a silent default or an interface name.
    for (const char* bad :
         {"--max-gateways=0", "--max-workers=-1", "--max-workers=12ab", "--max-gateways=4294967296",
          "--request-head-timeout=3601", "--max-workers-per-address= 5"}) {
        EXPECT_THROW(parse({bad}), CommandLineError) << bad;
    }
    // Without a value the prefix stays an interface name, as for the port options.
    EXPECT_EQ(parse({"--max-workers="}).interfaceName, "--max-workers=");
}

TEST(CommandLine, RecordingOptionsTakeAnAddressAndAnExistingDirectory) {
    const ServerSettings defaults = parse({});
    EXPECT_EQ(defaults.ctrlAddress, "");
    EXPECT_EQ(defaults.recordingsDir, "");

    // The directory is kept canonical: later checks compare resolved paths with it.
    const ServerSettings set = parse({"--ctrl-address=127.0.0.1", "--recordings-dir=/tmp/./"});
    EXPECT_EQ(set.ctrlAddress, "127.0.0.1");
    EXPECT_EQ(set.recordingsDir, "/tmp");
    EXPECT_EQ(set.interfaceName, "");

    for (const char* bad :
         {"--ctrl-address=localhost", "--ctrl-address=10.0.0.256", "--ctrl-address=::1",
          "--recordings-dir=/nonexistent/recordings", "--recordings-dir=/etc/hostname"}) {
        EXPECT_THROW(parse({bad}), CommandLineError) << bad;
    }
}

}  // namespace

// The usage text is made from the option tables: every row appears with its default, so an
// option added as a row is documented without further work.
TEST(CommandLineUsage, ListsEveryOptionOfEveryTableWithItsDefault) {
    const std::string usage = usageText("TambloServer");
    const ServerSettings defaults;
    for (const PortOption& option : portOptions()) {
        EXPECT_NE(usage.find(std::string(option.prefix) + "PORT"), std::string::npos);
        EXPECT_NE(usage.find("(default " + std::to_string(defaults.*option.field) + ")"),
                  std::string::npos)
            << option.prefix;
    }
    for (const LimitOption& option : limitOptions()) {
        EXPECT_NE(usage.find(std::string(option.prefix) + "N"), std::string::npos);
        EXPECT_NE(usage.find("(default " + std::to_string(defaults.*option.field) + ", "),
                  std::string::npos)
            << option.prefix;
    }
    for (const TextOption& option : textOptions()) {
        EXPECT_NE(usage.find(std::string(option.prefix) + option.valueName), std::string::npos);
    }
    for (const SwitchOption& option : switchOptions()) {
        EXPECT_NE(usage.find(option.name), std::string::npos);
    }
    for (const char* text : {"--help", "--version", "TambloServer_log.conf", "SIGHUP"}) {
        EXPECT_NE(usage.find(text), std::string::npos) << text;
    }
}

TEST(CommandLineUsage, TextOptionsAreNotInterfaceNames) {
    const ServerSettings settings =
        parse({"--metrics-address=127.0.0.1:9466", "--log-config=/etc/tamblo/x.conf", "eth0"});
    EXPECT_EQ(settings.metricsAddress, "127.0.0.1:9466");
    EXPECT_EQ(settings.logConfig, "/etc/tamblo/x.conf");
    EXPECT_EQ(settings.interfaceName, "eth0");
    // Without a value a text option stays what it always was: an interface name.
    EXPECT_EQ(parse({"--metrics-address="}).interfaceName, "--metrics-address=");
}

TEST(CommandLineUsage, EarlyArgumentsFindHelpVersionAndTheLastLogConfig) {
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
namespace {

TEST(CommandLine, WorkerAndClientTargetOptions) {
    const ServerSettings defaults = parse({});
    EXPECT_EQ(defaults.workerMemoryMiB, 64u);
    EXPECT_EQ(defaults.workerOpenFiles, 64u);
    EXPECT_EQ(defaults.workerUser, "nobody");
    EXPECT_TRUE(defaults.clientTargets);

    const ServerSettings set = parse({"--worker-memory=256", "--worker-open-files=128",
                                      "--worker-user=tamblo-worker", "--client-targets=off"});
    EXPECT_EQ(set.workerMemoryMiB, 256u);
    EXPECT_EQ(set.workerOpenFiles, 128u);
    EXPECT_EQ(set.workerUser, "tamblo-worker");
    EXPECT_FALSE(set.clientTargets);
    EXPECT_TRUE(parse({"--client-targets=off", "--client-targets=on"}).clientTargets);

    for (const char* bad : {"--client-targets=no", "--client-targets=ON", "--worker-user=a/b",
                            "--worker-user=a b", "--worker-memory=8", "--worker-open-files=8"}) {
        EXPECT_THROW(parse({bad}), CommandLineError) << bad;
    }
    // Every text option has a value form and a line for the usage text.
    for (const TextOption& option : textOptions()) {
        EXPECT_NE(std::string(option.valueName), "");
        EXPECT_NE(std::string(option.description), "");
    }
}

}  // namespace
