// The parent's lookup at the configuration service: the answers it takes, and the exchange
// on its loop against a scripted service.
#include "server/ConfigurationLookup.h"

#include <gtest/gtest.h>

#include <string>

#include "FakeConfigurationService.h"
#include "GatewayTestSupport.h"

namespace {
struct Result {
    bool ok;
    std::string serial;
    std::string address = "unchanged";
    uint16_t port = 1;
};
constexpr const char* kOk = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";

// The body behind a 200 status line, as the configuration service sends it.
Result parse(const std::string& body, bool device) {
    Result r;
    const std::string answer = kOk + body;
    r.ok =
        parseConfiguration(answer.c_str(), "7", device ? "12" : "", &r.serial, &r.address, &r.port);
    return r;
}

Result parseRaw(const std::string& answer) {
    Result r;
    r.ok = parseConfiguration(answer.c_str(), "7", "12", &r.serial, &r.address, &r.port);
    return r;
}
}  // namespace

TEST(RestPath, DeviceOrGateway) {
    EXPECT_EQ(restPath("7", "12"), "/hm/ld/12");
    EXPECT_EQ(restPath("7", ""), "/hm/gc/7");
}

TEST(ParseConfiguration, GatewayLookupNeedsStatusOkAndAGatewayObject) {
    const Result ok =
        parse("{\"status\":\"OK\",\"gatewayClient\":{\"serialNumber\":\"AB\"}}", false);
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.serial, "AB");
    EXPECT_EQ(ok.address, "unchanged");  // a gateway lookup leaves the device alone

    EXPECT_FALSE(parse("{\"status\":\"ok\",\"gatewayClient\":{}}", false).ok);  // case matters
    EXPECT_FALSE(parse("{\"gatewayClient\":{}}", false).ok);  // status defaults to "not found"
    EXPECT_FALSE(parse("{\"status\":\"OK\"}", false).ok);
    EXPECT_FALSE(parse("{\"status\":\"OK\",\"gatewayClient\":[]}", false).ok);
}

TEST(ParseConfiguration, DeviceLookupTakesAddressAndPortWithDefaults) {
    const Result full = parse(
        "{\"ipAddress\":\"198.18.0.10\",\"port\":8080,"
        "\"gatewayClient\":{\"serialNumber\":\"X\"}}",
        true);
    EXPECT_TRUE(full.ok);
    EXPECT_EQ(full.address, "198.18.0.10");
    EXPECT_EQ(full.port, 8080);
    // "status" may be left out; missing fields take their defaults.
    const Result defaults = parse("{\"gatewayClient\":{}}", true);
    EXPECT_TRUE(defaults.ok);
    EXPECT_EQ(defaults.address, "127.0.0.1");
    EXPECT_EQ(defaults.port, 80);
    EXPECT_EQ(defaults.serial, "");
}

TEST(ParseConfiguration, MalformedAnswersFailWithoutThrowing) {
    EXPECT_FALSE(parse("no json at all", true).ok);
    EXPECT_FALSE(parse("{\"gatewayClient\": {", true).ok);
    EXPECT_FALSE(parse("{\"status\":7,\"gatewayClient\":{}}", false).ok);
    EXPECT_FALSE(parse("{\"gatewayClient\":{\"serialNumber\":12}}", true).ok);
    EXPECT_FALSE(parse("{\"ipAddress\":[1],\"gatewayClient\":{}}", true).ok);
    EXPECT_FALSE(parse("{\"port\":\"80\",\"gatewayClient\":{}}", true).ok);
    EXPECT_FALSE(parse("{\"port\":0,\"gatewayClient\":{}}", true).ok);
    EXPECT_FALSE(parse("{\"port\":65536,\"gatewayClient\":{}}", true).ok);
    EXPECT_FALSE(parse("{\"port\":80.5,\"gatewayClient\":{}}", true).ok);
    EXPECT_TRUE(parse("/* comment */ {\"port\":65535,\"gatewayClient\":{}}", true).ok);
}

// Answers an attacker or a broken service can produce: each one refuses the session.
TEST(ParseConfiguration, HostileAnswersFailClosed) {
    const std::string gateway = "{\"status\":\"OK\",\"gatewayClient\":{\"serialNumber\":\"X\"}}";
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const struct {
        const char* what;
        std::string answer;
    } cases[] = {
        {"403 with a gateway object", "HTTP/1.1 403 Forbidden\r\n\r\n" + gateway},
        {"500 with a gateway object", "HTTP/1.1 500 Oops\r\n\r\n" + gateway},
        {"JSON reflected into a header of a 404",
         "HTTP/1.1 404 Not Found\r\nX-Echo: " + gateway + "\r\n\r\nnot here"},
        {"JSON in a header of a 200 whose body has none",
         "HTTP/1.1 200 OK\r\nX-Echo: " + gateway + "\r\n\r\nnothing"},
        {"status 2000", "HTTP/1.1 2000 OK\r\n\r\n" + gateway},
        {"no status line", gateway},
        {"HTTP/2", "HTTP/2 200 OK\r\n\r\n" + gateway},
        {"no end of the header block", "HTTP/1.1 200 OK\r\nX: " + gateway},
        {"nesting past the depth limit", kOk + std::string("{\"a\":") + deep + "}"},
        {"device status not OK",
         kOk + std::string("{\"status\":\"DISABLED\",") + "\"gatewayClient\":{}}"},
        {"device address that is not IPv4",
         kOk + std::string("{\"ipAddress\":\"255.255.255.255x\",\"gatewayClient\":{}}")},
        {"device address as a name",
         kOk + std::string("{\"ipAddress\":\"camera.local\",\"gatewayClient\":{}}")},
        {"device address empty", kOk + std::string("{\"ipAddress\":\"\",\"gatewayClient\":{}}")},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parseRaw(c.answer).ok) << c.what;
    }
    // The same body behind 200 passes, and HTTP/1.0 with bare line feeds too.
    EXPECT_TRUE(parseRaw(kOk + gateway).ok);
    EXPECT_TRUE(parseRaw("HTTP/1.0 200 OK\n\n" + gateway).ok);
    EXPECT_TRUE(parseRaw(kOk + std::string("{\"status\":\"OK\",\"gatewayClient\":{}}")).ok);
}

// The exchange on the loop against a scripted service: the request as it is sent, an answer
// cut at the cap (its JSON ends past it), and no answer in time (the answers' rules are pinned
// above, the lookups' outcomes for a tunnel in Tunnel_test.cpp).
TEST(ConfigurationLookupExchange, TheAnswerIsCappedAndTheExchangeHasADeadline) {
    using Outcome = ConfigurationLookup::Outcome;
    loop = ev_default_loop(0);
    const std::string padded = std::string(kOk) +
                               "{\"gatewayClient\":{\"serialNumber\":\"M\"},\"pad\":\"" +
                               std::string(ConfigurationLookup::kAnswerSize, 'x') + "\"}";
    for (const bool answers : {true, false}) {
        tamblo_test::FakeConfigurationService service;
        service.answer = padded;
        service.hold = !answers;
        gateway_test::LogCapture log;
        bool done = false;
        Outcome outcome = Outcome::Found;
        ConfigurationLookup lookup(
            loop, service.port(), LookupRequest{"7", "12", "abc"},
            [&](Outcome o, const ConfigurationLookup::Configuration&) {
                done = true;
                outcome = o;
            },
            0.3);
        lookup.start();
        EXPECT_FALSE(done);  // never from inside start()
        EvTimer tick;        // no pass of the loop waits longer
        ev_timer_init(
            tick.get(), [](struct ev_loop*, ev_timer*, int) {}, 0.01, 0.01);
        tick.start(loop);
        for (const double end = ev_time() + 5; !done && ev_time() < end;) {
            ev_run(loop, EVRUN_ONCE);
        }
        ASSERT_TRUE(done);
        EXPECT_EQ(outcome, answers ? Outcome::Refused : Outcome::Failed);
        EXPECT_EQ(lookup.descriptor(), -1);
        EXPECT_EQ(
            log.has(log4cplus::WARN_LOG_LEVEL, "Malformed rest, could not find status field."),
            answers);
        EXPECT_EQ(log.has(log4cplus::WARN_LOG_LEVEL,
                          "Could not send request to RESTServer due to error: Connection timed "
                          "out"),
                  !answers);
        EXPECT_EQ(service.requests, std::vector<std::string>{
                                        "GET /app/hm/ld/12 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                        std::to_string(service.port()) +
                                        "\r\nCookie: JSESSIONID=abc\r\nConnection: Close\r\n\r\n"});
    }
}
