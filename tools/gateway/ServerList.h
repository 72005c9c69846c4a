// The servers a gateway may register at (--server) and the one it uses now. The gateway's
// loop (GatewayTool) registers at the first; when its keepalives or a registration go
// unanswered it moves its connected UDP socket on to the next one, wrapping round, so that a
// gateway follows its servers' failover by itself. With servers that share a gateway
// directory any of them will do: the directory follows the latest registration.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/FileDescriptor.h"

// --server's list: comma-separated IPv4 addresses or host names, each with an optional
// ":PORT" (else defaultPort); a name stands for every IPv4 address it resolves to, in the
// resolver's order, duplicates left out. Empty with *error set when an entry is unusable.
std::vector<sockaddr_in> parseServerList(const std::string& text, uint16_t defaultPort,
                                         std::string* error);

class ServerList {
  public:
    explicit ServerList(std::vector<sockaddr_in> servers) : servers_(std::move(servers)) {}

    // The non-blocking UDP socket towards the servers (large buffers, bound to sourcePort
    // unless 0), connected to the current one: the kernel hands it datagrams from that server
    // only. Invalid with *error set when it cannot be made.
    UniqueFd openSocket(uint16_t sourcePort, std::string* error) const;
    const sockaddr_in& current() const { return servers_[index_]; }
    size_t size() const { return servers_.size(); }
    // Connects socket to the next server. False with a single server, or when the connect
    // fails (*error says why; the socket then still hears the server it had).
    bool moveOn(int socket, std::string* error);

  private:
    std::vector<sockaddr_in> servers_;
    size_t index_ = 0;
};
