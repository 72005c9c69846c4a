// The gateway registry: the records of the registered gateway clients (it owns them) and
// the tables that find them by key (MAC text or custom id), by sender address (sa2gc, and
// its text), and by numeric id (GC_ID); the limits on records in all and per public IPv4
// address, and the key agreements each source may ask for a second.
//
// The server object owns one; its gateway protocol (registration, keepalive, expiry, the
// dispatch of datagrams) changes the tables only through it.
#pragma once

#include <netinet/in.h>

#include <boost/unordered_map.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "common/RateLimit.h"
#include "server/AddressKey.h"
#include "server/ServerCounters.h"

class GatewayClient;
struct ServerSettings;

class GatewayRegistry {
  public:
    // Hears of every record that enters or leaves (not at clear()) and of numeric ids; the
    // shared directory is one.
    class Listener {
      public:
        virtual void gatewayAdded(const GatewayClient& client) = 0;
        virtual void gatewayRemoved(const GatewayClient& client) = 0;
        virtual void gatewayIdSet(const GatewayClient& client, uint32_t id) = 0;

      protected:
        ~Listener() = default;
    };
    void setListener(Listener* listener) { listener_ = listener; }

    GatewayRegistry(const ServerSettings& settings, ServerCounters& counters, FloodLogs& floodLogs);
    ~GatewayRegistry() { clear(); }
    GatewayRegistry(const GatewayRegistry&) = delete;
    GatewayRegistry& operator=(const GatewayRegistry&) = delete;

    GatewayClient* byKey(std::string_view key) const;
    GatewayClient* byId(uint32_t id) const;
    GatewayClient* bySender(const sockaddr_in& sender) const;
    // By the text of the sender's address ("a.b.c.d:port").
    GatewayClient* byAddressText(std::string_view text) const;
    size_t size() const { return gatewayClients.size(); }
    size_t keyedCount() const { return keyedGatewayClients; }
    size_t authenticatedCount() const { return authenticatedGatewayClients; }
    template <typename Visit>
    void forEach(Visit visit) const {
        for (const auto& entry : gatewayClients) {
            visit(entry.second);
        }
    }
    // Records whose last keepalive is more than silenceSeconds before now (a last keepalive
    // later than now counts as a very long silence).
    std::vector<GatewayClient*> silentFor(int64_t silenceSeconds, int64_t now) const;

    // Whether a registration of key from sender fits the limits once the replaced records
    // (at the sender's IP) are gone; a refusal is counted and logged at a bounded rate.
    bool registrationWithinLimits(std::string_view key, const sockaddr_in& sender, size_t replaced,
                                  double now);
    // A key agreement for a keyed registration from this address (network order): within
    // the address's rate, and within the rate of all addresses together, which forged
    // sources cannot spread beyond.
    enum class KeyAgreement { Granted, SourceOverRate, AllOverRate };
    KeyAgreement takeKeyAgreement(uint32_t address, double now) {
        if (!keyAgreementBuckets.take(address, now)) {
            return KeyAgreement::SourceOverRate;
        }
        return allKeyAgreements.take(now) ? KeyAgreement::Granted : KeyAgreement::AllOverRate;
    }

    // Takes the record in, at sender.
    void add(GatewayClient* client, const sockaddr_in& sender);
    // Erases every index entry that still names this record (another record may have taken
    // the same address or id since) and deletes it.
    void remove(GatewayClient* client);
    // Records the client's GC_ID, moving it from a previous one.
    void setId(GatewayClient* client, uint32_t id);
    // Records a client's GC_ID for the gateway that a lookup named. A gateway lookup proves
    // the id and may move it; a device lookup takes it only while no other live gateway
    // holds it (first come; released with its gateway's record). True when recorded.
    bool claimId(GatewayClient* client, uint32_t id, bool proven);
    // Deletes every record (the server's end).
    void clear();

  private:
    const ServerSettings& settings;
    ServerCounters& counters;
    FloodLogs& floodLogs;

    TextTable<GatewayClient*> gatewayClients;  // owns the records
    TextTable<GatewayClient*> gatewayClientsAddr;
    std::map<sockaddr_in, GatewayClient*, less_sockaddr_in> sa2gc;
    boost::unordered_map<uint32_t, GatewayClient*> gatewayClientIds;
    boost::unordered_map<uint32_t, uint32_t> gatewaysPerAddress;
    SourceTokenBuckets keyAgreementBuckets;
    TokenBucket allKeyAgreements;
    Listener* listener_ = nullptr;
    size_t authenticatedGatewayClients = 0;
    size_t keyedGatewayClients = 0;  // of gatewayClients; a scrape must not walk the table
};
