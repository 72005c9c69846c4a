// Unit tests of the gateway's version 2 link against the server's own handshake: timestamps
// that grow between initiations written at once, a response that opens transport both ways,
// datagrams that must be dropped, and the renewal falling due.
#include "SealedLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "protocol/GatewayDatagramV2.h"
#include "server/GatewayHandshake.h"

namespace {

namespace v2 = gateway_datagram_v2;
using Clock = std::chrono::steady_clock;

struct Pair {
    noise::KeyPair gateway = *noise::generateKeyPair();
    noise::KeyPair server = *noise::generateKeyPair();
    SealedLink link{gateway, server.publicKey, {"02:00:5E:10:00:01", 0x0a000001, 40000, 41000, 0}};
};

// The server's reading of an initiation; its timestamp through *stamp.
bool serverReads(gateway_v2::ResponderHandshake& responder, const uint8_t* data, size_t length,
                 v2::Tai64n* stamp) {
    v2::HandshakeView view;
    if (v2::decodeInitiation(data, length, &view) != v2::DecodeStatus::Ok ||
        responder.readInitiation(view) != gateway_v2::ResponderHandshake::ReadStatus::Ok) {
        return false;
    }
    *stamp = responder.payload().timestamp;
    return true;
}

TEST(SealedLink, InitiationsWrittenAtOnceCarryGrowingTimestamps) {
    Pair pair;
    const auto now = Clock::now();
    v2::Tai64n previous;
    for (int i = 0; i < 4; ++i) {
        uint8_t initiation[v2::kInitiationMaxSize];
        const size_t length = pair.link.writeInitiation(initiation, now);
        ASSERT_GT(length, 0u);
        gateway_v2::ResponderHandshake responder(pair.server);
        v2::Tai64n stamp;
        ASSERT_TRUE(serverReads(responder, initiation, length, &stamp));
        EXPECT_EQ(responder.payload().id, "02:00:5E:10:00:01");
        if (i > 0) {
            EXPECT_TRUE(v2::tai64nAfter(stamp, previous)) << i;  // else taken for a replay
        }
        previous = stamp;
    }
}

TEST(SealedLink, AResponseOpensTransportBothWaysAndForgeriesAreDropped) {
    Pair pair;
    const auto now = Clock::now();
    uint8_t initiation[v2::kInitiationMaxSize];
    const size_t length = pair.link.writeInitiation(initiation, now);
    gateway_v2::ResponderHandshake responder(pair.server);
    v2::Tai64n stamp;
    ASSERT_TRUE(serverReads(responder, initiation, length, &stamp));
    uint8_t response[v2::kResponseMinSize];
    auto answer = responder.writeResponse(77, now, response);
    ASSERT_TRUE(answer);
    uint8_t* inner = nullptr;
    size_t innerLength = 0;
    EXPECT_EQ(pair.link.receive(response, answer->length, now, &inner, &innerLength),
              SealedLink::Received::Established);
    // A response replayed is no second session.
    EXPECT_EQ(pair.link.receive(response, answer->length, now, &inner, &innerLength),
              SealedLink::Received::Dropped);

    const uint8_t keepalive[] = {18, 'g', 'w'};
    std::vector<uint8_t> up(sizeof keepalive + v2::kTransportOverhead);
    ASSERT_EQ(pair.link.seal(keepalive, sizeof keepalive, up.data(), now), up.size());
    v2::TransportView view;
    ASSERT_EQ(v2::decodeTransport(up.data(), up.size(), &view), v2::DecodeStatus::Ok);
    uint8_t opened[64];
    size_t openedLength = 0;
    ASSERT_EQ(answer->session.open(view, opened, &openedLength, now), gateway_v2::OpenStatus::Ok);
    EXPECT_EQ(openedLength, sizeof keepalive);

    const uint8_t answerBytes[] = {19};
    std::vector<uint8_t> down(sizeof answerBytes + v2::kTransportOverhead);
    ASSERT_TRUE(answer->session.seal(noise::ByteView{answerBytes, 1}, down.data(), now));
    std::vector<uint8_t> tampered = down;
    tampered.back() ^= 1;
    std::vector<uint8_t> replayed = down;
    const uint8_t plain[] = {255, 198, 18, 0, 10, 0};
    std::vector<uint8_t> plainCopy(plain, plain + sizeof plain);

    EXPECT_EQ(pair.link.receive(tampered.data(), tampered.size(), now, &inner, &innerLength),
              SealedLink::Received::Dropped);
    ASSERT_EQ(pair.link.receive(down.data(), down.size(), now, &inner, &innerLength),
              SealedLink::Received::Inner);
    EXPECT_EQ(innerLength, 1u);
    EXPECT_EQ(inner[0], 19);
    EXPECT_EQ(pair.link.receive(replayed.data(), replayed.size(), now, &inner, &innerLength),
              SealedLink::Received::Dropped);
    EXPECT_EQ(pair.link.receive(plainCopy.data(), plainCopy.size(), now, &inner, &innerLength),
              SealedLink::Received::Dropped);

    // New keys fall due once the session is two minutes old, not before.
    EXPECT_GT(pair.link.initiationDue(), now + std::chrono::seconds(100));
    EXPECT_LE(pair.link.initiationDue(), now + std::chrono::seconds(125));
    pair.link.forget();
    EXPECT_FALSE(pair.link.established());
    EXPECT_EQ(pair.link.seal(keepalive, sizeof keepalive, up.data(), now), 0u);
}

}  // namespace
