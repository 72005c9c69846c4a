// Decoding and encoding of the version 2 gateway datagrams, bounded by the bytes received.
#include "protocol/GatewayDatagramV2.h"

#include <cstring>

#include "common/ByteOrder.h"

namespace gateway_datagram_v2 {

namespace {

DecodeStatus checkFrame(const uint8_t* data, size_t length, uint8_t type, size_t minSize,
                        size_t maxSize) {
    if (length < 1 || data[0] != type) {
        return DecodeStatus::WrongType;
    }
    if (length < minSize) {
        return DecodeStatus::TooShort;
    }
    if (length > maxSize) {
        return DecodeStatus::TooLong;
    }
    if (data[kReservedOffset] != 0 || data[kReservedOffset + 1] != 0 ||
        data[kReservedOffset + 2] != 0) {
        return DecodeStatus::ReservedNotZero;
    }
    return DecodeStatus::Ok;
}

void writeTypeAndReserved(uint8_t type, uint8_t* out) {
    out[0] = type;
    std::memset(out + kReservedOffset, 0, kReservedSize);
}

}  // namespace

DecodeStatus decodeInitiation(const uint8_t* data, size_t length, HandshakeView* out) {
    const DecodeStatus status = checkFrame(data, length, TAMBLO_MT_HANDSHAKE_INITIATION,
                                           kInitiationMinSize, kInitiationMaxSize);
    if (status != DecodeStatus::Ok) {
        return status;
    }
    out->senderIndex = readBigEndian32(data + kInitiationSenderOffset);
    out->receiverIndex = 0;
    out->noiseMessage = {data + kInitiationNoiseOffset,
                         length - kInitiationNoiseOffset - kMacsSize};
    out->mac1 = data + length - kMacsSize;
    out->mac2 = data + length - kMacSize;
    return DecodeStatus::Ok;
}

DecodeStatus decodeResponse(const uint8_t* data, size_t length, HandshakeView* out) {
    const DecodeStatus status =
        checkFrame(data, length, TAMBLO_MT_HANDSHAKE_RESPONSE, kResponseMinSize, kResponseMaxSize);
    if (status != DecodeStatus::Ok) {
        return status;
    }
    out->senderIndex = readBigEndian32(data + kResponseSenderOffset);
    out->receiverIndex = readBigEndian32(data + kResponseReceiverOffset);
    out->noiseMessage = {data + kResponseNoiseOffset, length - kResponseNoiseOffset - kMacsSize};
    out->mac1 = data + length - kMacsSize;
    out->mac2 = data + length - kMacSize;
    return DecodeStatus::Ok;
}

DecodeStatus decodeCookieReply(const uint8_t* data, size_t length, CookieReplyView* out) {
    const DecodeStatus status =
        checkFrame(data, length, TAMBLO_MT_COOKIE_REPLY, kCookieReplySize, kCookieReplySize);
    if (status != DecodeStatus::Ok) {
        return status;
    }
    out->receiverIndex = readBigEndian32(data + kCookieReceiverOffset);
    out->nonce = data + kCookieNonceOffset;
    out->sealedCookie = {data + kCookieSealedOffset, kCookieSize + noise::kTagLen};
    return DecodeStatus::Ok;
}

DecodeStatus decodeTransport(const uint8_t* data, size_t length, TransportView* out) {
    const DecodeStatus status =
        checkFrame(data, length, TAMBLO_MT_TRANSPORT, kTransportOverhead, kTransportMaxSize);
    if (status != DecodeStatus::Ok) {
        return status;
    }
    out->receiverIndex = readBigEndian32(data + kTransportReceiverOffset);
    out->counter = readBigEndian64(data + kTransportCounterOffset);
    out->sealed = {data + kTransportSealedOffset, length - kTransportSealedOffset};
    return DecodeStatus::Ok;
}

void writeInitiationHeader(uint32_t senderIndex, uint8_t* out) {
    writeTypeAndReserved(TAMBLO_MT_HANDSHAKE_INITIATION, out);
    writeBigEndian32(out + kInitiationSenderOffset, senderIndex);
}

void writeResponseHeader(uint32_t senderIndex, uint32_t receiverIndex, uint8_t* out) {
    writeTypeAndReserved(TAMBLO_MT_HANDSHAKE_RESPONSE, out);
    writeBigEndian32(out + kResponseSenderOffset, senderIndex);
    writeBigEndian32(out + kResponseReceiverOffset, receiverIndex);
}

void writeTransportHeader(uint32_t receiverIndex, uint64_t counter, uint8_t* out) {
    writeTypeAndReserved(TAMBLO_MT_TRANSPORT, out);
    writeBigEndian32(out + kTransportReceiverOffset, receiverIndex);
    writeBigEndian64(out + kTransportCounterOffset, counter);
}

void writeCookieReplyHeader(uint32_t receiverIndex, const uint8_t* nonce, uint8_t* out) {
    writeTypeAndReserved(TAMBLO_MT_COOKIE_REPLY, out);
    writeBigEndian32(out + kCookieReceiverOffset, receiverIndex);
    std::memcpy(out + kCookieNonceOffset, nonce, kCookieNonceSize);
}

Tai64n tai64nFromTime(const timespec& time) {
    constexpr uint64_t kTai64Base = (uint64_t{1} << 62) + 10;
    constexpr uint32_t kWhitenMask = ~((uint32_t{1} << 24) - 1);
    Tai64n stamp;
    writeBigEndian64(stamp.bytes, kTai64Base + static_cast<uint64_t>(time.tv_sec));
    writeBigEndian32(stamp.bytes + 8, static_cast<uint32_t>(time.tv_nsec) & kWhitenMask);
    return stamp;
}

bool tai64nAfter(const Tai64n& a, const Tai64n& b) {
    return std::memcmp(a.bytes, b.bytes, kTai64nSize) > 0;
}

PayloadStatus decodeInitiationPayload(const uint8_t* data, size_t length, InitiationPayload* out) {
    if (length < kPayloadIdOffset) {
        return PayloadStatus::TooShort;
    }
    InitiationPayload payload;
    std::memcpy(payload.timestamp.bytes, data + kPayloadTimestampOffset, kTai64nSize);
    std::memcpy(&payload.localIP, data + kPayloadLocalIpOffset, sizeof payload.localIP);
    payload.localPortStart = readBigEndian16(data + kPayloadPortStartOffset);
    payload.localPortEnd = readBigEndian16(data + kPayloadPortEndOffset);
    payload.gatewayType = data[kPayloadTypeOffset];
    const size_t idLength = data[kPayloadIdLengthOffset];
    if (idLength == 0) {
        return PayloadStatus::IdEmpty;
    }
    if (length - kPayloadIdOffset < idLength) {
        return PayloadStatus::IdOverrun;
    }
    if (length - kPayloadIdOffset > idLength) {
        return PayloadStatus::TrailingBytes;
    }
    payload.id = std::string_view(reinterpret_cast<const char*>(data + kPayloadIdOffset), idLength);
    *out = payload;
    return PayloadStatus::Ok;
}

size_t encodeInitiationPayload(const InitiationPayload& payload, uint8_t* out) {
    if (payload.id.empty() || payload.id.size() > kMaxIdLength) {
        return 0;
    }
    std::memcpy(out + kPayloadTimestampOffset, payload.timestamp.bytes, kTai64nSize);
    std::memcpy(out + kPayloadLocalIpOffset, &payload.localIP, sizeof payload.localIP);
    writeBigEndian16(out + kPayloadPortStartOffset, payload.localPortStart);
    writeBigEndian16(out + kPayloadPortEndOffset, payload.localPortEnd);
    out[kPayloadTypeOffset] = payload.gatewayType;
    out[kPayloadIdLengthOffset] = static_cast<uint8_t>(payload.id.size());
    std::memcpy(out + kPayloadIdOffset, payload.id.data(), payload.id.size());
    return kPayloadIdOffset + payload.id.size();
}

}  // namespace gateway_datagram_v2
