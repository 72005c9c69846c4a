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
