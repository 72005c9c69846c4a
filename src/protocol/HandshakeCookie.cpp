// mac1, mac2 and cookie replies of the version 2 handshake.
#include "protocol/HandshakeCookie.h"

#include <cstring>

#include "common/ByteOrder.h"
#include "protocol/GatewayDatagramV2.h"

namespace gateway_v2 {

namespace {

namespace v2 = gateway_datagram_v2;

constexpr char kMac1Label[] = "mac1----";
constexpr char kCookieLabel[] = "cookie--";
constexpr size_t kLabelSize = 8;

void labelledKey(const char* label, const noise::PublicKey& key, uint8_t out[noise::kHashLen]) {
    noise::hash({{reinterpret_cast<const uint8_t*>(label), kLabelSize}, {key.data(), key.size()}},
                out);
}

bool macOver(const uint8_t* key, size_t keyLength, const uint8_t* message, size_t length,
             uint8_t out[noise::kMacLen]) {
    return noise::keyedMac({key, keyLength}, {{message, length}}, out);
}

bool equalMacs(const uint8_t* a, const uint8_t* b) {
    return CRYPTO_memcmp(a, b, noise::kMacLen) == 0;
}

}  // namespace

CookieChecker::CookieChecker(const noise::PublicKey& ownStaticPublic) {
    labelledKey(kMac1Label, ownStaticPublic, mac1Key_.data());
    noise::Secret<noise::kHashLen> cookieKey;
    labelledKey(kCookieLabel, ownStaticPublic, cookieKey.data());
    cookieAead_.setKey(cookieKey.data());
}

bool CookieChecker::checkMac1(const uint8_t* message, size_t length) const {
    if (length <= v2::kMacsSize) {
        return false;
    }
    uint8_t mac[noise::kMacLen];
    const size_t covered = length - v2::kMacsSize;
    return macOver(mac1Key_.data(), noise::kHashLen, message, covered, mac) &&
           equalMacs(mac, message + covered);
}

bool CookieChecker::cookieFor(const sockaddr_in& source, Instant now,
                              uint8_t cookie[noise::kMacLen]) {
    if (!haveSecret_ || now - secretBorn_ >= protocol::COOKIE_REFRESH_TIME) {
        if (!noise::randomBytes(secret_.data(), noise::kHashLen)) {
            haveSecret_ = false;
            return false;
        }
        secretBorn_ = now;
        haveSecret_ = true;
    }
    uint8_t address[6];
    std::memcpy(address, &source.sin_addr.s_addr, 4);  // network order, as on the wire
    writeBigEndian16(address + 4, ntohs(source.sin_port));
    return noise::keyedMac({secret_.data(), noise::kHashLen}, {{address, sizeof address}}, cookie);
}

bool CookieChecker::checkMac2(const uint8_t* message, size_t length, const sockaddr_in& source,
                              Instant now) {
    if (length <= v2::kMacsSize) {
        return false;
    }
    noise::Secret<noise::kMacLen> cookie;
    uint8_t mac[noise::kMacLen];
    const size_t covered = length - v2::kMacSize;
    return cookieFor(source, now, cookie.data()) &&
           macOver(cookie.data(), noise::kMacLen, message, covered, mac) &&
           equalMacs(mac, message + covered);
}

bool CookieChecker::makeReply(const uint8_t* message, size_t length, uint32_t senderIndex,
                              const sockaddr_in& source, Instant now, uint8_t* out) {
    noise::Secret<noise::kMacLen> cookie;
    uint8_t nonce[v2::kCookieNonceSize];
    if (length <= v2::kMacsSize || !cookieFor(source, now, cookie.data()) ||
        !noise::randomBytes(nonce, sizeof nonce)) {
        return false;
    }
    const uint8_t* mac1 = message + length - v2::kMacsSize;
    v2::writeCookieReplyHeader(senderIndex, nonce, out);
    return cookieAead_.seal(nonce, {mac1, noise::kMacLen}, {cookie.data(), noise::kMacLen},
                            out + v2::kCookieSealedOffset);
}

CookieGenerator::CookieGenerator(const noise::PublicKey& peerStaticPublic) {
    labelledKey(kMac1Label, peerStaticPublic, mac1Key_.data());
    noise::Secret<noise::kHashLen> cookieKey;
    labelledKey(kCookieLabel, peerStaticPublic, cookieKey.data());
    cookieAead_.setKey(cookieKey.data());
}

bool CookieGenerator::hasCookie(Instant now) const {
    return haveCookie_ && now - cookieBorn_ < protocol::COOKIE_REFRESH_TIME;
}

void CookieGenerator::addMacs(uint8_t* message, size_t length, Instant now) {
    uint8_t* mac1 = message + length - v2::kMacsSize;
    uint8_t* mac2 = message + length - v2::kMacSize;
    haveLastMac1_ =
        macOver(mac1Key_.data(), noise::kHashLen, message, length - v2::kMacsSize, mac1);
    if (!haveLastMac1_) {
        std::memset(mac1, 0, noise::kMacLen);
    }
    std::memcpy(lastMac1_, mac1, noise::kMacLen);
    if (!hasCookie(now) ||
        !macOver(cookie_.data(), noise::kMacLen, message, length - v2::kMacSize, mac2)) {
        std::memset(mac2, 0, noise::kMacLen);
    }
}

bool CookieGenerator::consumeReply(const uint8_t* reply, size_t length, Instant now) {
    v2::CookieReplyView view;
    if (!haveLastMac1_ || v2::decodeCookieReply(reply, length, &view) != v2::DecodeStatus::Ok) {
        return false;
    }
    noise::Secret<noise::kMacLen> cookie;
    if (!cookieAead_.open(view.nonce, {lastMac1_, noise::kMacLen}, view.sealedCookie,
                          cookie.data())) {
        return false;
    }
    cookie_ = cookie;
    cookieBorn_ = now;
    haveCookie_ = true;
    return true;
}

}  // namespace gateway_v2
