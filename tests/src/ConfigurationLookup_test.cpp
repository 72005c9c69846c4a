// The parent's lookup at the configuration service: the answers it takes, and the exchange
// on its loop against a scripted service.
#include "ConfigurationLookup.h"

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

TEST(LookupRequest, IdsAsTheServiceIsAskedForThem) {
    const struct {
        TargetKind target;
        uint32_t ldId;
        const char* path;
    } cases[] = {
        {TargetKind::Device, 12, "/hm/ld/12"},
        {TargetKind::Gateway, 0, "/hm/gc/7"},
        {TargetKind::DeviceNotAboveZero, 1, "/hm/ld/-1"},
        {TargetKind::DeviceNotAboveZero, 0, "/hm/ld/0"},
    };
    for (const auto& c : cases) {
        CachedSessionQuery query;
        query.gcId = 7;
        query.ldId = c.ldId;
        query.target = c.target;
        const LookupRequest request = lookupRequestFor(query);
        EXPECT_EQ(restPath(request.gcId.c_str(), request.ldId.c_str()), c.path);
    }
}

namespace {
using Outcome = ConfigurationLookup::Outcome;
using tamblo_test::FakeConfigurationService;

struct Exchange {
    bool done = false;
    Outcome outcome = Outcome::Failed;
    ConfigurationLookup::Configuration found;
};

// Runs the default loop until the condition holds or the time is up; a short repeating timer
// keeps each pass from waiting longer than that.
template <typename Condition>
void runUntil(Condition condition, double seconds = 5) {
    EvTimer tick;
    ev_timer_init(
        tick.get(), [](struct ev_loop*, ev_timer*, int) {}, 0.01, 0.01);
    tick.start(loop);
    const double end = ev_time() + seconds;
    while (!condition() && ev_time() < end) {
        ev_run(loop, EVRUN_ONCE);
    }
}

uint16_t closedPort() {
    FakeConfigurationService gone;
    return gone.port();  // nothing listens there once it is destroyed
}

LookupRequest deviceRequest() {
    return LookupRequest{"7", "12", "abc"};
}
}  // namespace

// The exchange against a scripted service: what each answer, or no answer, comes to.
TEST(ConfigurationLookupExchange, EachAnswerComesToItsOutcome) {
    loop = ev_default_loop(0);
    const std::string device =
        "{\"ipAddress\":\"198.18.0.10\",\"port\":8080,\"gatewayClient\":{\"serialNumber\":\"M\"}}";
    const struct {
        const char* what;
        std::string answer;
        bool hold;
        bool listening;
        Outcome outcome;
        const char* warning;  // nullptr: none expected
    } cases[] = {
        {"found", std::string(kOk) + device, false, true, Outcome::Found, nullptr},
        {"a JSON answer padded past the cap",
         std::string(kOk) + device + std::string(ConfigurationLookup::kAnswerSize, ' '), false,
         true, Outcome::Found, nullptr},
        {"not 200", "HTTP/1.1 403 Forbidden\r\n\r\n" + device, false, true, Outcome::Refused,
         "REST answer is not HTTP status 200: HTTP/1.1 403 Forbidden"},
        {"cut short", std::string(kOk) + "{\"gatewayClient\": {\"ser", false, true,
         Outcome::Refused, "Malformed rest, could not find status field."},
        {"nothing listens", "", false, false, Outcome::Failed,
         "Could not connect to REST server, error: Connection refused"},
        {"no answer before the deadline", "", true, true, Outcome::Failed,
         "Could not send request to RESTServer due to error: Connection timed out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeConfigurationService service;
        service.answer = c.answer;
        service.hold = c.hold;
        const uint16_t port = c.listening ? service.port() : closedPort();
        gateway_test::LogCapture log;
        Exchange result;
        ConfigurationLookup lookup(
            loop, port, deviceRequest(),
            [&](Outcome outcome, const ConfigurationLookup::Configuration& f) {
                result = Exchange{true, outcome, f};
            },
            0.5);
        lookup.start();
        EXPECT_FALSE(result.done);  // never from inside start()
        runUntil([&] { return result.done; });
        ASSERT_TRUE(result.done);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(lookup.descriptor(), -1);
        if (c.outcome == Outcome::Found) {
            EXPECT_EQ(result.found.serial, "M");
            EXPECT_EQ(result.found.deviceAddress, "198.18.0.10");
            EXPECT_EQ(result.found.devicePort, 8080);
        }
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, c.warning));
        }
        if (c.outcome == Outcome::Failed) {
            EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, "Failed to retrieve: /hm/ld/12"));
        }
        if (c.listening) {
            ASSERT_EQ(service.requests.size(), 1u);
            EXPECT_EQ(
                service.requests[0],
                "GET /app/hm/ld/12 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(service.port()) +
                    "\r\nCookie: JSESSIONID=abc\r\nConnection: Close\r\n\r\n");
            EXPECT_EQ(log.countContaining(log4cplus::INFO_LOG_LEVEL,
                                          "Sending request: /app/hm/ld/12 with JESSIONID=#"),
                      1u);
        }
    }
}

TEST(ConfigurationLookupExchange, ACancelledLookupNeverAnswers) {
    loop = ev_default_loop(0);
    FakeConfigurationService service;
    service.hold = true;
    bool done = false;
    ConfigurationLookup lookup(
        loop, service.port(), deviceRequest(),
        [&](Outcome, const ConfigurationLookup::Configuration&) { done = true; }, 0.2);
    lookup.start();
    runUntil([&] { return !service.requests.empty(); });
    ASSERT_EQ(service.requests.size(), 1u);
    lookup.cancel();
    EXPECT_FALSE(lookup.pending());
    EXPECT_EQ(lookup.descriptor(), -1);
    runUntil([] { return false; }, 0.4);  // past the deadline
    EXPECT_FALSE(done);
}
