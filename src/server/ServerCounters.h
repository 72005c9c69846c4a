// What the parent counts and gauges: the datagrams of the gateway port by kind, what it
// dropped or refused and why, the workers it started and how they ended, and one log-line
// limiter per line that a flood can trigger.
//
// The server owns one of each; the gateway clients, the tunnels and the registry count into
// them on the loop, and the metrics endpoint (Metrics.cpp) and the tests read them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/RateLimit.h"
#include "server/WorkerReaper.h"

// The kinds of gateway datagrams that the metrics tell apart. An envelope counts as the
// kind of what it carries; one that cannot be opened counts as Unknown.
enum class DatagramKind : uint8_t { Control, Tunnel, Channel, Unknown };
inline constexpr size_t kDatagramKinds = 4;
// The kind of a datagram received from a gateway, by its first byte.
DatagramKind datagramKindOf(uint8_t type);

struct DatagramCounts {
    uint64_t datagrams[kDatagramKinds] = {};
    uint64_t bytes[kDatagramKinds] = {};
    void count(DatagramKind kind, size_t length) {
        ++datagrams[static_cast<size_t>(kind)];
        bytes[static_cast<size_t>(kind)] += length;
    }
};

// Why the parent dropped a message from a worker (a worker is untrusted: it parses what the
// internet sends). Names for the metrics in Metrics.cpp.
enum class WorkerRefusal : uint8_t {
    ForgedConfiguration,  // 252: a configuration found by a worker authorises nothing
    NotAllowed,           // a type this kind of worker does not send
    ForeignPacket,        // a tunnel packet outside the tunnel's authorised connection
    ForeignChannel,       // a channel datagram, 247 or 248 outside the tunnel's channel pair
    BadQuery,             // a cached-session query that does not pass its checks
};
inline constexpr size_t kWorkerRefusals = 5;

// Why an authenticated (version 2) handshake initiation got no response, and why a transport
// datagram was dropped. Names for the metrics in Metrics.cpp.
enum class HandshakeFailure : uint8_t {
    Disabled,       // the server has no --server-key
    Malformed,      // layout or reserved bytes
    Mac,            // mac1 wrong: not made for this server's key
    Undecryptable,  // the Noise message does not authenticate, or its payload is malformed
    UnknownKey,     // the id has no pinned key, or another one
    Replayed,       // its timestamp is not later than the last one of that key
    Failed,         // the key agreement or randomness failed
};
inline constexpr size_t kHandshakeFailures = 7;
enum class TransportDrop : uint8_t {
    Malformed,     // layout or reserved bytes
    UnknownIndex,  // no session receives under that index
    Replayed,      // counter seen before or behind the window
    Forged,        // did not authenticate
    Expired,       // the session is too old
    NotAllowed,    // the inner datagram is no tunnel segment, channel datagram or keepalive
};
inline constexpr size_t kTransportDrops = 6;

// What the parent dropped or refused, and why; read by tests and by the metrics endpoint.
// Plain counters, written on the loop only.
struct ServerCounters {
    uint64_t registrationsAccepted = 0;
    uint64_t registrationsRefusedOtherIp = 0;    // known client, registering from another IP
    uint64_t registrationsRefusedKey = 0;        // public key with no usable shared secret
    uint64_t registrationsRefusedMalformed = 0;  // too short, custom id past the end
    uint64_t registrationsRefusedLimit = 0;      // over the gateway limits
    uint64_t registrationsRefusedKeyRate = 0;    // over the key agreement rate of the source
    // Version 1 registrations refused by --gateway-auth (a pinned id, or v1 required off),
    // and those over the share of --max-gateways that version 1 may take.
    uint64_t registrationsRefusedPolicy = 0;
    uint64_t registrationsRefusedV1Share = 0;
    // The authenticated registration: handshakes answered (each a registration or a new
    // session of a registered gateway), cookie replies sent under load, and failures.
    uint64_t handshakesAnswered = 0;
    uint64_t cookieRepliesSent = 0;
    uint64_t handshakeFailures[kHandshakeFailures] = {};
    uint64_t transportDropped[kTransportDrops] = {};
    uint64_t gatewayRoams = 0;  // an authenticated gateway's datagrams came from a new address
    uint64_t keepalivesAnswered = 0;
    uint64_t keepalivesFromOtherAddress = 0;  // ignored: the record stays as it is
    uint64_t expiries = 0;
    uint64_t plaintextOnKeyedDropped = 0;  // tunnel/channel datagrams outside the envelope
    uint64_t undecryptableDropped = 0;
    uint64_t unknownSessionDropped = 0;
    uint64_t tunnelPacketsPipeFullDropped = 0;  // worker pipe full: dropped as a lossy link would
    uint64_t workerWakeWrites = 0;  // writes of gathered tunnel packets to a worker's pipe
    uint64_t workerWakesHeld = 0;   // batches of tunnel packets held back by the moderation
    uint64_t workersRefused = 0;    // connections and recordings over a worker limit
    // Channel datagrams (RTP, RTCP) that found a worker's pipe full: dropped the same way.
    uint64_t channelDatagramsPipeFullDropped = 0;
    // Proxy connections closed while they waited for their first bytes.
    uint64_t proxyConnectionsTimedOut = 0;  // silent for the request-head time-out
    uint64_t proxyConnectionsEvicted = 0;   // the oldest, over --max-waiting-connections
    // Control connections.
    uint64_t controlConnectionsRefused = 0;     // over --max-control-connections
    uint64_t controlConnectionsIdleClosed = 0;  // silent, with no recording running

    // Traffic of the gateway port and what it dropped beyond the reasons above.
    DatagramCounts received;
    DatagramCounts sent;
    uint64_t tooShortDropped = 0;        // too short for its type (not registrations)
    uint64_t malformedDropped = 0;       // keepalives whose custom id runs past the end
    uint64_t unknownSenderDropped = 0;   // envelope or channel datagram from no registered GC
    uint64_t unknownGatewayDropped = 0;  // keepalive naming no registered GC
    uint64_t unknownChannelDropped = 0;  // channel datagram for a channel nobody holds
    // Bytes of tunnel packets (TCP segments) through the parent in each direction.
    uint64_t relayedToDevices = 0;
    uint64_t relayedFromDevices = 0;

    // Workers and the parent side of the pipe protocol.
    uint64_t proxyWorkersStarted = 0;
    uint64_t recordingWorkersStarted = 0;
    uint64_t forkFailures = 0;
    WorkerExits workerExits;
    uint64_t sessionCacheHits = 0;
    uint64_t sessionCacheMisses = 0;
    // The parent's lookups at the configuration service.
    uint64_t configurationsAnswered = 0;  // authorised, its gateway client connected
    uint64_t configurationsRefused = 0;   // the answer refused it, or named no connected client
    uint64_t configurationsFailed = 0;    // the service could not be asked in time
    uint64_t workerMessagesRefused[kWorkerRefusals] = {};

    // Clients carried between the servers that share the gateway directory.
    uint64_t forwardsOut = 0;         // passed to the server holding their gateway
    uint64_t forwardFailures = 0;     // that server could not be reached
    uint64_t forwardsUnlocated = 0;   // the directory could not say where the gateway is
    uint64_t forwardsIn = 0;          // forwarded to this server, taken at the peer port
    uint64_t peerRefusedNetwork = 0;  // peer port connections from outside --peer-networks
    uint64_t peerRefusedHeader = 0;   // peer port connections without a usable PROXY header
};

// Values the metrics read from the server's tables at the moment of a scrape.
struct ServerGauges {
    size_t gatewayClientsPlain = 0;
    size_t gatewayClientsKeyed = 0;
    size_t gatewayClientsAuthenticated = 0;  // registered through the version 2 handshake
    size_t proxyWorkers = 0;
    size_t recordingWorkers = 0;
    size_t spareWorkers = 0;        // proxy workers forked ahead of need, no client yet
    size_t workersBeingReaped = 0;  // ended tunnels whose worker has not been reaped yet
    size_t sessions = 0;
    size_t waitingConnections = 0;  // proxy connections without their first bytes yet
    size_t controlConnections = 0;
    double workerWakeHoldSeconds = 0;  // how long a busy worker's packets wait now
};

// One limiter per log line that a datagram or connection flood can trigger, so that each line
// says how many of its own kind were left out. Lines at DEBUG and TRACE, which describe single
// packets by intent and are off at the default level, are not limited.
struct FloodLogs {
    // registrations
    LogRateLimiter registrationLimit;
    LogRateLimiter otherIp;
    LogRateLimiter malformed;
    LogRateLimiter customId;
    LogRateLimiter keyRate;
    LogRateLimiter unusableKey;
    LogRateLimiter accepted;
    LogRateLimiter policy;
    LogRateLimiter handshake;
    // keepalives
    LogRateLimiter keepaliveAddress;
    LogRateLimiter keepaliveAnswer;
    // tunnel segments and channel datagrams
    LogRateLimiter plaintext;
    LogRateLimiter unknownSender;
    LogRateLimiter undecryptable;
    LogRateLimiter unknownSession;
    LogRateLimiter unknownChannel;
    LogRateLimiter unencryptable;
    // connections
    LogRateLimiter workerLimit;
    LogRateLimiter waitingLimit;
    LogRateLimiter controlLimit;
    LogRateLimiter acceptFailure;
    LogRateLimiter peerRefused;
    LogRateLimiter forwardFailure;
};
