// The authorisation record that a worker sends its parent (pipe messages 250 and 252).
//
//   offset  size  field
//        0     4  gcId           u32, the client's GC_ID
//        4     4  ldId           u32, the client's LD_ID (0 for none or one not above 0)
//        8   256  mac            GC key text (252: the serial number the lookup found)
//      264   128  sessionId      text
//      392   128  ipAddress      text (252: the device address)
//      520   128  ipOverride     text
//      648     2  port           u16 (252: the device port)
//      650     1  gatewayLookup  252: 1 when the lookup was of the gateway itself
//      651     1  padding        zero
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
    uint8_t gatewayLookup;  // 252: 1 when the configuration service confirmed gcId itself
    uint8_t padding;
};

static_assert(sizeof(LanDeviceAuthData) == 652, "LanDeviceAuthData is 652 bytes on the pipe");
static_assert(offsetof(LanDeviceAuthData, gcId) == 0);
static_assert(offsetof(LanDeviceAuthData, ldId) == 4);
static_assert(offsetof(LanDeviceAuthData, mac) == 8);
static_assert(offsetof(LanDeviceAuthData, sessionId) == 264);
static_assert(offsetof(LanDeviceAuthData, ipAddress) == 392);
static_assert(offsetof(LanDeviceAuthData, ipOverride) == 520);
static_assert(offsetof(LanDeviceAuthData, port) == 648);
static_assert(offsetof(LanDeviceAuthData, gatewayLookup) == 650);

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
