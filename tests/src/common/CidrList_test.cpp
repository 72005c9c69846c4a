// The network list of --peer-networks: what it takes (with its canonical form), what it
// refuses and why, and which addresses it contains.
#include "common/CidrList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    const char* text;
    const char* canonical;  // nullptr: refused
    const char* error;      // a part of the refusal's text
};

const ParseCase kParseCases[] = {
    {"10.0.0.0/8", "10.0.0.0/8", ""},
    {"192.0.2.7", "192.0.2.7/32", ""},
    {" 10.1.0.0/16 , 192.0.2.0/24", "10.1.0.0/16,192.0.2.0/24", ""},
    {"0.0.0.0/0", "0.0.0.0/0", ""},
    {"", nullptr, "no network given"},
    {"10.0.0.0/33", nullptr, "\"10.0.0.0/33\": the prefix length must be a number from 0 to 32"},
    {"10.0.0.0/", nullptr, "prefix length"},
    {"10.0.0.0/-1", nullptr, "prefix length"},
    {"10.0.0.0/008", nullptr, "prefix length"},
    {"10.0.0.1/24", nullptr, "host bits are set beyond the prefix (the network is 10.0.0.0/24)"},
    {"10.0.0/8", nullptr, "\"10.0.0\" is not a dotted IPv4 address"},
    {"::1/128", nullptr, "not a dotted IPv4 address"},
    {"10.0.0.0/8,", nullptr, "empty item"},
    {"10.0.0.0/8,,192.0.2.0/24", nullptr, "empty item"},
};

TEST(CidrList, ParsesOrSaysWhy) {
    for (const ParseCase& c : kParseCases) {
        std::string error;
        const std::optional<CidrList> list = CidrList::parse(c.text, &error);
        if (c.canonical != nullptr) {
            ASSERT_TRUE(list.has_value()) << c.text << ": " << error;
            EXPECT_EQ(c.canonical, list->toString());
        } else {
            EXPECT_FALSE(list.has_value()) << c.text;
            EXPECT_NE(std::string::npos, error.find(c.error)) << c.text << ": " << error;
        }
    }
}

struct MatchCase {
    const char* list;
    const char* address;
    bool contained;
};

const MatchCase kMatchCases[] = {
    {"10.0.0.0/8", "10.255.1.2", true},
    {"10.0.0.0/8", "11.0.0.0", false},
    {"192.0.2.7", "192.0.2.7", true},
    {"192.0.2.7", "192.0.2.8", false},
    {"0.0.0.0/0", "203.0.113.9", true},
    {"10.0.0.0/31", "10.0.0.1", true},
    {"10.0.0.0/31", "10.0.0.2", false},
    {"10.0.0.0/8,192.0.2.0/24", "192.0.2.200", true},
    {"10.0.0.0/8,192.0.2.0/24", "192.0.3.1", false},
};

TEST(CidrList, Contains) {
    for (const MatchCase& c : kMatchCases) {
        const std::optional<CidrList> list = CidrList::parse(c.list);
        ASSERT_TRUE(list.has_value()) << c.list;
        in_addr address{};
        ASSERT_EQ(1, inet_pton(AF_INET, c.address, &address));
        EXPECT_EQ(c.contained, list->contains(address)) << c.list << " " << c.address;
    }
}

}  // namespace
