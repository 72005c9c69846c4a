// What a proxy worker's cached-session query leads to: the client's session cache first, then
// the configuration service, asked by the parent itself on its own loop. Only the answers of
// those two bind a connection to a gateway client and a device; the worker's query only names
// what to look for. At most kMaxLookups service lookups per worker, one at a time (a new query
// replaces one still under way).
//
// A proxy Tunnel holds one and is its Owner: it binds itself to the client that was found and
// sends the worker its connect parameters, or ends the session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/LanDeviceAuthData.h"
#include "server/ConfigurationLookup.h"

class GatewayClient;
class TunnelHost;

class SessionLookup {
  public:
    // Lookups at the configuration service that one worker may have the parent make: a client
    // names a few targets on one connection, a worker that names more serves no client (and
    // would turn the parent into a flood of requests).
    static constexpr uint32_t kMaxLookups = 32;

    class Owner {
      public:
        // The session is allowed on this client, to this device address and port.
        virtual void sessionFound(GatewayClient* client, const CachedSessionQuery& query,
                                  const std::string& deviceAddress, uint16_t devicePort) = 0;
        // Not in the client's cache: the worker learns so while the service is asked.
        virtual void sessionNotCached() = 0;
        // The configuration names a gateway that is not registered here: true when the
        // client may be forwarded to the server that holds it.
        virtual bool mayForward() const = 0;
        // That gateway is held by the server at peerAddress.
        virtual void sessionElsewhere(const std::string& key, const std::string& peerAddress) = 0;
        // Nothing is allowed: the session ends. With a refusal the worker's query itself was
        // at fault (refusal says how).
        virtual void sessionRefused(const char* refusal) = 0;

      protected:
        ~Owner() = default;
    };

    SessionLookup(TunnelHost* host, Owner& owner) : host(host), owner(owner) {}

    // A query as the worker's message carries it.
    void query(const uint8_t* bytes, uint16_t length);
    // The answer would come to a tunnel that is gone.
    void cancel();
    bool pending() const { return (lookup && lookup->pending()) || locating != nullptr; }

  private:
    void start(const CachedSessionQuery& query);
    void done(ConfigurationLookup::Outcome outcome,
              const ConfigurationLookup::Configuration& found);
    // Asks the gateway directory for a gateway that is not registered here.
    void locate(const std::string& key);
    void notConnected(const std::string& key);

    TunnelHost* host;
    Owner& owner;
    // The configuration lookup for the worker's last query, and that query.
    std::unique_ptr<ConfigurationLookup> lookup;
    CachedSessionQuery lookupQuery;
    uint32_t lookupsStarted = 0;
    // The directory's question about the configured gateway, while it is open.
    std::shared_ptr<void> locating;
    bool located = false;
};
