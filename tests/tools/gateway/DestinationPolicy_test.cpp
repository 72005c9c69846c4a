// The destinations tamblo-gateway refuses and the operator's allowed prefixes.
#include "DestinationPolicy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using gateway_ip::DestinationPolicy;
using gateway_ip::parsePrefix;
using gateway_ip::Prefix;

namespace {
uint32_t address(const char* text) {
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, text, &parsed), 1) << text;
    return parsed.s_addr;
}
}  // namespace

TEST(DestinationPolicy, NeverLoopbackMulticastBroadcastOrOurOwn) {
    DestinationPolicy policy;
    policy.refuse(address("198.19.255.1"));  // the tool's --local-ip
    policy.refuse(address("198.18.0.255"));  // a network's broadcast address
    const struct {
        const char* destination;
        bool allowed;
    } cases[] = {
        {"198.18.0.10", true}, {"192.0.2.7", true},        {"127.0.0.1", false},
        {"127.8.9.10", false}, {"0.0.0.0", false},         {"0.1.2.3", false},
        {"224.0.0.1", false},  {"239.255.255.250", false}, {"255.255.255.255", false},
        {"240.0.0.1", false},  {"198.19.255.1", false},    {"198.18.0.255", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(policy.allows(address(c.destination)), c.allowed) << c.destination;
    }
}

TEST(DestinationPolicy, AllowedPrefixesRestrictDeliveries) {
    Prefix lan;
    Prefix host;
    ASSERT_TRUE(parsePrefix("198.18.0.0/24", &lan));
    ASSERT_TRUE(parsePrefix("192.0.2.9", &host));
    DestinationPolicy policy({lan, host});
    EXPECT_TRUE(policy.allows(address("198.18.0.10")));
    EXPECT_TRUE(policy.allows(address("192.0.2.9")));
    EXPECT_FALSE(policy.allows(address("198.18.1.10")));
    EXPECT_FALSE(policy.allows(address("192.0.2.10")));
    // An allowed prefix does not open what is always refused.
    Prefix everything;
    ASSERT_TRUE(parsePrefix("0.0.0.0/0", &everything));
    EXPECT_FALSE(DestinationPolicy({everything}).allows(address("127.0.0.1")));
}

TEST(DestinationPolicy, PrefixesAreParsedStrictly) {
    Prefix prefix;
    for (const char* bad : {"198.18.0.1/24", "198.18.0.0/33", "198.18.0.0/", "198.18.0/24",
                            "198.18.0.0/2x", "x", ""}) {
        EXPECT_FALSE(parsePrefix(bad, &prefix)) << bad;
    }
    ASSERT_TRUE(parsePrefix("10.0.0.0/8", &prefix));
    EXPECT_EQ(prefix.network, 0x0A000000u);
    EXPECT_EQ(prefix.mask, 0xFF000000u);
}
