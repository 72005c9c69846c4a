// This server's side of the shared gateway directory: the gateways registered here are
// claimed at their registration, refreshed in batches while they live and released when they
// leave, and a gateway that another server took (its registration there was later) loses its
// record here. Lookups for clients whose gateway is elsewhere use directory().
//
// The server object makes one when --directory is given and sets it as the registry's
// listener; the directory's statements run on the server's loop (libpq's asynchronous
// interface), so a database that is slow or away never stalls the relay of local gateways.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "directory/Directory.h"
#include "server/GatewayRegistry.h"

class Clock;
struct ServerSettings;

class GatewayDirectory final : public GatewayRegistry::Listener {
  public:
    // Throws std::invalid_argument for a connection string libpq refuses.
    GatewayDirectory(struct ev_loop* loop, const ServerSettings& settings,
                     GatewayRegistry& gateways, const Clock& clock);
    ~GatewayDirectory();
    GatewayDirectory(const GatewayDirectory&) = delete;
    GatewayDirectory& operator=(const GatewayDirectory&) = delete;

    void start();
    Directory& directory() { return *directory_; }
    const Directory& directory() const { return *directory_; }

    void gatewayAdded(const GatewayClient& client) override;
    void gatewayRemoved(const GatewayClient& client) override;
    void gatewayIdSet(const GatewayClient& client, uint32_t id) override;

  private:
    void refreshAll(int revents);
    void taken(const std::string& key);
    void dropTaken(int revents);

    GatewayRegistry& gateways;
    const Clock& clock;
    std::unique_ptr<Directory> directory_;
    EvTimer refreshTimer;
    // Records of gateways another server took, dropped on the loop's next pass rather than
    // inside the directory's own callback.
    std::vector<std::string> takenKeys;
    EvTimer takenTimer;
    struct ev_loop* loop;
};
