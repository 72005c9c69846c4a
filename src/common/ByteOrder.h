// Big-endian fields of the wire formats, read and written byte by byte (no alignment needed).
#pragma once

#include <cstdint>

inline uint16_t readBigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline void writeBigEndian16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline uint32_t readBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void writeBigEndian32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

inline uint64_t readBigEndian64(const uint8_t* p) {
    return (uint64_t{readBigEndian32(p)} << 32) | readBigEndian32(p + 4);
}

inline void writeBigEndian64(uint8_t* p, uint64_t value) {
    writeBigEndian32(p, static_cast<uint32_t>(value >> 32));
    writeBigEndian32(p + 4, static_cast<uint32_t>(value));
}
