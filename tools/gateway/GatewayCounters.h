// What went through the gateway and what it refused: counted by the gateway's loop
// (GatewayTool), logged as one line of name=value pairs on SIGUSR1 and at exit, which the
// tests and benchmarks parse.
#pragma once

#include <cstdint>

// What went through the gateway and what it refused; printed on SIGUSR1 and at exit.
struct GatewayCounters {
    uint64_t datagramsIn = 0;
    uint64_t segmentsToTun = 0;
    uint64_t keepaliveAnswers = 0;
    uint64_t accepts = 0;
    uint64_t channelOrUnknown = 0;     // channel datagrams and types we have no use for
    uint64_t malformedDatagrams = 0;   // too short, bad TCP header, oversized
    uint64_t undecryptable = 0;        // envelopes we have no key for or that do not decrypt
    uint64_t plaintextRefused = 0;     // with --encrypt: tunnel/channel datagrams outside envelopes
    uint64_t acceptsRefused = 0;       // registration answers while none was outstanding
    uint64_t destinationsRefused = 0;  // segments for addresses the policy refuses
    uint64_t tunWriteErrors = 0;
    uint64_t packetsFromTun = 0;
    uint64_t packetsRefused = 0;  // not for the tunnel: other protocol, destination, fragment
    uint64_t datagramsOut = 0;    // tunnel segments sent to the server
    uint64_t sendErrors = 0;
    uint64_t tunPacketsOut = 0;   // writes to the TUN device (one may carry many segments)
    uint64_t udpMessagesOut = 0;  // send calls' messages (one may carry many datagrams)
    uint64_t registrations = 0;
    uint64_t keepalives = 0;
    uint64_t associationsLost = 0;
    uint64_t serverMoves = 0;  // moves to the next server of --server's list
    uint64_t rekeys = 0;         // version 2: handshakes that renewed the keys
    uint64_t cookieReplies = 0;  // version 2: cookie replies taken
};

// Logs "counters: name=value ..." at INFO.
void logCounters(const GatewayCounters& counters);
