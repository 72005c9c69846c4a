// The PROXY protocol v2 header: the encoder's bytes, and the decoder's verdict on whole
// headers, on every prefix of one (more bytes needed, never a wrong verdict early) and on
// headers that are bad or not for use. Each input sits in a buffer of exactly its size, so
// the sanitizer build catches a read past it.
#include "protocol/ProxyHeader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace proxy_header;
using Bytes = std::vector<uint8_t>;

const Bytes kSig(std::begin(kSignature), std::end(kSignature));

Bytes header(uint8_t versionCommand, uint8_t family, const Bytes& block) {
    Bytes out = kSig;
    out.push_back(versionCommand);
    out.push_back(family);
    out.push_back(static_cast<uint8_t>(block.size() >> 8));
    out.push_back(static_cast<uint8_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

// 198.18.0.7:40001 -> 192.0.2.1:1443
const Bytes kInet = {198, 18, 0, 7, 192, 0, 2, 1, 0x9C, 0x41, 0x05, 0xA3};

Bytes plus(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The header as our servers send it, byte for byte.
TEST(ProxyHeader, EncodesProxyAndLocal) {
    Header proxy;
    inet_pton(AF_INET, "198.18.0.7", &proxy.source.sin_addr);
    proxy.source.sin_port = htons(40001);
    inet_pton(AF_INET, "192.0.2.1", &proxy.destination.sin_addr);
    proxy.destination.sin_port = htons(1443);
    uint8_t out[kInetHeaderSize];
    ASSERT_EQ(kInetHeaderSize, encode(proxy, out));
    EXPECT_EQ(header(0x21, 0x11, kInet), Bytes(out, out + kInetHeaderSize));
    Header local;
    local.local = true;
    ASSERT_EQ(kLocalHeaderSize, encode(local, out));
    EXPECT_EQ(header(0x20, 0x00, {}), Bytes(out, out + kLocalHeaderSize));
}

struct DecodeCase {
    const char* name;
    Bytes bytes;
    Status status;
    size_t consumed;  // Ok only
    bool local;
};

const DecodeCase kDecodeCases[] = {
    {"ProxyInetStream", plus(header(0x21, 0x11, kInet), {'G', 'E', 'T'}), Status::Ok, 28, false},
    {"Local", plus(header(0x20, 0x00, {}), {'G'}), Status::Ok, 16, true},
    {"LocalWithAddresses", header(0x20, 0x11, kInet), Status::Ok, 28, true},
    {"TlvsSkipped", header(0x21, 0x11, plus(kInet, {0x04, 0, 2, 'a', 'b', 0x03, 0, 0})), Status::Ok,
     36, false},
    {"TlvCutByLength", header(0x21, 0x11, plus(kInet, {0x04, 0, 3, 'a', 'b'})), Status::Malformed,
     0, false},
    {"TlvHeaderCut", header(0x21, 0x11, plus(kInet, {0x04, 0})), Status::Malformed, 0, false},
    {"AddressesCut", header(0x21, 0x11, Bytes(kInet.begin(), kInet.begin() + 8)), Status::Malformed,
     0, false},
    {"VersionOne", header(0x11, 0x11, kInet), Status::Malformed, 0, false},
    {"CommandTwo", header(0x22, 0x11, kInet), Status::Malformed, 0, false},
    {"FamilyFour", header(0x21, 0x41, kInet), Status::Malformed, 0, false},
    {"ProtocolThree", header(0x21, 0x13, kInet), Status::Malformed, 0, false},
    {"Inet6", header(0x21, 0x21, Bytes(36, 1)), Status::Unsupported, 0, false},
    {"Unix", header(0x21, 0x31, Bytes(216, 1)), Status::Unsupported, 0, false},
    {"InetDatagram", header(0x21, 0x12, kInet), Status::Unsupported, 0, false},
    {"ProxyUnspecified", header(0x21, 0x00, {}), Status::Unsupported, 0, false},
    {"TooLong", header(0x21, 0x11, Bytes(kMaxHeaderSize, 0)), Status::TooLong, 0, false},
    {"HttpRequest", Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H'}, Status::NotProxy, 0, false},
    {"VersionOneText", Bytes{'P', 'R', 'O', 'X', 'Y', ' ', 'T', 'C', 'P', '4'}, Status::NotProxy, 0,
     false},
    {"SignatureCutShort", Bytes{0x0D, 0x0A, 0x0D}, Status::NeedMore, 0, false},
    {"Empty", Bytes{}, Status::NeedMore, 0, false},
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

class ProxyHeaderDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(ProxyHeaderDecode, Verdict) {
    const DecodeCase& c = GetParam();
    Header decoded;
    size_t consumed = 0;
    const std::vector<uint8_t> exact(c.bytes);  // no byte to spare after the input
    ASSERT_EQ(c.status, decode(exact.data(), exact.size(), &decoded, &consumed));
    if (c.status != Status::Ok) {
        return;
    }
    EXPECT_EQ(c.consumed, consumed);
    EXPECT_EQ(c.local, decoded.local);
    if (!c.local) {
        EXPECT_EQ(htonl(0xC6120007), decoded.source.sin_addr.s_addr);
        EXPECT_EQ(htons(40001), decoded.source.sin_port);
        EXPECT_EQ(htonl(0xC0000201), decoded.destination.sin_addr.s_addr);
        EXPECT_EQ(htons(1443), decoded.destination.sin_port);
    }
    // Every shorter prefix of a good header asks for more, however it is cut.
    for (size_t length = 0; length < consumed; ++length) {
        const std::vector<uint8_t> prefix(exact.begin(), exact.begin() + length);
        EXPECT_EQ(Status::NeedMore, decode(prefix.data(), prefix.size(), &decoded, &consumed))
            << length;
    }
}

INSTANTIATE_TEST_SUITE_P(All, ProxyHeaderDecode, testing::ValuesIn(kDecodeCases),
                         [](const testing::TestParamInfo<DecodeCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
