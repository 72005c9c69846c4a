// The gateway's version 2 handshake and transport.
#include "SealedLink.h"

#include <sys/random.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "server/GatewayKeys.h"

namespace v2 = gateway_datagram_v2;

SealedLink::SealedLink(const noise::KeyPair& keys, const noise::PublicKey& serverPublic,
                       Identity identity)
    : initiator_(keys, serverPublic), identity_(std::move(identity)) {
    // Indexes start anywhere, so that a restarted gateway's datagrams never fall on the
    // sessions of its previous run.
    if (::getrandom(&nextIndex_, sizeof nextIndex_, 0) != sizeof nextIndex_) {
        nextIndex_ = static_cast<uint32_t>(::time(nullptr));
    }
}

size_t SealedLink::writeInitiation(uint8_t* out, Instant now) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    // The server answers an initiation only when its timestamp is later than the last one it
    // took, and timestamps go out in steps of about 16 ms: a clock that stands still or steps
    // back, or a second initiation within one step, must not silence us.
    timespec stamp = wall;
    if (stamp.tv_sec < lastWall_.tv_sec ||
        (stamp.tv_sec == lastWall_.tv_sec && stamp.tv_nsec < lastWall_.tv_nsec)) {
        stamp = lastWall_;
    }
    v2::Tai64n timestamp = v2::tai64nFromTime(stamp);
    while (!v2::tai64nAfter(timestamp, lastTimestamp_)) {
        stamp.tv_nsec += 1000000;  // a millisecond on, until the next step
        if (stamp.tv_nsec >= 1000000000L) {
            stamp.tv_nsec -= 1000000000L;
            ++stamp.tv_sec;
        }
        timestamp = v2::tai64nFromTime(stamp);
    }
    lastWall_ = stamp;
    lastTimestamp_ = timestamp;
    v2::InitiationPayload payload;
    payload.timestamp = timestamp;
    payload.localIP = identity_.localIP;
    payload.localPortStart = identity_.portStart;
    payload.localPortEnd = identity_.portEnd;
    payload.gatewayType = identity_.type;
    payload.id = identity_.id;
    rekeyAsked_ = false;
    cookieRepeatAt_.reset();
    // Made or not, the next attempt is REKEY_TIMEOUT away.
    awaitingResponse_ = true;
    lastInitiationAt_ = now;
    const std::optional<size_t> written = initiator_.writeInitiation(++nextIndex_, payload, now, out);
    return written ? *written : 0;
}

Instant SealedLink::initiationDue() const {
    Instant due = Instant::max();
    if (cookieRepeatAt_) {
        due = *cookieRepeatAt_;
    }
    if (!current_) {
        return due;  // the registration's back-off brings the first keys
    }
    if (awaitingResponse_) {
        return std::min(due, lastInitiationAt_ + gateway_v2::protocol::REKEY_TIMEOUT);
    }
    if (rekeyAsked_) {
        return std::min(due, lastInitiationAt_);  // at once
    }
    return std::min(due, current_->created() + gateway_v2::protocol::REKEY_AFTER_TIME);
}

void SealedLink::forget() {
    current_.reset();
    previous_.reset();
    rekeyAsked_ = false;
    awaitingResponse_ = false;
    cookieRepeats_ = 0;
    cookieRepeatAt_.reset();
}

SealedLink::Received SealedLink::receive(uint8_t* data, size_t length, Instant now,
                                         uint8_t** inner, size_t* innerLength) {
    switch (data[0]) {
        case TAMBLO_MT_HANDSHAKE_RESPONSE: {
            std::optional<gateway_v2::TransportSession> session =
                initiator_.readResponse(data, length, now);
            if (!session) {
                return Received::Dropped;
            }
            // The old keys stay for what is still on its way; the new ones send from now on.
            previous_ = std::move(current_);
            current_ = std::move(session);
            awaitingResponse_ = false;
            rekeyAsked_ = false;
            cookieRepeats_ = 0;
            cookieRepeatAt_.reset();
            return Received::Established;
        }
        case TAMBLO_MT_COOKIE_REPLY:
            if (!initiator_.consumeCookieReply(data, length, now)) {
                return Received::Dropped;
            }
            if (cookieRepeats_ < kCookieRepeats) {
                cookieRepeatAt_ = now + kFirstCookiePause * (1 << cookieRepeats_);
                ++cookieRepeats_;
            }
            return Received::CookieTaken;
        case TAMBLO_MT_TRANSPORT: {
            v2::TransportView view;
            if (v2::decodeTransport(data, length, &view) != v2::DecodeStatus::Ok) {
                return Received::Dropped;
            }
            for (std::optional<gateway_v2::TransportSession>* session : {&current_, &previous_}) {
                if (!*session || (*session)->localIndex() != view.receiverIndex) {
                    continue;
                }
                // In place: the inner datagram starts where the sealed bytes do.
                uint8_t* plain = data + v2::kTransportSealedOffset;
                if ((*session)->open(view, plain, innerLength, now) != gateway_v2::OpenStatus::Ok ||
                    *innerLength == 0) {
                    return Received::Dropped;
                }
                rekeyAsked_ = rekeyAsked_ || (*session)->wantsRekeyAfterReceive(now);
                *inner = plain;
                return Received::Inner;
            }
            return Received::Dropped;
        }
        default:
            return Received::Dropped;
    }
}

size_t SealedLink::seal(const uint8_t* inner, size_t length, uint8_t* out, Instant now) {
    if (!current_ || !current_->canSend(now)) {
        return 0;
    }
    const std::optional<size_t> sealed = current_->seal(noise::ByteView{inner, length}, out, now);
    if (!sealed) {
        return 0;
    }
    rekeyAsked_ = rekeyAsked_ || current_->wantsRekeyAfterSend(now);
    return *sealed;
}

std::optional<noise::PublicKey> loadServerPublicKey(const std::string& value, std::string* error) {
    noise::PublicKey key{};
    if (gateway_keys::decodeBase64Key(value, key.data())) {
        return key;
    }
    std::ifstream file(value);
    if (!file) {
        *error = "neither a base64 key nor a readable file: " + value;
        return std::nullopt;
    }
    std::string line;
    while (std::getline(file, line)) {
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const size_t end = line.find_last_not_of(" \t\r");
        if (gateway_keys::decodeBase64Key(std::string_view(line).substr(start, end - start + 1),
                                          key.data())) {
            return key;
        }
        break;
    }
    *error = value + ": no base64 public key on its first line";
    return std::nullopt;
}
