// Version 2 datagrams as the server and the gateway take them: every decoder, mac1, the Noise
// message of an initiation (with the server key the seeds were made for) and its payload,
// responses and cookie replies to a gateway. Input: the datagram.
#include <cstring>

#include "FuzzTarget.h"
#include "protocol/GatewayDatagramV2.h"
#include "protocol/HandshakeCookie.h"
#include "server/GatewayHandshake.h"

namespace {
namespace v2 = gateway_datagram_v2;

// The server key of the seeds (tests/fuzz/make_seeds.py): 32 bytes of 0x11.
const noise::KeyPair& serverKeys() {
    static const noise::KeyPair keys = [] {
        uint8_t key[noise::kDhLen];
        std::memset(key, 0x11, sizeof key);
        return *noise::keyPairFromPrivate(key);
    }();
    return keys;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static gateway_v2::CookieChecker checker(serverKeys().publicKey);
    static gateway_v2::GatewayInitiator initiator(serverKeys(), serverKeys().publicKey);
    v2::HandshakeView handshake;
    v2::CookieReplyView cookie;
    v2::TransportView transport;
    v2::InitiationPayload payload;
    if (size > 0) {
        v2::decodeInitiationPayload(data + 1, size - 1, &payload);
    }
    if (v2::decodeInitiation(data, size, &handshake) == v2::DecodeStatus::Ok) {
        checker.checkMac1(data, size);
        gateway_v2::ResponderHandshake responder(serverKeys());
        if (responder.readInitiation(handshake) == gateway_v2::ResponderHandshake::ReadStatus::Ok) {
            uint8_t out[v2::kResponseMinSize];
            responder.writeResponse(1, gateway_v2::Instant{}, out);
        }
    }
    if (v2::decodeResponse(data, size, &handshake) == v2::DecodeStatus::Ok) {
        initiator.readResponse(data, size, gateway_v2::Instant{});
    }
    if (v2::decodeCookieReply(data, size, &cookie) == v2::DecodeStatus::Ok) {
        initiator.consumeCookieReply(data, size, gateway_v2::Instant{});
    }
    v2::decodeTransport(data, size, &transport);
    return 0;
}
