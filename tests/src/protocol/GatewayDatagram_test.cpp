// Unit tests of the gateway datagram codec: the decoders never read past the bytes that
// arrived (each datagram ends at a page that cannot be read), their statuses at every
// length, the fields they decode, the MAC key text and the encoders.
#include "protocol/GatewayDatagram.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace gateway_datagram;
using Bytes = std::vector<uint8_t>;

// The content ends exactly where an inaccessible page begins: one byte too far faults.
class GuardedBytes {
  public:
    explicit GuardedBytes(const Bytes& content) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* region =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(region, MAP_FAILED);
        region_ = static_cast<uint8_t*>(region);
        EXPECT_EQ(0, mprotect(region_ + page_, page_, PROT_NONE));
        EXPECT_LE(content.size(), page_);
        data_ = region_ + page_ - content.size();
        if (!content.empty()) {
            std::memcpy(data_, content.data(), content.size());
        }
    }
    ~GuardedBytes() { munmap(region_, 2 * page_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const uint8_t* data() const { return data_; }

  private:
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
    uint8_t* data_ = nullptr;
};

const uint8_t kMac[kMacSize] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

// A registration of 61 bytes with the custom id length byte set to n; cut as needed.
Bytes registrationTemplate(uint8_t type, uint8_t n) {
    Bytes out = {type, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,  // MAC
                 10,   254,  0,    1,                       // local IP
                 0x4E, 0x20, 0x4E, 0x84,                    // ports 20000, 20100
                 2};                                        // gateway type
    for (uint8_t i = 0; i < kPublicKeySize; ++i) {
        out.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    out.push_back(n);
    while (out.size() < 61) {
        out.push_back(static_cast<uint8_t>('a' + out.size() % 26));
    }
    return out;
}

Bytes keepaliveTemplate(uint8_t n) {
    Bytes out = {TAMBLO_MT_KEEPALIVE, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, n};
    while (out.size() < 61) {
        out.push_back(static_cast<uint8_t>('a' + out.size() % 26));
    }
    return out;
}

Bytes prefix(const Bytes& whole, size_t length) {
    return Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
}

const uint8_t kCustomIdLengths[] = {0, 1, 5, 12, 255};

// ---------------------------------------------------------------------------------------
// Decoders at every length

TEST(GatewayDatagramBounds, RegistrationStatusAtEveryLength) {
    for (const bool withKey : {false, true}) {
        const size_t minimum = withKey ? kConnectTlsMinSize : kConnectMinSize;
        for (const uint8_t n : kCustomIdLengths) {
            const Bytes whole =
                registrationTemplate(withKey ? TAMBLO_MT_CONNECTTLS : TAMBLO_MT_CONNECT, n);
            for (size_t length = 0; length <= 60; ++length) {
                SCOPED_TRACE("withKey=" + std::to_string(withKey) + " n=" + std::to_string(n) +
                             " length=" + std::to_string(length));
                GuardedBytes datagram(prefix(whole, length));
                Registration reg;
                const ParseStatus status =
                    parseRegistration(datagram.data(), length, withKey, &reg);
                if (length < minimum) {
                    EXPECT_EQ(status, ParseStatus::TooShort);
                    continue;
                }
                EXPECT_EQ(reg.mac, datagram.data() + 1);
                EXPECT_EQ(reg.hasCustomIdLength, length > 48);
                if (length <= 48 || n == 0) {
                    EXPECT_EQ(status, ParseStatus::Ok);
                    EXPECT_TRUE(reg.customId.empty());
                    EXPECT_EQ(reg.customIdLength, length > 48 ? n : 0);
                } else if (length >= 49u + n) {
                    EXPECT_EQ(status, ParseStatus::Ok);
                    EXPECT_EQ(reg.customIdLength, n);
                    EXPECT_EQ(reg.customId,
                              std::string(reinterpret_cast<const char*>(whole.data() + 49), n));
                } else {
                    EXPECT_EQ(status, ParseStatus::CustomIdOverrun);
                    EXPECT_EQ(reg.customIdLength, n);
                }
            }
        }
    }
}

TEST(GatewayDatagramBounds, KeepaliveStatusAtEveryLength) {
    for (const uint8_t n : kCustomIdLengths) {
        const Bytes whole = keepaliveTemplate(n);
        for (size_t length = 0; length <= 60; ++length) {
            SCOPED_TRACE("n=" + std::to_string(n) + " length=" + std::to_string(length));
            GuardedBytes datagram(prefix(whole, length));
            Keepalive keepalive;
            const ParseStatus status = parseKeepalive(datagram.data(), length, &keepalive);
            if (length < kKeepaliveMinSize) {
                EXPECT_EQ(status, ParseStatus::TooShort);
                continue;
            }
            EXPECT_EQ(keepalive.mac, datagram.data() + 1);
            if (length == 7 || n == 0) {
                EXPECT_EQ(status, ParseStatus::Ok);
                EXPECT_TRUE(keepalive.customId.empty());
            } else if (length >= 8u + n) {
                EXPECT_EQ(status, ParseStatus::Ok);
                EXPECT_EQ(keepalive.customId,
                          std::string(reinterpret_cast<const char*>(whole.data() + 8), n));
            } else {
                EXPECT_EQ(status, ParseStatus::CustomIdOverrun);
            }
        }
    }
}

TEST(GatewayDatagramBounds, TunnelSegmentRouteAtEveryLength) {
    Bytes whole = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 0x00, 0x50, 0x9C, 0x40};
    while (whole.size() < 61) {
        whole.push_back(0xEE);
    }
    for (size_t length = 0; length <= 60; ++length) {
        SCOPED_TRACE("length=" + std::to_string(length));
        GuardedBytes datagram(prefix(whole, length));
        TunnelSegmentRoute route;
        const bool named = parseTunnelSegmentRoute(datagram.data(), length, &route);
        EXPECT_EQ(named, length >= 9);
        if (named) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &route.device, text, sizeof text);
            EXPECT_STREQ(text, "198.18.11.20");
            EXPECT_EQ(route.localPort, 40000);  // destination port, not the source port 80
        }
    }
}

// ---------------------------------------------------------------------------------------
// Fields

TEST(GatewayDatagramFields, RegistrationFieldsAreDecodedBigEndianAndLocalIpAsSent) {
    const Bytes whole = registrationTemplate(TAMBLO_MT_CONNECTTLS, 3);
    GuardedBytes datagram(prefix(whole, 52));
    Registration reg;
    ASSERT_EQ(parseRegistration(datagram.data(), 52, true, &reg), ParseStatus::Ok);
    EXPECT_TRUE(reg.withKey);
    EXPECT_EQ(0, std::memcmp(reg.mac, kMac, kMacSize));
    EXPECT_EQ(0, std::memcmp(&reg.localIP, whole.data() + 7, 4));  // byte order untouched
    EXPECT_EQ(reg.localPortStart, 20000);
    EXPECT_EQ(reg.localPortEnd, 20100);
    EXPECT_EQ(reg.type, 2);
    EXPECT_EQ(reg.publicKey, datagram.data() + 16);
    EXPECT_EQ(reg.customId, std::string(reinterpret_cast<const char*>(whole.data() + 49), 3));
}

TEST(GatewayDatagramFields, ConnectDoesNotTakeAPublicKey) {
    const Bytes whole = registrationTemplate(TAMBLO_MT_CONNECT, 0);
    GuardedBytes datagram(prefix(whole, 48));
    Registration reg;
    ASSERT_EQ(parseRegistration(datagram.data(), 48, false, &reg), ParseStatus::Ok);
    EXPECT_FALSE(reg.withKey);
    EXPECT_EQ(reg.publicKey, nullptr);
}

TEST(GatewayDatagramFields, TunnelRouteKeepsTheRawPortFieldForTracing) {
    const uint8_t datagram[] = {TAMBLO_MT_TCPOVERUDP, 198, 18, 0, 7, 0x13, 0x88, 0x01, 0x31};
    TunnelSegmentRoute route;
    ASSERT_TRUE(parseTunnelSegmentRoute(datagram, sizeof datagram, &route));
    EXPECT_EQ(route.localPort, 305);
    uint16_t raw;
    std::memcpy(&raw, datagram + 7, 2);
    EXPECT_EQ(route.rawPortField, raw);
    EXPECT_EQ(route.device.s_addr, htonl(0xC6120007));
}

// ---------------------------------------------------------------------------------------
// MAC key text

TEST(GatewayDatagramMacKey, TwoUpperCaseDigitsPerByteJoinedByColons) {
    const struct {
        uint8_t mac[6];
        const char* text;
    } cases[] = {
        {{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, "0A:0B:0C:0D:0E:0F"},
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00:1A:2B:3C:4D:5E"},
        {{0xFF, 0xab, 0xcd, 0xef, 0x90, 0x01}, "FF:AB:CD:EF:90:01"},
        {{0, 0, 0, 0, 0, 0}, "00:00:00:00:00:00"},
    };
    for (const auto& c : cases) {
        const MacKey key = formatMacKey(c.mac);
        EXPECT_EQ(std::string(key.view()), c.text);
        EXPECT_EQ(key.view().size(), 17u);
    }
}

// ---------------------------------------------------------------------------------------
// Encoders

TEST(GatewayDatagramEncoders, RegistrationLayoutAndRoundTrip) {
    uint8_t publicKey[kPublicKeySize];
    for (size_t i = 0; i < sizeof publicKey; ++i) {
        publicKey[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const std::string longId(300, 'z');
    for (const bool withKey : {false, true}) {
        for (const std::string& id : {std::string(), std::string("cam-7"), longId}) {
            SCOPED_TRACE("withKey=" + std::to_string(withKey) + " id=" + id.substr(0, 8));
            RegistrationFields fields;
            std::memcpy(fields.mac, kMac, kMacSize);
            const uint8_t localIp[4] = {198, 19, 0, 254};
            std::memcpy(&fields.localIP, localIp, 4);
            fields.localPortStart = 0x1234;
            fields.localPortEnd = 0x1300;
            fields.type = 16;
            fields.publicKey = withKey ? publicKey : nullptr;
            fields.customId = id;

            uint8_t out[kRegistrationMaxSize];
            const size_t length = encodeRegistration(fields, out);
            const size_t idLength = id.size() > 255 ? 255 : id.size();
            const size_t expected = id.empty() ? (withKey ? 48 : 16) : 49 + idLength;
            ASSERT_EQ(length, expected);
            EXPECT_EQ(out[0], withKey ? TAMBLO_MT_CONNECTTLS : TAMBLO_MT_CONNECT);
            EXPECT_EQ(out[11], 0x12);
            EXPECT_EQ(out[12], 0x34);
            EXPECT_EQ(out[13], 0x13);
            EXPECT_EQ(out[14], 0x00);
            EXPECT_EQ(0, std::memcmp(out + 7, localIp, 4));
            if (!withKey && !id.empty()) {
                EXPECT_EQ(Bytes(out + 16, out + 48), Bytes(32, 0));
            }

            Registration reg;
            ASSERT_EQ(parseRegistration(out, length, withKey, &reg), ParseStatus::Ok);
            EXPECT_EQ(0, std::memcmp(reg.mac, kMac, kMacSize));
            EXPECT_EQ(reg.localIP, fields.localIP);
            EXPECT_EQ(reg.localPortStart, 0x1234);
            EXPECT_EQ(reg.localPortEnd, 0x1300);
            EXPECT_EQ(reg.type, 16);
            EXPECT_EQ(reg.customId, id.substr(0, idLength));
            if (withKey) {
                EXPECT_EQ(0, std::memcmp(reg.publicKey, publicKey, kPublicKeySize));
            }
        }
    }
}

TEST(GatewayDatagramEncoders, KeepaliveLayoutAndRoundTrip) {
    for (const std::string& id : {std::string(), std::string("x"), std::string(300, 'k')}) {
        uint8_t out[kKeepaliveMaxSize];
        const size_t length = encodeKeepalive(kMac, id, out);
        const size_t idLength = id.size() > 255 ? 255 : id.size();
        ASSERT_EQ(length, id.empty() ? 7u : 8u + idLength);
        EXPECT_EQ(out[0], TAMBLO_MT_KEEPALIVE);
        Keepalive keepalive;
        ASSERT_EQ(parseKeepalive(out, length, &keepalive), ParseStatus::Ok);
        EXPECT_EQ(0, std::memcmp(keepalive.mac, kMac, kMacSize));
        EXPECT_EQ(keepalive.customId, id.substr(0, idLength));
    }
}

TEST(GatewayDatagramEncoders, AcceptTlsIsTheTypeAndTheServerKey) {
    uint8_t key[kPublicKeySize];
    for (size_t i = 0; i < sizeof key; ++i) {
        key[i] = static_cast<uint8_t>(255 - i);
    }
    uint8_t out[kAcceptTlsSize + 1];
    out[kAcceptTlsSize] = 0x5A;
    ASSERT_EQ(encodeAcceptTls(key, out), 33u);
    EXPECT_EQ(out[0], TAMBLO_MT_ACCEPTTLS);
    EXPECT_EQ(0, std::memcmp(out + 1, key, sizeof key));
    EXPECT_EQ(out[kAcceptTlsSize], 0x5A);  // nothing written past the answer
}

}  // namespace
