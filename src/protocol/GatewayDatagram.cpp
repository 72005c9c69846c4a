// Decoding and encoding of gateway datagrams, bounded by the bytes actually received.
#include "protocol/GatewayDatagram.h"

#include <cstring>

#include "common/ByteOrder.h"

namespace gateway_datagram {

namespace {

// Reads the optional "length, id" tail at offset; false when the id runs past the end.
bool readCustomId(const uint8_t* data, size_t length, size_t lengthOffset, uint8_t* idLength,
                  std::string_view* id) {
    *idLength = data[lengthOffset];
    if (*idLength == 0) {
        return true;
    }
    if (length - (lengthOffset + 1) < *idLength) {
        return false;
    }
    *id = std::string_view(reinterpret_cast<const char*>(data + lengthOffset + 1), *idLength);
    return true;
}

}  // namespace

MacKey formatMacKey(const uint8_t* mac) {
    static const char kHex[] = "0123456789ABCDEF";
    MacKey key;
    for (size_t i = 0; i < kMacSize; ++i) {
        key.text[i * 3] = kHex[mac[i] >> 4];
        key.text[i * 3 + 1] = kHex[mac[i] & 0x0f];
        if (i + 1 < kMacSize) {
            key.text[i * 3 + 2] = ':';
        }
    }
    return key;
}

ParseStatus parseRegistration(const uint8_t* data, size_t length, bool withKey, Registration* out) {
    if (length < (withKey ? kConnectTlsMinSize : kConnectMinSize)) {
        return ParseStatus::TooShort;
    }
    Registration reg;
    reg.withKey = withKey;
    reg.mac = data + kMacOffset;
    std::memcpy(&reg.localIP, data + kLocalIpOffset, sizeof reg.localIP);
    reg.localPortStart = readBigEndian16(data + kPortStartOffset);
    reg.localPortEnd = readBigEndian16(data + kPortEndOffset);
    reg.type = data[kTypeOffset];
    if (withKey) {
        reg.publicKey = data + kPublicKeyOffset;
    }
    if (length > kCustomIdLengthOffset) {
        reg.hasCustomIdLength = true;
        if (!readCustomId(data, length, kCustomIdLengthOffset, &reg.customIdLength,
                          &reg.customId)) {
            *out = reg;
            return ParseStatus::CustomIdOverrun;
        }
    }
    *out = reg;
    return ParseStatus::Ok;
}

ParseStatus parseKeepalive(const uint8_t* data, size_t length, Keepalive* out) {
    if (length < kKeepaliveMinSize) {
        return ParseStatus::TooShort;
    }
    Keepalive keepalive;
    keepalive.mac = data + kMacOffset;
    if (length > kKeepaliveIdLengthOffset &&
        !readCustomId(data, length, kKeepaliveIdLengthOffset, &keepalive.customIdLength,
                      &keepalive.customId)) {
        *out = keepalive;
        return ParseStatus::CustomIdOverrun;
    }
    *out = keepalive;
    return ParseStatus::Ok;
}

bool parseTunnelSegmentRoute(const uint8_t* data, size_t length, TunnelSegmentRoute* out) {
    if (length < kTunnelSegmentMinSize) {
        return false;
    }
    std::memcpy(&out->device, data + kDeviceAddressOffset, sizeof out->device);
    std::memcpy(&out->rawPortField, data + kDestinationPortOffset, sizeof out->rawPortField);
    out->localPort = readBigEndian16(data + kDestinationPortOffset);
    return true;
}

size_t encodeAcceptTls(const uint8_t* serverPublicKey, uint8_t* out) {
    out[0] = TAMBLO_MT_ACCEPTTLS;
    std::memcpy(out + 1, serverPublicKey, kPublicKeySize);
    return kAcceptTlsSize;
}

size_t encodeRegistration(const RegistrationFields& fields, uint8_t* out) {
    const bool withKey = fields.publicKey != nullptr;
    out[0] = withKey ? TAMBLO_MT_CONNECTTLS : TAMBLO_MT_CONNECT;
    std::memcpy(out + kMacOffset, fields.mac, kMacSize);
    std::memcpy(out + kLocalIpOffset, &fields.localIP, sizeof fields.localIP);
    writeBigEndian16(out + kPortStartOffset, fields.localPortStart);
    writeBigEndian16(out + kPortEndOffset, fields.localPortEnd);
    out[kTypeOffset] = fields.type;
    size_t length = kConnectMinSize;
    if (withKey || !fields.customId.empty()) {
        std::memset(out + kPublicKeyOffset, 0, kPublicKeySize);
        if (withKey) {
            std::memcpy(out + kPublicKeyOffset, fields.publicKey, kPublicKeySize);
        }
        length = kConnectTlsMinSize;
    }
    if (!fields.customId.empty()) {
        const size_t idLength = fields.customId.size() > 255 ? 255 : fields.customId.size();
        out[kCustomIdLengthOffset] = static_cast<uint8_t>(idLength);
        std::memcpy(out + kCustomIdOffset, fields.customId.data(), idLength);
        length = kCustomIdOffset + idLength;
    }
    return length;
}

size_t encodeKeepalive(const uint8_t* mac, std::string_view customId, uint8_t* out) {
    out[0] = TAMBLO_MT_KEEPALIVE;
    std::memcpy(out + kMacOffset, mac, kMacSize);
    if (customId.empty()) {
        return kKeepaliveMinSize;
    }
    const size_t idLength = customId.size() > 255 ? 255 : customId.size();
    out[kKeepaliveIdLengthOffset] = static_cast<uint8_t>(idLength);
    std::memcpy(out + kKeepaliveIdOffset, customId.data(), idLength);
    return kKeepaliveIdOffset + idLength;
}

}  // namespace gateway_datagram
