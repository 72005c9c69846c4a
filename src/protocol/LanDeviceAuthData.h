// The record of a proxy worker's cached-session query (pipe message 250): what its client
// asked for, nothing more. The parent checks the cache and, on a miss, asks the configuration
// service itself; a worker's word authorises nothing.
//
//   offset  size  field
//        0     4  gcId        u32, the client's GC_ID
//        4     4  ldId        u32, the client's LD_ID (see target)
//        8   256  mac         zero (not read)
//      264   128  sessionId   text, the client's JSESSIONID
//      392   128  ipAddress   zero (not read)
//      520   128  ipOverride  zero (not read)
//      648     2  port        zero (not read)
//      650     1  target      0: LAN device ldId (above 0); 1: the gateway itself (ldId 0);
//                             2: an LD_ID not above 0, ldId holding its magnitude ("-1": 1)
//      651     1  service     the client's relay service choice (RelayService value)
//
// Numbers in the host's byte order (both ends run on one machine); texts NUL-terminated
// inside their fields; the writer zero-fills the record first. The fields that the parent does
// not read keep the record at its 652 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/RelayService.h"

struct LanDeviceAuthData {
    uint32_t gcId;
    uint32_t ldId;
    char mac[256];
    char sessionId[128];
    char ipAddress[128];
    char ipOverride[128];
    uint16_t port;
    uint8_t target;
    uint8_t service;
};

static_assert(sizeof(LanDeviceAuthData) == 652, "LanDeviceAuthData is 652 bytes on the pipe");
static_assert(offsetof(LanDeviceAuthData, gcId) == 0);
static_assert(offsetof(LanDeviceAuthData, ldId) == 4);
static_assert(offsetof(LanDeviceAuthData, mac) == 8);
static_assert(offsetof(LanDeviceAuthData, sessionId) == 264);
static_assert(offsetof(LanDeviceAuthData, ipAddress) == 392);
static_assert(offsetof(LanDeviceAuthData, ipOverride) == 520);
static_assert(offsetof(LanDeviceAuthData, port) == 648);
static_assert(offsetof(LanDeviceAuthData, target) == 650);
static_assert(offsetof(LanDeviceAuthData, service) == 651);

constexpr size_t kLanDeviceAuthDataSize = sizeof(LanDeviceAuthData);

// What a lookup is about: a LAN device, the gateway client itself, or an LD_ID not above 0
// (asked of the configuration service as it is, never of the cache).
enum class TargetKind : uint8_t { Device = 0, Gateway = 1, DeviceNotAboveZero = 2 };

// A query as the parent takes it: every field checked.
struct CachedSessionQuery {
    uint32_t gcId = 0;
    uint32_t ldId = 0;  // Device: the id; Gateway: 0; DeviceNotAboveZero: the magnitude
    TargetKind target = TargetKind::Device;
    RelayService service = RelayService::None;
    std::string sessionId;
};

// Why a query was refused.
enum class QueryFault { Length, Target, Service, SessionId };
const char* queryFaultText(QueryFault fault);

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

// The worker's query record.
LanDeviceAuthData encodeCachedSessionQuery(const CachedSessionQuery& query);
// The parent's reading of a query from an untrusted worker: the length, the target kind with
// its id (a device id above 0, the gateway with id 0), a known service and a session id that
// can go into the configuration request as it is. Nothing (and *fault set) otherwise.
std::optional<CachedSessionQuery> decodeCachedSessionQuery(const uint8_t* bytes, size_t length,
                                                           QueryFault* fault);

// A session id that can stand in a Cookie header as it is: visible ASCII only, none of
// blank, ';', ',', '"' or '\' (so it cannot end the cookie, the header or the request).
bool validSessionId(std::string_view sessionId);
