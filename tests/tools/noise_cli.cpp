// The version 2 handshake and transport on standard input and output, for the tests that play
// them against an independent Noise implementation. One command per line, one answer line
// each; keys and datagrams in hexadecimal.
//
//   tamblo-noise-cli initiator <gateway private> <server public>
//     initiate <index> <id> <local IP, 8 hex> <port from> <port end> <type> -> <initiation>
//     response <datagram>       -> "ok" | "refused"
//     cookie <datagram>         -> "ok" | "refused"
//   tamblo-noise-cli responder <server private>
//     initiation <datagram> [<IPv4> <port> load]
//         -> "ok <gateway public> <sender index> <timestamp> <local IP> <from> <end> <type> <id>"
//          | "cookie <cookie reply>" (under load without a valid mac2) | "refused <reason>"
//     respond <index>           -> <response>
//   both, once the handshake is done:
//     send <inner datagram>     -> <transport datagram> | "refused"
//     recv <transport datagram> -> "ok <inner datagram>" | "replayed" | "forged" | "expired"
//                                  | "malformed"
#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "GatewayDatagramV2.h"
#include "GatewayHandshake.h"
#include "HandshakeCookie.h"
#include "NoiseTransport.h"

namespace {

namespace v2 = gateway_datagram_v2;
using gateway_v2::Instant;
using Bytes = std::vector<uint8_t>;

bool fromHex(const std::string& hex, Bytes* out) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

std::string toHex(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

std::optional<noise::KeyPair> keysFromHex(const std::string& hex) {
    Bytes key;
    if (!fromHex(hex, &key) || key.size() != noise::kDhLen) {
        return std::nullopt;
    }
    return noise::keyPairFromPrivate(key.data());
}

Instant now() {
    return std::chrono::steady_clock::now();
}

// The transport commands, shared by both roles.
std::string transport(std::optional<gateway_v2::TransportSession>& session,
                      const std::string& command, const Bytes& data) {
    if (!session) {
        return "refused";
    }
    if (command == "send") {
        Bytes out(data.size() + v2::kTransportOverhead);
        std::optional<size_t> length = session->seal({data.data(), data.size()}, out.data(), now());
        return length ? toHex(out.data(), *length) : "refused";
    }
    v2::TransportView view;
    if (v2::decodeTransport(data.data(), data.size(), &view) != v2::DecodeStatus::Ok ||
        view.receiverIndex != session->localIndex()) {
        return "malformed";
    }
    Bytes inner(view.sealed.size);
    size_t length = 0;
    switch (session->open(view, inner.data(), &length, now())) {
        case gateway_v2::OpenStatus::Ok:
            return "ok " + toHex(inner.data(), length);
        case gateway_v2::OpenStatus::Replayed:
            return "replayed";
        case gateway_v2::OpenStatus::Forged:
            return "forged";
        case gateway_v2::OpenStatus::Expired:
            return "expired";
    }
    return "malformed";
}

int runInitiator(const noise::KeyPair& keys, const noise::PublicKey& serverPublic) {
    gateway_v2::GatewayInitiator initiator(keys, serverPublic);
    std::optional<gateway_v2::TransportSession> session;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command >> argument;
        std::string answer = "refused";
        Bytes data;
        if (command == "initiate") {
            v2::InitiationPayload payload;
            unsigned from = 0, end = 0, type = 0;
            std::string ip;
            const uint32_t index = static_cast<uint32_t>(std::stoul(argument));
            std::string id;
            words >> id >> ip >> from >> end >> type;
            timespec wall{};
            clock_gettime(CLOCK_REALTIME, &wall);
            payload.timestamp = v2::tai64nFromTime(wall);
            payload.id = id;
            Bytes ipBytes;
            if (fromHex(ip, &ipBytes) && ipBytes.size() == 4) {
                std::memcpy(&payload.localIP, ipBytes.data(), 4);
            }
            payload.localPortStart = static_cast<uint16_t>(from);
            payload.localPortEnd = static_cast<uint16_t>(end);
            payload.gatewayType = static_cast<uint8_t>(type);
            uint8_t out[v2::kInitiationMaxSize];
            std::optional<size_t> length = initiator.writeInitiation(index, payload, now(), out);
            answer = length ? toHex(out, *length) : "refused";
        } else if (!fromHex(argument, &data)) {
            answer = "refused";
        } else if (command == "response") {
            std::optional<gateway_v2::TransportSession> made =
                initiator.readResponse(data.data(), data.size(), now());
            if (made) {
                session.emplace(std::move(*made));
                answer = "ok";
            }
        } else if (command == "cookie") {
            answer = initiator.consumeCookieReply(data.data(), data.size(), now()) ? "ok"
                                                                                   : "refused";
        } else if (command == "send" || command == "recv") {
            answer = transport(session, command, data);
        }
        std::cout << answer << std::endl;
    }
    return 0;
}

int runResponder(const noise::KeyPair& keys) {
    gateway_v2::CookieChecker checker(keys.publicKey);
    std::optional<gateway_v2::ResponderHandshake> handshake;
    std::optional<gateway_v2::TransportSession> session;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command >> argument;
        std::string answer = "refused";
        Bytes data;
        v2::HandshakeView view;
        if (command == "respond") {
            uint8_t out[v2::kResponseMinSize];
            std::optional<gateway_v2::ResponderHandshake::Response> response;
            if (handshake) {
                response = handshake->writeResponse(static_cast<uint32_t>(std::stoul(argument)),
                                                    now(), out);
            }
            if (response) {
                session.emplace(std::move(response->session));
                answer = toHex(out, response->length);
            }
        } else if (!fromHex(argument, &data)) {
            answer = "refused";
        } else if (command == "initiation") {
            std::string ip, load;
            unsigned port = 0;
            words >> ip >> port >> load;
            sockaddr_in source{};
            source.sin_family = AF_INET;
            source.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, ip.empty() ? "127.0.0.1" : ip.c_str(), &source.sin_addr);
            handshake.reset();
            if (v2::decodeInitiation(data.data(), data.size(), &view) != v2::DecodeStatus::Ok) {
                answer = "refused malformed";
            } else if (!checker.checkMac1(data.data(), data.size())) {
                answer = "refused mac1";
            } else if (load == "load" &&
                       !checker.checkMac2(data.data(), data.size(), source, now())) {
                uint8_t reply[v2::kCookieReplySize];
                answer = checker.makeReply(data.data(), data.size(), view.senderIndex, source,
                                           now(), reply)
                             ? "cookie " + toHex(reply, sizeof reply)
                             : "refused";
            } else {
                handshake.emplace(keys);
                const auto status = handshake->readInitiation(view);
                if (status == gateway_v2::ResponderHandshake::ReadStatus::Ok) {
                    const v2::InitiationPayload& p = handshake->payload();
                    std::ostringstream text;
                    text << "ok " << toHex(handshake->gatewayStatic().data(), noise::kDhLen) << " "
                         << handshake->senderIndex() << " "
                         << toHex(p.timestamp.bytes, v2::kTai64nSize) << " "
                         << toHex(reinterpret_cast<const uint8_t*>(&p.localIP), 4) << " "
                         << p.localPortStart << " " << p.localPortEnd << " "
                         << unsigned{p.gatewayType} << " " << p.id;
                    answer = text.str();
                } else {
                    answer = status == gateway_v2::ResponderHandshake::ReadStatus::BadPayload
                                 ? "refused payload"
                                 : "refused undecryptable";
                    handshake.reset();
                }
            }
        } else if (command == "send" || command == "recv") {
            answer = transport(session, command, data);
        }
        std::cout << answer << std::endl;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "initiator" && argc == 4) {
        std::optional<noise::KeyPair> keys = keysFromHex(argv[2]);
        Bytes server;
        if (!keys || !fromHex(argv[3], &server) || server.size() != noise::kDhLen) {
            return 2;
        }
        noise::PublicKey serverPublic;
        std::memcpy(serverPublic.data(), server.data(), noise::kDhLen);
        return runInitiator(*keys, serverPublic);
    }
    if (role == "responder" && argc == 3) {
        std::optional<noise::KeyPair> keys = keysFromHex(argv[2]);
        return keys ? runResponder(*keys) : 2;
    }
    std::fprintf(stderr,
                 "usage: tamblo-noise-cli initiator <private> <server public> | "
                 "responder <private>\n");
    return 2;
}
