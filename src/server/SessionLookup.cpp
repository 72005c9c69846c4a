// A proxy worker's query resolved by the session cache or the configuration service.
#include "server/SessionLookup.h"

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "server/GatewayClient.h"
#include "server/TunnelHost.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);
}  // namespace

void SessionLookup::query(const uint8_t* bytes, uint16_t length) {
    QueryFault fault = QueryFault::Length;
    const std::optional<CachedSessionQuery> query = decodeCachedSessionQuery(bytes, length, &fault);
    if (!query) {
        // A worker of this server sends no such query: it is not followed up at all.
        owner.sessionRefused(queryFaultText(fault));
        return;
    }
    // A new target replaces one still being looked up.
    lookup.reset();
    if (query->target == TargetKind::Device) {
        // Looking a client up authorises nothing: the tunnel stays with the client it has
        // (if any) until a client allows the session.
        GatewayClient* client = host->gatewayClient(query->gcId);
        if (client != nullptr && client->checkForCachedSessionId(query->ldId, query->sessionId)) {
            ++host->counters().sessionCacheHits;
            LOG4CPLUS_DEBUG(logger, "connection " << tamblo::logging::sessionTag(query->sessionId)
                                                  << " matched one from cache, allowing");
            std::string address;
            uint16_t devicePort = 0;
            client->getCachedData(query->ldId, query->sessionId, &address, &devicePort,
                                  host->clock().now());
            owner.sessionFound(client, *query, address, devicePort);
            return;
        }
        ++host->counters().sessionCacheMisses;
        LOG4CPLUS_DEBUG(logger, "could not authorize new connection basing on cache");
        owner.sessionNotCached();
    }
    if (++lookupsStarted > kMaxLookups) {
        owner.sessionRefused("too many lookups");
        return;
    }
    // Gateway targets and LD ids not above 0 are never cached: straight to the service.
    start(*query);
}

void SessionLookup::cancel() {
    if (lookup) {
        lookup->cancel();
    }
    locating.reset();
}

void SessionLookup::start(const CachedSessionQuery& query) {
    lookupQuery = query;
    lookup = std::make_unique<ConfigurationLookup>(
        loop, host->getRestPort(), lookupRequestFor(query),
        [this](ConfigurationLookup::Outcome outcome,
               const ConfigurationLookup::Configuration& found) { done(outcome, found); });
    lookup->start();
}

void SessionLookup::notConnected(const std::string& key) {
    ++host->counters().configurationsRefused;
    LOG4CPLUS_WARN(logger, "GC with MAC " << key << " is not connected.");
    owner.sessionRefused(nullptr);
}

void SessionLookup::locate(const std::string& key) {
    using Location = TunnelHost::GatewayLocation;
    located = false;
    locating = host->locateGateway(key, [this, key](Location where, const std::string& peer) {
        located = true;
        locating.reset();
        switch (where) {
            case Location::Elsewhere:
                owner.sessionElsewhere(key, peer);
                return;
            case Location::Nowhere:
                notConnected(key);
                return;
            case Location::Unknown:
                ++host->counters().forwardsUnlocated;
                LOG4CPLUS_WARN(logger, "GC with MAC " << key
                                                      << " is not connected here, and the gateway "
                                                         "directory cannot say where it is now");
                owner.sessionRefused(nullptr);
                return;
        }
    });
    if (!locating && !located) {
        notConnected(key);  // this server runs alone
    }
}

void SessionLookup::done(ConfigurationLookup::Outcome outcome,
                         const ConfigurationLookup::Configuration& found) {
    using Outcome = ConfigurationLookup::Outcome;
    // A failed or refused lookup ends the worker, which closes its client without an answer.
    if (outcome != Outcome::Found) {
        ++(outcome == Outcome::Failed ? host->counters().configurationsFailed
                                      : host->counters().configurationsRefused);
        owner.sessionRefused(nullptr);
        return;
    }
    GatewayClient* client = host->gatewayClient(std::string_view(found.serial));
    if (client == nullptr) {
        if (owner.mayForward()) {
            locate(found.serial);
        } else {
            notConnected(found.serial);
        }
        return;
    }
    ++host->counters().configurationsAnswered;
    const CachedSessionQuery query = lookupQuery;
    std::string address = found.deviceAddress;
    uint16_t devicePort = found.devicePort;
    if (query.target == TargetKind::Device) {
        // Only what a query can find again is cached; an entry made meanwhile stays as it is.
        const timeval now = host->clock().now();
        client->addLdInfo(query.ldId, address, devicePort, query.sessionId, now);
        client->getCachedData(query.ldId, query.sessionId, &address, &devicePort, now);
    }
    host->claimGatewayClientId(client, query.gcId, query.target == TargetKind::Gateway);
    owner.sessionFound(client, query, address, devicePort);
}
