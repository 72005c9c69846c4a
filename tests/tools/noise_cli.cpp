// The version 2 handshake and transport on standard input and output, for the tests that play
// them against an independent Noise implementation. One command per line, one answer line
// each; keys and datagrams in hexadecimal.
//
//   tamblo-noise-cli initiator <gateway private> <server public>
//     initiate <index> <id> <local IP, 8 hex> <port from> <port end> <type> -> <initiation>
//     response <datagram> | cookie <datagram>  -> "ok" | "refused"
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
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "server/GatewayHandshake.h"

namespace {

namespace v2 = gateway_datagram_v2;
using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string toHex(const uint8_t* data, size_t length) {
    std::ostringstream text;
    for (size_t i = 0; i < length; ++i) {
        text << "0123456789abcdef"[data[i] >> 4] << "0123456789abcdef"[data[i] & 15];
    }
    return text.str();
}

std::optional<noise::KeyPair> keysFromHex(const std::string& hex) {
    const Bytes key = fromHex(hex);
    return key.size() == noise::kDhLen ? noise::keyPairFromPrivate(key.data()) : std::nullopt;
}

gateway_v2::Instant now() {
    return std::chrono::steady_clock::now();
}

class Player {
  public:
    Player(const noise::KeyPair& keys, std::optional<noise::PublicKey> server)
        : keys_(keys), checker_(keys.publicKey) {
        if (server) {
            initiator_.emplace(keys, *server);
        }
    }

    std::string answer(std::istringstream& words) {
        std::string command, argument;
        words >> command >> argument;
        if (command == "initiate" && initiator_) {
            return initiate(static_cast<uint32_t>(std::stoul(argument)), words);
        }
        if (command == "respond" && responder_) {
            uint8_t out[v2::kResponseMinSize];
            auto response =
                responder_->writeResponse(static_cast<uint32_t>(std::stoul(argument)), now(), out);
            if (!response) {
                return "refused";
            }
            session_.emplace(std::move(response->session));
            return toHex(out, response->length);
        }
        const Bytes data = fromHex(argument);
        if (command == "response" && initiator_) {
            auto made = initiator_->readResponse(data.data(), data.size(), now());
            if (made) {
                session_.emplace(std::move(*made));
            }
            return made ? "ok" : "refused";
        }
        if (command == "cookie" && initiator_) {
            return initiator_->consumeCookieReply(data.data(), data.size(), now()) ? "ok"
                                                                                   : "refused";
        }
        if (command == "initiation" && !initiator_) {
            return initiation(data, words);
        }
        if (command == "send" && session_) {
            Bytes out(data.size() + v2::kTransportOverhead);
            auto length = session_->seal({data.data(), data.size()}, out.data(), now());
            return length ? toHex(out.data(), *length) : "refused";
        }
        if (command == "recv" && session_) {
            return receive(data);
        }
        return "refused";
    }

  private:
    std::string initiate(uint32_t index, std::istringstream& words) {
        std::string id, ip;
        unsigned from = 0, end = 0, type = 0;
        words >> id >> ip >> from >> end >> type;
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        v2::InitiationPayload payload;
        payload.timestamp = v2::tai64nFromTime(wall);
        payload.id = id;
        const Bytes ipBytes = fromHex(ip);
        std::memcpy(&payload.localIP, ipBytes.data(), std::min<size_t>(4, ipBytes.size()));
        payload.localPortStart = static_cast<uint16_t>(from);
        payload.localPortEnd = static_cast<uint16_t>(end);
        payload.gatewayType = static_cast<uint8_t>(type);
        uint8_t out[v2::kInitiationMaxSize];
        auto length = initiator_->writeInitiation(index, payload, now(), out);
        return length ? toHex(out, *length) : "refused";
    }

    std::string initiation(const Bytes& data, std::istringstream& words) {
        std::string ip = "127.0.0.1", load;
        unsigned port = 0;
        words >> ip >> port >> load;
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &source.sin_addr);
        responder_.reset();
        v2::HandshakeView view;
        if (v2::decodeInitiation(data.data(), data.size(), &view) != v2::DecodeStatus::Ok) {
            return "refused malformed";
        }
        if (!checker_.checkMac1(data.data(), data.size())) {
            return "refused mac1";
        }
        if (load == "load" && !checker_.checkMac2(data.data(), data.size(), source, now())) {
            uint8_t reply[v2::kCookieReplySize];
            return checker_.makeReply(data.data(), data.size(), view.senderIndex, source, now(),
                                      reply)
                       ? "cookie " + toHex(reply, sizeof reply)
                       : "refused";
        }
        responder_.emplace(keys_);
        const auto status = responder_->readInitiation(view);
        if (status != gateway_v2::ResponderHandshake::ReadStatus::Ok) {
            responder_.reset();
            return status == gateway_v2::ResponderHandshake::ReadStatus::BadPayload
                       ? "refused payload"
                       : "refused undecryptable";
        }
        const v2::InitiationPayload& p = responder_->payload();
        std::ostringstream text;
        text << "ok " << toHex(responder_->gatewayStatic().data(), noise::kDhLen) << " "
             << responder_->senderIndex() << " " << toHex(p.timestamp.bytes, v2::kTai64nSize) << " "
             << toHex(reinterpret_cast<const uint8_t*>(&p.localIP), 4) << " " << p.localPortStart
             << " " << p.localPortEnd << " " << unsigned{p.gatewayType} << " " << p.id;
        return text.str();
    }

    std::string receive(const Bytes& data) {
        v2::TransportView view;
        if (v2::decodeTransport(data.data(), data.size(), &view) != v2::DecodeStatus::Ok ||
            view.receiverIndex != session_->localIndex()) {
            return "malformed";
        }
        Bytes inner(view.sealed.size);
        size_t length = 0;
        switch (session_->open(view, inner.data(), &length, now())) {
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

    noise::KeyPair keys_;
    gateway_v2::CookieChecker checker_;
    std::optional<gateway_v2::GatewayInitiator> initiator_;
    std::optional<gateway_v2::ResponderHandshake> responder_;
    std::optional<gateway_v2::TransportSession> session_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string role = argc > 1 ? argv[1] : "";
    const std::optional<noise::KeyPair> keys = argc > 2 ? keysFromHex(argv[2]) : std::nullopt;
    std::optional<noise::PublicKey> server;
    if (role == "initiator" && argc == 4 && fromHex(argv[3]).size() == noise::kDhLen) {
        server.emplace();
        std::memcpy(server->data(), fromHex(argv[3]).data(), noise::kDhLen);
    }
    if (!keys || !((role == "initiator" && server) || (role == "responder" && argc == 3))) {
        std::cerr << "usage: tamblo-noise-cli initiator <private> <server public> | "
                     "responder <private>\n";
        return 2;
    }
    Player player(*keys, server);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::cout << player.answer(words) << std::endl;
    }
    return 0;
}
