// The authorisation record that a worker sends its parent (pipe messages 250 and 252).
//
//    0        4        8                     264             392             520             648
//    650  652
//   +--------+--------+---------------------+---------------+---------------+---------------+------+----+
//   | gcId   | ldId   | mac (256)           | sessionId     | ipAddress     | ipOverride    | port
//   | -- | | u32    | u32    | GC key text         | (128)         | (128)         | (128) | u16  |
//   00 |
//   +--------+--------+---------------------+---------------+---------------+---------------+------+----+
//
// Numbers in the host's byte order (both ends run on one machine); texts NUL-terminated
// inside their fields; the writer zero-fills the record first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

struct LanDeviceAuthData {
    uint32_t gcId;
    uint32_t ldId;
    char mac[256];
    char sessionId[128];
    char ipAddress[128];
    char ipOverride[128];
    uint16_t port;
    uint8_t padding[2];
};

static_assert(sizeof(LanDeviceAuthData) == 652, "LanDeviceAuthData is 652 bytes on the pipe");
static_assert(offsetof(LanDeviceAuthData, gcId) == 0);
static_assert(offsetof(LanDeviceAuthData, ldId) == 4);
static_assert(offsetof(LanDeviceAuthData, mac) == 8);
static_assert(offsetof(LanDeviceAuthData, sessionId) == 264);
static_assert(offsetof(LanDeviceAuthData, ipAddress) == 392);
static_assert(offsetof(LanDeviceAuthData, ipOverride) == 520);
static_assert(offsetof(LanDeviceAuthData, port) == 648);

constexpr size_t kLanDeviceAuthDataSize = sizeof(LanDeviceAuthData);

// A zero-filled record.
LanDeviceAuthData makeLanDeviceAuthData();

// Copies text into a field, cut so that the terminating zero fits.
template <size_t N>
void setAuthText(char (&field)[N], std::string_view text) {
    const size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// The record of exactly kLanDeviceAuthDataSize received bytes, with every text field
// terminated inside its bounds; nothing for any other length.
std::optional<LanDeviceAuthData> decodeLanDeviceAuthData(const uint8_t* bytes, size_t length);
