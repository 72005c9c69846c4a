// The transport sessions that a version 2 handshake makes: what each side may do as they age.
// (Damaged handshake messages are refused in the interoperability test, test_noise_interop.)
#include "protocol/NoiseTransport.h"

#include <gtest/gtest.h>

#include <utility>

#include "server/GatewayHandshake.h"

namespace {

using namespace std::chrono_literals;
using gateway_v2::GatewayInitiator;
using gateway_v2::Instant;
using gateway_v2::OpenStatus;
using gateway_v2::ResponderHandshake;
using gateway_v2::TransportSession;
namespace v2 = gateway_datagram_v2;

// A finished handshake at time zero: {gateway's session, server's session}.
std::pair<TransportSession, TransportSession> sessions() {
    const noise::KeyPair server = *noise::generateKeyPair();
    GatewayInitiator initiator(*noise::generateKeyPair(), server.publicKey);
    v2::InitiationPayload payload;
    payload.id = "00:1A:2B:3C:4D:5E";
    uint8_t initiation[v2::kInitiationMaxSize];
    const size_t length = *initiator.writeInitiation(11, payload, Instant{}, initiation);
    v2::HandshakeView view;
    v2::decodeInitiation(initiation, length, &view);
    ResponderHandshake responder(server);
    EXPECT_EQ(responder.readInitiation(view), ResponderHandshake::ReadStatus::Ok);
    uint8_t out[v2::kResponseMinSize];
    auto response = responder.writeResponse(22, Instant{}, out);
    auto gateway = initiator.readResponse(out, response->length, Instant{});
    EXPECT_TRUE(gateway);
    return {std::move(*gateway), std::move(response->session)};
}

// Seals at `when` on one side and opens on the other; the status of the open.
OpenStatus exchange(TransportSession& from, TransportSession& to, Instant when) {
    const uint8_t inner[] = {18, 1, 2, 3, 4, 5, 6};
    uint8_t datagram[sizeof inner + v2::kTransportOverhead];
    uint8_t opened[sizeof inner + noise::kTagLen];
    auto length = from.seal({inner, sizeof inner}, datagram, Instant{});
    EXPECT_TRUE(length);
    v2::TransportView view;
    EXPECT_EQ(v2::decodeTransport(datagram, *length, &view), v2::DecodeStatus::Ok);
    EXPECT_EQ(view.receiverIndex, to.localIndex());
    size_t openedLength = 0;
    return to.open(view, opened, &openedLength, when);
}

struct AgeCase {
    std::chrono::seconds age;
    bool canSend;
    bool gatewayRekeysAfterSend;
    bool gatewayRekeysAfterReceive;
    OpenStatus open;
};

const AgeCase kAges[] = {
    {0s, true, false, false, OpenStatus::Ok},       {119s, true, false, false, OpenStatus::Ok},
    {120s, true, true, false, OpenStatus::Ok},      {165s, true, true, true, OpenStatus::Ok},
    {180s, false, true, true, OpenStatus::Expired},
};

class SessionAgeTest : public ::testing::TestWithParam<AgeCase> {};

TEST_P(SessionAgeTest, LimitsByTime) {
    auto [gateway, server] = sessions();
    const AgeCase& c = GetParam();
    const Instant now = Instant{} + c.age;
    EXPECT_FALSE(server.canSend(Instant{}));  // not before the gateway's first datagram
    ASSERT_EQ(exchange(gateway, server, Instant{}), OpenStatus::Ok);
    EXPECT_EQ(exchange(server, gateway, now), c.open);
    EXPECT_EQ(gateway.canSend(now), c.canSend);
    EXPECT_EQ(server.canSend(now), c.canSend);
    EXPECT_EQ(gateway.wantsRekeyAfterSend(now), c.gatewayRekeysAfterSend);
    EXPECT_EQ(gateway.wantsRekeyAfterReceive(now), c.gatewayRekeysAfterReceive);
    // The server never starts a handshake; only the message count would make it want one.
    EXPECT_FALSE(server.wantsRekeyAfterSend(now) || server.wantsRekeyAfterReceive(now));
}

INSTANTIATE_TEST_SUITE_P(Ages, SessionAgeTest, ::testing::ValuesIn(kAges));

}  // namespace
