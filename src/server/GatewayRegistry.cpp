// The gateway registry: records, their indexes and the registration limits.
#include "server/GatewayRegistry.h"

#include "common/Logging.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

GatewayRegistry::GatewayRegistry(const ServerSettings& settings, ServerCounters& counters,
                                 FloodLogs& floodLogs)
    : settings(settings),
      counters(counters),
      floodLogs(floodLogs),
      keyAgreementBuckets(settings.keyAgreementsPerSecond),
      allKeyAgreements(settings.keyAgreementsTotal) {}

void GatewayRegistry::clear() {
    for (auto& [key, client] : gatewayClients) {
        delete client;
    }
    gatewayClients.clear();
    gatewayClientsAddr.clear();
    sa2gc.clear();
    gatewayClientIds.clear();
    gatewaysPerAddress.clear();
    keyedGatewayClients = 0;
    authenticatedGatewayClients = 0;
}

GatewayClient* GatewayRegistry::byKey(std::string_view key) const {
    const auto it = gatewayClients.find(key, TextKeyHash(), TextKeyEqual());
    return it != gatewayClients.end() ? it->second : nullptr;
}

GatewayClient* GatewayRegistry::byId(uint32_t id) const {
    const auto it = gatewayClientIds.find(id);
    return it != gatewayClientIds.end() ? it->second : nullptr;
}

GatewayClient* GatewayRegistry::bySender(const sockaddr_in& sender) const {
    const auto it = sa2gc.find(sender);
    return it != sa2gc.end() ? it->second : nullptr;
}

GatewayClient* GatewayRegistry::byAddressText(std::string_view text) const {
    const auto it = gatewayClientsAddr.find(text, TextKeyHash(), TextKeyEqual());
    return it != gatewayClientsAddr.end() ? it->second : nullptr;
}

std::vector<GatewayClient*> GatewayRegistry::silentFor(int64_t silenceSeconds, int64_t now) const {
    std::vector<GatewayClient*> silent;
    for (const auto& [key, client] : gatewayClients) {
        // Unsigned: a last keepalive later than now counts as a very long silence.
        if (static_cast<uint64_t>(now) - static_cast<uint64_t>(client->lastKeepalive()) >
            static_cast<uint64_t>(silenceSeconds)) {
            silent.push_back(client);
        }
    }
    return silent;
}

bool GatewayRegistry::registrationWithinLimits(std::string_view key, const sockaddr_in& sender,
                                               size_t replaced, double now) {
    // The records that this registration replaces are at the sender's IP: they make room
    // under both limits.
    const auto perAddress = gatewaysPerAddress.find(sender.sin_addr.s_addr);
    const size_t atAddress = perAddress != gatewaysPerAddress.end() ? perAddress->second : 0;
    const char* limit = nullptr;
    uint32_t value = 0;
    if (gatewayClients.size() - replaced >= settings.maxGateways) {
        limit = "--max-gateways";
        value = settings.maxGateways;
    } else if (atAddress - replaced >= settings.maxGatewaysPerAddress) {
        limit = "--max-gateways-per-address";
        value = settings.maxGatewaysPerAddress;
    }
    if (limit == nullptr) {
        return true;
    }
    tamblo::logging::refuseOverLimit(
        &counters.registrationsRefusedLimit, logger, log4cplus::INFO_LOG_LEVEL,
        floodLogs.registrationLimit, now, limit, value, [&](auto& line) {
            line << "Dropping registration of GC " << key << " from " << addressKeyText(sender);
        });
    return false;
}

void GatewayRegistry::add(GatewayClient* client, const sockaddr_in& sender) {
    gatewayClients[client->key()] = client;
    sa2gc[sender] = client;
    gatewayClientsAddr[addressKeyText(sender)] = client;
    ++gatewaysPerAddress[sender.sin_addr.s_addr];
    keyedGatewayClients += client->isEncrypted() ? 1 : 0;
    authenticatedGatewayClients += client->isAuthenticated() ? 1 : 0;
    if (listener_ != nullptr) {
        listener_->gatewayAdded(*client);
    }
}

void GatewayRegistry::remove(GatewayClient* client) {
    const auto byKey = gatewayClients.find(client->key());
    const bool listed = byKey != gatewayClients.end() && byKey->second == client;
    if (listed) {
        gatewayClients.erase(byKey);
        keyedGatewayClients -= client->isEncrypted() ? 1 : 0;
        authenticatedGatewayClients -= client->isAuthenticated() ? 1 : 0;
    }
    const auto byAddress = sa2gc.find(client->getAddress());
    if (byAddress != sa2gc.end() && byAddress->second == client) {
        sa2gc.erase(byAddress);
    }
    AddressKeyBuffer text;
    formatAddressKey(client->getAddress(), {}, 0, &text);
    const auto byText = gatewayClientsAddr.find(text.view(), TextKeyHash(), TextKeyEqual());
    if (byText != gatewayClientsAddr.end() && byText->second == client) {
        gatewayClientsAddr.erase(byText);
    }
    const auto perAddress = gatewaysPerAddress.find(client->getAddress().sin_addr.s_addr);
    if (perAddress != gatewaysPerAddress.end() && --perAddress->second == 0) {
        gatewaysPerAddress.erase(perAddress);
    }
    const auto byId = gatewayClientIds.find(client->id());
    if (byId != gatewayClientIds.end() && byId->second == client) {
        gatewayClientIds.erase(byId);
    }
    if (listener_ != nullptr && listed) {
        listener_->gatewayRemoved(*client);
    }
    delete client;
}

void GatewayRegistry::setId(GatewayClient* client, uint32_t id) {
    const uint32_t previous = client->id();
    if (previous != id) {
        const auto old = gatewayClientIds.find(previous);
        if (old != gatewayClientIds.end() && old->second == client) {
            gatewayClientIds.erase(old);
        }
    }
    client->id(id);
    gatewayClientIds[id] = client;
    if (listener_ != nullptr && previous != id) {
        listener_->gatewayIdSet(*client, id);
    }
}

bool GatewayRegistry::claimId(GatewayClient* client, uint32_t id, bool proven) {
    const GatewayClient* holder = byId(id);
    if (!proven && holder != nullptr && holder != client) {
        LOG4CPLUS_DEBUG(logger, "GC id " << id << " is held by GC " << holder->key()
                                         << ", not recording it for GC " << client->key());
        return false;
    }
    setId(client, id);
    return true;
}
