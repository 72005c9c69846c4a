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
Result parse(const std::string& answer, bool device) {
    Result r;
    r.ok = parseConfiguration(answer.c_str(), "7", device, &r.serial, &r.address, &r.port);
    return r;
}
}  // namespace

TEST(RestPath, DeviceOrGateway) {
    EXPECT_EQ(restPath("7", "12"), "/hm/ld/12");
    EXPECT_EQ(restPath("7", ""), "/hm/gc/7");
}

TEST(ParseConfiguration, GatewayLookupNeedsStatusOkAndAGatewayObject) {
    const Result ok = parse(
        "HTTP/1.1 200 OK\r\n\r\n{\"status\":\"OK\",\"gatewayClient\":{\"serialNumber\":\"AB\"}}",
        false);
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.serial, "AB");
    EXPECT_EQ(ok.address, "unchanged");  // a gateway lookup leaves the device alone

    EXPECT_FALSE(parse("{\"status\":\"ok\",\"gatewayClient\":{}}", false).ok);  // case matters
    EXPECT_FALSE(parse("{\"gatewayClient\":{}}", false).ok);  // status defaults to "not found"
    EXPECT_FALSE(parse("{\"status\":\"OK\"}", false).ok);
    EXPECT_FALSE(parse("{\"status\":\"OK\",\"gatewayClient\":[]}", false).ok);
    // An HTTP error status with a good body is accepted.
    EXPECT_TRUE(
        parse("HTTP/1.1 500 Oops\r\n\r\n{\"status\":\"OK\",\"gatewayClient\":{}}", false).ok);
}

TEST(ParseConfiguration, DeviceLookupTakesAddressAndPortWithDefaults) {
    const Result full = parse(
        "{\"ipAddress\":\"198.18.0.10\",\"port\":8080,"
        "\"gatewayClient\":{\"serialNumber\":\"X\"}}",
        true);
    EXPECT_TRUE(full.ok);
    EXPECT_EQ(full.address, "198.18.0.10");
    EXPECT_EQ(full.port, 8080);
    // "status" is not looked at; missing fields take their defaults.
    const Result defaults = parse("{\"status\":\"bad\",\"gatewayClient\":{}}", true);
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
