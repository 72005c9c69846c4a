// The key files: what each parser takes, and the line and reason of what it refuses.
#include "server/GatewayKeys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

using gateway_keys::ParseError;

const std::string kA = "7c3lcGWFm+7PEiID51D0tIL655ri7R/Z0NTbDjREMBk=";
const std::string kB = "+jGOKmpAJAqmT31PDjN00LBBAxfQICFkOMpoAFqqv4Y=";
const std::string kZero = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

struct Case {
    const char* name;
    bool serverKey;  // parsed as --server-key, else as --gateway-keys
    std::string text;
    size_t entries;  // gateway keys accepted (when no error is expected)
    size_t errorLine;
    const char* reason;  // empty: accepted
};

const Case kCases[] = {
    {"server key", true, "# server\n\n" + kA + "\n", 0, 0, ""},
    {"server key without newline, with CR", true, kA + "\r", 0, 0, ""},
    {"server key missing", true, "# nothing\n", 0, 0, "no key"},
    {"two server keys", true, kA + "\n" + kB + "\n", 0, 2, "a second key (the first is on line 1)"},
    {"server key not base64", true, "not-a-key\n", 0, 1, "not the base64 of a 32-byte key"},
    {"server key not canonical", true, kA.substr(0, 42) + "l=\n", 0, 1, "not the base64"},
    {"gateways", false, "# id key\n00:1A:2B:3C:4D:5E " + kA + "\n\n  cam-7\t" + kB + "  \n", 2, 0,
     ""},
    {"gateway without key", false, "gw-1\n", 0, 1, "expected an id and a base64 public key"},
    {"gateway with three fields", false, "gw-1 " + kA + " x\n", 0, 1, "expected an id"},
    {"gateway key too short", false, "gw-1 " + kA.substr(4) + "\n", 0, 1,
     "the key is not the base64 of 32 bytes"},
    {"gateway key all zero", false, "gw-1 " + kZero + "\n", 0, 1, "the key is all zero"},
    {"duplicate id", false, "gw-1 " + kA + "\n#\ngw-1 " + kB + "\n", 0, 3,
     "duplicate id \"gw-1\" (first on line 1)"},
    {"duplicate key", false, "gw-1 " + kA + "\ngw-2 " + kA + "\n", 0, 2,
     "duplicate key (first on line 1, id \"gw-1\")"},
    {"id too long", false, std::string(256, 'x') + " " + kA + "\n", 0, 1, "id longer than 255"},
};

class KeyFileTest : public ::testing::TestWithParam<Case> {};

TEST_P(KeyFileTest, Parses) {
    const Case& c = GetParam();
    ParseError error;
    bool accepted = false;
    if (c.serverKey) {
        accepted = gateway_keys::parseServerKey(c.text, &error).has_value();
    } else {
        auto table = gateway_keys::parseGatewayKeys(c.text, &error);
        accepted = table.has_value();
        if (table) {
            EXPECT_EQ(table->size(), c.entries);
        }
    }
    ASSERT_EQ(accepted, std::string(c.reason).empty()) << error.reason;
    if (!accepted) {
        EXPECT_EQ(error.line, c.errorLine);
        EXPECT_EQ(error.reason.rfind(c.reason, 0), 0u) << error.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, KeyFileTest, ::testing::ValuesIn(kCases));

TEST(KeyFileTest, TableAnswersBothWays) {
    ParseError error;
    auto table = gateway_keys::parseGatewayKeys("gw-1 " + kA + "\ngw-2 " + kB + "\n", &error);
    ASSERT_TRUE(table);
    noise::PublicKey key;
    ASSERT_TRUE(gateway_keys::decodeBase64Key(kB, key.data()));
    EXPECT_EQ(*table->keyOf("gw-2"), key);
    EXPECT_EQ(*table->idOf(key), "gw-2");
    EXPECT_EQ(table->keyOf("gw-3"), nullptr);
    EXPECT_EQ(gateway_keys::encodeBase64Key(key.data()), kB);
}

TEST(KeyFileTest, ServerKeyFileMustBeClosedToOthers) {
    char path[] = "/tmp/tamblo-key-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kA.data(), kA.size()), static_cast<ssize_t>(kA.size()));
    close(fd);
    std::string error;
    for (const auto& [mode, accepted] :
         {std::pair{0600, true}, {0640, true}, {0644, false}, {0602, false}}) {
        ASSERT_EQ(chmod(path, static_cast<mode_t>(mode)), 0);
        EXPECT_EQ(gateway_keys::loadServerKey(path, &error).has_value(), accepted) << mode;
    }
    EXPECT_NE(error.find("accessible to others (mode 0602)"), std::string::npos) << error;
    unlink(path);
    EXPECT_FALSE(gateway_keys::loadServerKey(path, &error));
    EXPECT_EQ(error, std::string(path) + ": No such file or directory");
}

}  // namespace
