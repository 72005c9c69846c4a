// Datagrams on the gateway port as the server's dispatcher takes them: registrations with and
// without key, keepalives, envelopes, tunnel segments and channel datagrams, from a handful of
// senders, against one server whose records live on from input to input.
//
// Input: one byte that picks the sender (8 ports of 127.0.0.1), then the datagram.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "FuzzTarget.h"
#include "server/TambloServer.h"

namespace {
std::unique_ptr<TambloServer> server;

TambloServer& theServer() {
    if (!server) {
        loop = ev_default_loop(0);
        ServerSettings settings;
        settings.gcPort = 0;
        settings.ctrlPort = 0;
        settings.proxyPort = 0;
        settings.restPort = 0;
        settings.maxGateways = 4096;  // the fuzzer's memory stays bounded
        server = std::make_unique<TambloServer>(settings);
    }
    return *server;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The receive path hands the dispatcher a buffer of this size, decrypted in place.
    alignas(16) static uint8_t buffer[4096];
    const size_t length = size - 1 < sizeof buffer ? size - 1 : sizeof buffer;
    std::memcpy(buffer, data + 1, length);
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sender.sin_port = htons(static_cast<uint16_t>(40000 + (data[0] & 7)));
    theServer().io_cb_switch(sender, buffer, length);
    return 0;
}
