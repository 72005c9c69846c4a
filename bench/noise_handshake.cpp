// CPU of the version 2 handshake and transport, beside their primitives in the same run:
//   - µs per handshake on each side (the gateway's initiation and its reading of the response;
//     the server's reading of the initiation and its response, mac1 check included), beside
//     µs per X25519 derivation: a handshake costs the server four derivations;
//   - µs per cookie reply (what a server under load spends instead of a handshake);
//   - ns per 1400-byte transport datagram sealed and opened, beside the version 1 envelope
//     (AES-128-CBC, encryption.h) of the same datagram.
// Usage: noise-handshake [rounds] (default 2000); bounded by the count, a few seconds.
#include <arpa/inet.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "encryption.h"
#include "protocol/HandshakeCookie.h"
#include "server/GatewayHandshake.h"

namespace {

namespace v2 = gateway_datagram_v2;
using gateway_v2::Instant;

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Body>
double perRound(int rounds, Body body) {
    const double start = cpuSeconds();
    for (int i = 0; i < rounds; ++i) {
        body(i);
    }
    return (cpuSeconds() - start) / rounds;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "noise-handshake: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds <= 0 || rounds > 1'000'000) {
        fail("rounds: 1 to 1000000");
    }
    const auto server = noise::generateKeyPair();
    const auto gateway = noise::generateKeyPair();
    if (!server || !gateway) {
        fail("no keys");
    }
    gateway_v2::GatewayInitiator initiator(*gateway, server->publicKey);
    gateway_v2::CookieChecker checker(server->publicKey);
    v2::InitiationPayload payload;
    payload.id = "02:00:5E:10:00:01";
    uint8_t initiation[v2::kInitiationMaxSize];
    uint8_t response[v2::kResponseMinSize];
    size_t initiationLength = 0;
    size_t responseLength = 0;

    noise::Secret<noise::kDhLen> shared;
    const double x25519 = perRound(rounds, [&](int) {
        if (!noise::dh(*server, gateway->publicKey.data(), &shared)) {
            fail("X25519");
        }
    });
    double gatewaySide = 0;
    double serverSide = 0;
    for (int i = 0; i < rounds; ++i) {
        double start = cpuSeconds();
        auto written =
            initiator.writeInitiation(static_cast<uint32_t>(i), payload, Instant{}, initiation);
        gatewaySide += cpuSeconds() - start;
        start = cpuSeconds();
        v2::HandshakeView view;
        gateway_v2::ResponderHandshake responder(*server);
        if (!written || v2::decodeInitiation(initiation, *written, &view) != v2::DecodeStatus::Ok ||
            !checker.checkMac1(initiation, *written) ||
            responder.readInitiation(view) != gateway_v2::ResponderHandshake::ReadStatus::Ok) {
            fail("initiation");
        }
        auto answer = responder.writeResponse(static_cast<uint32_t>(i), Instant{}, response);
        serverSide += cpuSeconds() - start;
        start = cpuSeconds();
        if (!answer || !initiator.readResponse(response, answer->length, Instant{})) {
            fail("response");
        }
        gatewaySide += cpuSeconds() - start;
        initiationLength = *written;
        responseLength = answer->length;
    }
    gatewaySide /= rounds;
    serverSide /= rounds;

    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_port = htons(4000);
    uint8_t reply[v2::kCookieReplySize];
    const double cookie = perRound(rounds, [&](int) {
        if (!checker.checkMac1(initiation, initiationLength) ||
            checker.checkMac2(initiation, initiationLength, source, Instant{}) ||
            !checker.makeReply(initiation, initiationLength, 1, source, Instant{}, reply)) {
            fail("cookie reply");
        }
    });

    // Transport: one session pair, the gateway sealing and the server opening.
    initiationLength = *initiator.writeInitiation(1, payload, Instant{}, initiation);
    v2::HandshakeView view;
    v2::decodeInitiation(initiation, initiationLength, &view);
    gateway_v2::ResponderHandshake responder(*server);
    responder.readInitiation(view);
    auto answer = responder.writeResponse(2, Instant{}, response);
    auto sending = initiator.readResponse(response, answer->length, Instant{});
    if (!answer || !sending) {
        fail("transport handshake");
    }
    gateway_v2::TransportSession& receiving = answer->session;
    std::vector<uint8_t> inner(1400, 0x5a);
    std::vector<uint8_t> datagram(inner.size() + v2::kTransportOverhead);
    const int packets = rounds * 50;
    const double transport = perRound(packets, [&](int) {
        auto length = sending->seal({inner.data(), inner.size()}, datagram.data(), Instant{});
        v2::TransportView t;
        size_t opened = 0;
        if (!length || v2::decodeTransport(datagram.data(), *length, &t) != v2::DecodeStatus::Ok ||
            receiving.open(t, datagram.data() + v2::kTransportSealedOffset, &opened, Instant{}) !=
                gateway_v2::OpenStatus::Ok) {
            fail("transport");
        }
    });
    CryptoContextPtr left(cryptoNew());
    CryptoContextPtr right(cryptoNew());
    if (!left || !right || !cryptoSetRemoteKey(left.get(), cryptoGetPublicKey(right.get())) ||
        !cryptoSetRemoteKey(right.get(), cryptoGetPublicKey(left.get()))) {
        fail("envelope keys");
    }
    std::vector<uint8_t> envelope(cryptoSizeWithPadding(static_cast<uint32_t>(inner.size())));
    std::vector<uint8_t> plain(envelope.size());
    const double v1 = perRound(packets, [&](int) {
        uint32_t length = 0;
        uint32_t plainLength = 0;
        if (!cryptoProcessBuf(left.get(), CryptoEncrypt, inner.data(),
                              static_cast<uint32_t>(inner.size()), envelope.data(), &length) ||
            !cryptoProcessBuf(right.get(), CryptoDecrypt, envelope.data(), length, plain.data(),
                              &plainLength)) {
            fail("envelope");
        }
    });

    std::printf("rounds %d (initiation %zu bytes, response %zu bytes)\n", rounds, initiationLength,
                responseLength);
    std::printf("X25519 derivation          %8.1f us\n", x25519 * 1e6);
    std::printf("handshake, gateway side    %8.1f us  = %.2f x X25519\n", gatewaySide * 1e6,
                gatewaySide / x25519);
    std::printf("handshake, server side     %8.1f us  = %.2f x X25519\n", serverSide * 1e6,
                serverSide / x25519);
    std::printf("cookie reply (under load)  %8.1f us  = %.2f x X25519\n", cookie * 1e6,
                cookie / x25519);
    std::printf(
        "1400-byte datagram sealed and opened: v2 %.0f ns, v1 envelope %.0f ns"
        " (v2/v1 = %.2f)\n",
        transport * 1e9, v1 * 1e9, transport / v1);
    return 0;
}
