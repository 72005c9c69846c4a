// The version 2 datagram codec: statuses of the decoders at the edges of each layout, the
// payload decoder's refusals, and the order of TAI64N timestamps. (The layouts themselves are
// checked against an independent encoder in test_noise_interop.)
#include "protocol/GatewayDatagramV2.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace v2 = gateway_datagram_v2;
using Bytes = std::vector<uint8_t>;
using v2::DecodeStatus;

enum class Kind { Initiation, Response, Cookie, Transport };

DecodeStatus decode(Kind kind, const Bytes& bytes) {
    v2::HandshakeView handshake;
    v2::CookieReplyView cookie;
    v2::TransportView transport;
    // The decoders get a copy of exactly the bytes that arrived, so that ASan sees overreads.
    const Bytes exact(bytes);
    switch (kind) {
        case Kind::Initiation:
            return v2::decodeInitiation(exact.data(), exact.size(), &handshake);
        case Kind::Response:
            return v2::decodeResponse(exact.data(), exact.size(), &handshake);
        case Kind::Cookie:
            return v2::decodeCookieReply(exact.data(), exact.size(), &cookie);
        case Kind::Transport:
            return v2::decodeTransport(exact.data(), exact.size(), &transport);
    }
    return DecodeStatus::WrongType;
}

struct Case {
    Kind kind;
    uint8_t type;
    size_t length;
    size_t reservedByte;  // 0: reserved bytes stay zero; 1..3: that one is set
    DecodeStatus expected;
};

const Case kCases[] = {
    {Kind::Initiation, 32, v2::kInitiationMinSize, 0, DecodeStatus::Ok},
    {Kind::Initiation, 32, v2::kInitiationMaxSize, 0, DecodeStatus::Ok},
    {Kind::Initiation, 32, v2::kInitiationMinSize - 1, 0, DecodeStatus::TooShort},
    {Kind::Initiation, 32, v2::kInitiationMaxSize + 1, 0, DecodeStatus::TooLong},
    {Kind::Initiation, 33, v2::kInitiationMinSize, 0, DecodeStatus::WrongType},
    {Kind::Initiation, 32, v2::kInitiationMinSize, 3, DecodeStatus::ReservedNotZero},
    {Kind::Response, 33, v2::kResponseMinSize, 0, DecodeStatus::Ok},
    {Kind::Response, 33, v2::kResponseMaxSize + 1, 0, DecodeStatus::TooLong},
    {Kind::Response, 33, v2::kResponseMinSize - 1, 0, DecodeStatus::TooShort},
    {Kind::Response, 33, v2::kResponseMinSize, 1, DecodeStatus::ReservedNotZero},
    {Kind::Cookie, 34, v2::kCookieReplySize, 0, DecodeStatus::Ok},
    {Kind::Cookie, 34, v2::kCookieReplySize - 1, 0, DecodeStatus::TooShort},
    {Kind::Cookie, 34, v2::kCookieReplySize + 1, 0, DecodeStatus::TooLong},
    {Kind::Transport, 35, v2::kTransportOverhead, 0, DecodeStatus::Ok},
    {Kind::Transport, 35, v2::kTransportMaxSize, 0, DecodeStatus::Ok},
    {Kind::Transport, 35, v2::kTransportOverhead - 1, 0, DecodeStatus::TooShort},
    {Kind::Transport, 35, v2::kTransportMaxSize + 1, 0, DecodeStatus::TooLong},
    {Kind::Transport, 255, v2::kTransportOverhead, 0, DecodeStatus::WrongType},
    {Kind::Transport, 35, v2::kTransportOverhead, 2, DecodeStatus::ReservedNotZero},
    {Kind::Transport, 35, 0, 0, DecodeStatus::WrongType},
};

class DatagramV2DecodeTest : public ::testing::TestWithParam<Case> {};

TEST_P(DatagramV2DecodeTest, Status) {
    const Case& c = GetParam();
    Bytes bytes(c.length, 0x5a);
    if (!bytes.empty()) {
        bytes[0] = c.type;
    }
    for (size_t i = 1; i <= 3 && i < bytes.size(); ++i) {
        bytes[i] = i == c.reservedByte ? 1 : 0;
    }
    EXPECT_EQ(decode(c.kind, bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DatagramV2DecodeTest, ::testing::ValuesIn(kCases));

struct PayloadCase {
    const char* name;
    size_t cut;     // bytes removed from the end (or 0)
    int idLength;   // the N byte written (-1: the id's own length)
    bool trailing;  // one byte added after the id
    v2::PayloadStatus expected;
};

const PayloadCase kPayloadCases[] = {
    {"whole", 0, -1, false, v2::PayloadStatus::Ok},
    {"cut before N", 13, -1, false, v2::PayloadStatus::TooShort},
    {"empty id", 0, 0, false, v2::PayloadStatus::IdEmpty},
    {"id runs past the end", 1, -1, false, v2::PayloadStatus::IdOverrun},
    {"bytes after the id", 0, -1, true, v2::PayloadStatus::TrailingBytes},
};

class InitiationPayloadTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(InitiationPayloadTest, Status) {
    const PayloadCase& c = GetParam();
    v2::InitiationPayload payload;
    payload.id = "gateway-12";
    uint8_t bytes[v2::kInitiationPayloadMaxSize + 1];
    size_t length = v2::encodeInitiationPayload(payload, bytes);
    ASSERT_EQ(length, v2::kPayloadIdOffset + 10);
    if (c.idLength >= 0) {
        bytes[v2::kPayloadIdLengthOffset] = static_cast<uint8_t>(c.idLength);
    }
    if (c.trailing) {
        bytes[length++] = 0;
    }
    const Bytes exact(bytes, bytes + length - c.cut);
    v2::InitiationPayload decoded;
    ASSERT_EQ(v2::decodeInitiationPayload(exact.data(), exact.size(), &decoded), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Payloads, InitiationPayloadTest, ::testing::ValuesIn(kPayloadCases));

TEST(DatagramV2Test, TimestampsGrowWithTimeButNotWithinTheWhitenedNanoseconds) {
    const auto stamp = [](time_t s, long ns) { return v2::tai64nFromTime({s, ns}); };
    EXPECT_TRUE(v2::tai64nAfter(stamp(101, 0), stamp(100, 999'999'999)));
    EXPECT_TRUE(v2::tai64nAfter(stamp(100, 1 << 24), stamp(100, (1 << 24) - 1)));
    EXPECT_FALSE(v2::tai64nAfter(stamp(100, (1 << 24) - 1), stamp(100, 0)));
    EXPECT_EQ(v2::encodeInitiationPayload({}, nullptr), 0u);  // an empty id is not encoded
}

}  // namespace
