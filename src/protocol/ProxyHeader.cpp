// Encoding and decoding of the PROXY protocol version 2 header (layout in ProxyHeader.h).
#include "protocol/ProxyHeader.h"

#include <algorithm>
#include <cstring>

#include "common/ByteOrder.h"

namespace proxy_header {

namespace {

// The size of the address block of a family; false for a family the header cannot carry.
bool addressBlockSize(uint8_t family, size_t* size) {
    switch (family) {
        case kFamilyUnspecified:
            *size = 0;
            return true;
        case kFamilyInet:
            *size = kInetAddressSize;
            return true;
        case kFamilyInet6:
            *size = kInet6AddressSize;
            return true;
        case kFamilyUnix:
            *size = kUnixAddressSize;
            return true;
        default:
            return false;
    }
}

// True when the TLVs fill [data, data + length) exactly, each one within it.
bool tlvsFit(const uint8_t* data, size_t length) {
    size_t offset = 0;
    while (offset < length) {
        if (length - offset < kTlvHeaderSize) {
            return false;
        }
        const size_t valueLength = readBigEndian16(data + offset + 1);
        offset += kTlvHeaderSize;
        if (length - offset < valueLength) {
            return false;
        }
        offset += valueLength;
    }
    return true;
}

sockaddr_in inetAddress(const uint8_t* address, const uint8_t* port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    std::memcpy(&out.sin_addr.s_addr, address, 4);  // network order, as on the wire
    std::memcpy(&out.sin_port, port, 2);
    return out;
}

}  // namespace

Status decode(const uint8_t* data, size_t length, Header* out, size_t* consumed) {
    if (length == 0) {
        return Status::NeedMore;
    }
    if (std::memcmp(data, kSignature, std::min(length, kSignatureSize)) != 0) {
        return Status::NotProxy;
    }
    if (length < kFixedSize) {
        return Status::NeedMore;
    }
    const uint8_t version = data[kVersionCommandOffset] >> 4;
    const uint8_t command = data[kVersionCommandOffset] & 0x0F;
    if (version != kVersion || (command != kCommandLocal && command != kCommandProxy)) {
        return Status::Malformed;
    }
    const size_t blockLength = readBigEndian16(data + kLengthOffset);
    if (kFixedSize + blockLength > kMaxHeaderSize) {
        return Status::TooLong;
    }
    if (length < kFixedSize + blockLength) {
        return Status::NeedMore;
    }
    const uint8_t family = data[kFamilyOffset] >> 4;
    const uint8_t protocol = data[kFamilyOffset] & 0x0F;
    size_t addressSize = 0;
    if (!addressBlockSize(family, &addressSize) || protocol > kProtocolDgram ||
        blockLength < addressSize) {
        return Status::Malformed;
    }
    const uint8_t* block = data + kFixedSize;
    if (!tlvsFit(block + addressSize, blockLength - addressSize)) {
        return Status::Malformed;
    }
    Header header;
    if (command == kCommandLocal) {
        header.local = true;
    } else if (family != kFamilyInet || protocol != kProtocolStream) {
        return Status::Unsupported;
    } else {
        header.source = inetAddress(block + kInetSourceOffset, block + kInetSourcePortOffset);
        header.destination =
            inetAddress(block + kInetDestinationOffset, block + kInetDestinationPortOffset);
    }
    *out = header;
    *consumed = kFixedSize + blockLength;
    return Status::Ok;
}

size_t encode(const Header& header, uint8_t* out) {
    std::memcpy(out, kSignature, kSignatureSize);
    if (header.local) {
        out[kVersionCommandOffset] = static_cast<uint8_t>(kVersion << 4 | kCommandLocal);
        out[kFamilyOffset] = static_cast<uint8_t>(kFamilyUnspecified << 4);
        writeBigEndian16(out + kLengthOffset, 0);
        return kLocalHeaderSize;
    }
    out[kVersionCommandOffset] = static_cast<uint8_t>(kVersion << 4 | kCommandProxy);
    out[kFamilyOffset] = static_cast<uint8_t>(kFamilyInet << 4 | kProtocolStream);
    writeBigEndian16(out + kLengthOffset, static_cast<uint16_t>(kInetAddressSize));
    uint8_t* block = out + kFixedSize;
    std::memcpy(block + kInetSourceOffset, &header.source.sin_addr.s_addr, 4);
    std::memcpy(block + kInetDestinationOffset, &header.destination.sin_addr.s_addr, 4);
    std::memcpy(block + kInetSourcePortOffset, &header.source.sin_port, 2);
    std::memcpy(block + kInetDestinationPortOffset, &header.destination.sin_port, 2);
    return kInetHeaderSize;
}

const char* statusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::NeedMore:
            return "incomplete PROXY header";
        case Status::NotProxy:
            return "no PROXY header";
        case Status::Malformed:
            return "malformed PROXY header";
        case Status::TooLong:
            return "PROXY header too long";
        case Status::Unsupported:
            return "PROXY header for other than IPv4 TCP";
    }
    return "unknown";
}

}  // namespace proxy_header
