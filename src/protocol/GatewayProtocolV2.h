// Protocol constants of the authenticated gateway registration and transport (version 2),
// kept apart from the tuning constants of the units that use them. The names and values are
// WireGuard's (its paper, section 6.1), so that a reader can hold the two side by side:
// they bound how long and how much one set of session keys may be used, how often a gateway
// may try a handshake, and how long a cookie lasts. Used by NoiseTransport, HandshakeCookie
// and the gateway side of the handshake.
#pragma once

#include <chrono>
#include <cstdint>

namespace gateway_v2 {

// Time as the transport and the cookies see it: monotonic, and handed in by the caller so
// that tests can move it.
using Instant = std::chrono::steady_clock::time_point;
using Seconds = std::chrono::seconds;

namespace protocol {

// A session's sender starts a new handshake after this many messages ...
constexpr uint64_t REKEY_AFTER_MESSAGES = uint64_t{1} << 60;
// ... and no counter at or above this is sent or accepted (2^64 - 2^13 - 1: the replay window
// never has to slide past the largest counter).
constexpr uint64_t REJECT_AFTER_MESSAGES = UINT64_MAX - (uint64_t{1} << 13);
// The initiator starts a new handshake for sessions older than this ...
constexpr Seconds REKEY_AFTER_TIME{120};
// ... and neither side uses a session older than this.
constexpr Seconds REJECT_AFTER_TIME{180};
// The initiator gives up retrying a handshake after this long ...
constexpr Seconds REKEY_ATTEMPT_TIME{90};
// ... and retries one that got no response after this long.
constexpr Seconds REKEY_TIMEOUT{5};
// The longest silence of a session that carries traffic one way.
constexpr Seconds KEEPALIVE_TIMEOUT{10};
// The server's cookie secret changes, and a gateway's cookie expires, after this long.
constexpr Seconds COOKIE_REFRESH_TIME{120};

}  // namespace protocol

}  // namespace gateway_v2
