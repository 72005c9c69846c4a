// Unit tests of the metrics: the endpoint address, and exposition text that a Prometheus
// scraper accepts (every sample under a family with HELP and TYPE, labels quoted).
#include "server/Metrics.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "server/TambloServer.h"

namespace {

TEST(MetricsAddress, AcceptsDottedIpv4AndAPort) {
    const struct {
        const char* text;
        bool valid;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:9466", true, 9466},  {"0.0.0.0:0", true, 0},
        {"10.1.2.3:65535", true, 65535}, {"127.0.0.1:65536", false, 0},
        {"127.0.0.1:", false, 0},        {":9466", false, 0},
        {"127.0.0.1", false, 0},         {"localhost:9466", false, 0},
        {"127.0.0.1:94x6", false, 0},    {"127.0.0.1:000009466", false, 0},
        {"[::1]:9466", false, 0},
    };
    for (const auto& c : cases) {
        const std::optional<sockaddr_in> address = metrics::parseAddress(c.text);
        EXPECT_EQ(address.has_value(), c.valid) << c.text;
        if (address && c.valid) {
            EXPECT_EQ(ntohs(address->sin_port), c.port) << c.text;
        }
    }
}

TEST(MetricsExposition, EverySampleBelongsToADeclaredFamily) {
    ServerCounters counters;
    counters.registrationsAccepted = 3;
    counters.received.count(DatagramKind::Tunnel, 1400);
    counters.received.count(DatagramKind::Tunnel, 60);
    counters.workerExits.count(0);       // exit status 0
    counters.workerExits.count(1 << 8);  // exit status 1
    counters.workerExits.count(9);       // SIGKILL
    counters.workerMessagesRefused[static_cast<size_t>(WorkerRefusal::ForgedConfiguration)] = 1;
    ServerGauges gauges;
    gauges.gatewayClientsKeyed = 2;
    metrics::ProcessStats process;
    process.startTimeSeconds = 1765000000.25;
    const std::string text = metrics::renderExposition(counters, gauges, process);

    const std::regex help(R"(# HELP ([a-z_]+) .+)");
    const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge))");
    const std::regex sample(R"(([a-z_]+)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? ([0-9.e+]+))");
    std::set<std::string> families;
    std::set<std::string> samples;
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, help)) {
            EXPECT_TRUE(families.insert(match[1]).second) << "twice: " << line;
        } else if (std::regex_match(line, match, type)) {
            EXPECT_EQ(families.count(match[1]), 1u) << line;
        } else {
            ASSERT_TRUE(std::regex_match(line, match, sample)) << line;
            EXPECT_EQ(families.count(match[1]), 1u) << "undeclared: " << line;
            EXPECT_TRUE(samples.insert(std::string(match[1]) + std::string(match[2])).second)
                << "twice: " << line;
        }
    }
    for (const char* expected : {
             "tamblo_gateway_registrations_accepted_total 3",
             "tamblo_gateway_clients{kind=\"keyed\"} 2",
             "tamblo_gateway_datagrams_received_total{kind=\"tunnel\"} 2",
             "tamblo_gateway_bytes_received_total{kind=\"tunnel\"} 1460",
             "tamblo_worker_exits_total{status=\"0\"} 1",
             "tamblo_worker_exits_total{status=\"1\"} 1",
             "tamblo_worker_exits_total{signal=\"9\"} 1",
             "tamblo_worker_messages_refused_total{reason=\"forged_configuration\"} 1",
             "process_start_time_seconds 1765000000.25",
         }) {
        EXPECT_NE(text.find(std::string(expected) + "\n"), std::string::npos) << expected;
    }
}

TEST(MetricsExposition, ProcessStatsDescribeThisProcess) {
    const metrics::ProcessStats stats = metrics::readProcessStats();
    EXPECT_GT(stats.residentBytes, 1u << 20);
    EXPECT_GE(stats.virtualBytes, stats.residentBytes);
    EXPECT_GE(stats.openDescriptors, 3u);
    EXPECT_GE(stats.maxDescriptors, stats.openDescriptors);
    EXPECT_GT(stats.startTimeSeconds, 1.5e9);
    EXPECT_LE(stats.startTimeSeconds, static_cast<double>(::time(nullptr)) + 1);
}

}  // namespace
