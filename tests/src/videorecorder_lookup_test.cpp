// Reading the configuration service's answers.
#include "videorecorder_lookup.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(ValidId, OnlyDecimalNumbersReachTheConfigurationService) {
    const struct {
        const char* id;
        bool gateway;  // valid as a GC_ID
        bool device;   // valid as an LD_ID
    } cases[] = {
        {"7", true, true},
        {"0", true, true},
        {"4294967295", true, true},
        {"-1", false, true},
        {"4294967296", false, false},
        {"12345678901", false, false},
        {"", false, false},
        {"-", false, false},
        {"../ld/12", false, false},
        {"7?admin=1", false, false},
        {"7/../12", false, false},
        {"%37", false, false},
        {"7#", false, false},
        {" 7", false, false},
        {"+7", false, false},
        {"0x7", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validId(c.id, false), c.gateway) << c.id;
        EXPECT_EQ(validId(c.id, true), c.device) << c.id;
    }
    EXPECT_TRUE(validTarget("7", ""));
    EXPECT_TRUE(validTarget("7", "-1"));
    EXPECT_FALSE(validTarget("7", "1/2"));
    EXPECT_FALSE(validTarget("-7", "12"));
}
