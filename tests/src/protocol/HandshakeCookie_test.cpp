// mac1, mac2 and cookie replies: which messages each side takes, as time passes.
#include "protocol/HandshakeCookie.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "protocol/GatewayDatagramV2.h"

namespace {

using namespace std::chrono_literals;
using gateway_v2::CookieChecker;
using gateway_v2::CookieGenerator;
using gateway_v2::Instant;
namespace v2 = gateway_datagram_v2;

sockaddr_in source(uint16_t port, const char* ip = "192.0.2.7") {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

struct Case {
    const char* name;
    bool replyAnswered;                 // the gateway received a cookie reply before sending again
    std::chrono::seconds gatewayWaits;  // between the reply and the second initiation
    std::chrono::seconds serverLater;   // the server checks this long after the reply
    sockaddr_in checkedFrom;
    bool mac2Valid;
};

const Case kCases[] = {
    {"no cookie: mac2 is zero", false, 0s, 0s, source(4000), false},
    {"cookie from the same source", true, 1s, 1s, source(4000), true},
    {"another port", true, 1s, 1s, source(4001), false},
    {"another address", true, 1s, 1s, source(4000, "192.0.2.8"), false},
    {"the gateway's cookie expired", true, 120s, 1s, source(4000), false},
    {"the server's secret rotated", true, 1s, 121s, source(4000), false},
};

class CookieTest : public ::testing::TestWithParam<Case> {};

TEST_P(CookieTest, Mac2) {
    const Case& c = GetParam();
    const auto server = noise::generateKeyPair();
    ASSERT_TRUE(server);
    CookieChecker checker(server->publicKey);
    CookieGenerator generator(server->publicKey);
    const Instant start{};
    std::vector<uint8_t> message(v2::kInitiationMinSize, 0x42);
    generator.addMacs(message.data(), message.size(), start);
    ASSERT_TRUE(checker.checkMac1(message.data(), message.size()));
    if (c.replyAnswered) {
        uint8_t reply[v2::kCookieReplySize];
        ASSERT_TRUE(
            checker.makeReply(message.data(), message.size(), 7, source(4000), start, reply));
        ASSERT_TRUE(generator.consumeReply(reply, sizeof reply, start));
        message[20] ^= 1;  // the next initiation differs
        generator.addMacs(message.data(), message.size(), start + c.gatewayWaits);
    }
    EXPECT_EQ(
        checker.checkMac2(message.data(), message.size(), c.checkedFrom, start + c.serverLater),
        c.mac2Valid);
}

INSTANTIATE_TEST_SUITE_P(Sources, CookieTest, ::testing::ValuesIn(kCases));

TEST(CookieTest, AReplyOpensOnlyForTheInitiationItAnswers) {
    const auto server = noise::generateKeyPair();
    CookieChecker checker(server->publicKey);
    CookieGenerator generator(server->publicKey);
    std::vector<uint8_t> first(v2::kInitiationMinSize, 1);
    std::vector<uint8_t> second(v2::kInitiationMinSize, 2);
    uint8_t reply[v2::kCookieReplySize];
    EXPECT_FALSE(generator.consumeReply(reply, sizeof reply, Instant{}));  // nothing sent yet
    generator.addMacs(first.data(), first.size(), Instant{});
    ASSERT_TRUE(checker.makeReply(first.data(), first.size(), 1, source(1), Instant{}, reply));
    generator.addMacs(second.data(), second.size(), Instant{});
    EXPECT_FALSE(generator.consumeReply(reply, sizeof reply, Instant{}));
    ASSERT_TRUE(checker.makeReply(second.data(), second.size(), 1, source(1), Instant{}, reply));
    reply[30] ^= 1;
    EXPECT_FALSE(generator.consumeReply(reply, sizeof reply, Instant{}));
    reply[30] ^= 1;
    EXPECT_TRUE(generator.consumeReply(reply, sizeof reply, Instant{}));
}

}  // namespace
