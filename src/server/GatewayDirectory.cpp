// The gateways of this server in the shared directory.
#include "server/GatewayDirectory.h"

#include "common/Clock.h"
#include "common/Logging.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

GatewayDirectory::GatewayDirectory(struct ev_loop* loop, const ServerSettings& settings,
                                   GatewayRegistry& gateways, const Clock& clock)
    : gateways(gateways), clock(clock), loop(loop) {
    PgClientSettings database;
    database.conninfo = settings.directory;
    DirectorySettings directory;
    directory.serverId = settings.serverId;
    directory.peerAddress = settings.peerAddress;
    // Refreshes go out every --directory-refresh seconds: three chances within a claim's expiry.
    const double refresh = settings.directoryRefresh;
    directory.expirySeconds = 3 * refresh;
    directory_ = std::make_unique<Directory>(loop, database, directory);
    directory_->setTakenCallback([this](const std::string& key) { taken(key); });
    directory_->setReadyCallback([](bool ready) {
        if (ready) {
            LOG4CPLUS_INFO(logger, "Gateway directory ready");
        } else {
            LOG4CPLUS_WARN(logger,
                           "Gateway directory unavailable; local gateways go on, "
                           "clients of other servers' gateways are refused");
        }
    });
    ev_timer_init(refreshTimer.get(),
                  (evMemberCallback<GatewayDirectory, ev_timer, &GatewayDirectory::refreshAll>),
                  refresh, refresh);
    refreshTimer.get()->data = this;
    refreshTimer.start(loop);
    ev_timer_init(takenTimer.get(),
                  (evMemberCallback<GatewayDirectory, ev_timer, &GatewayDirectory::dropTaken>), 0,
                  0);
    takenTimer.get()->data = this;
}

GatewayDirectory::~GatewayDirectory() {
    refreshTimer.stop();
    takenTimer.stop();
}

void GatewayDirectory::start() {
    directory_->start();
}

namespace {
double wallSeconds(const Clock& clock) {
    const timeval now = clock.now();
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
}

// A change that finds the queue full is lost: the next refresh or registration says it again.
void logFull(const char* change, const std::string& key) {
    LOG4CPLUS_WARN(logger, "Gateway directory: too many changes waiting, " << change << " of GC "
                                                                           << key << " dropped");
}
}  // namespace

void GatewayDirectory::gatewayAdded(const GatewayClient& client) {
    const std::optional<uint32_t> id =
        client.id() != 0 ? std::optional<uint32_t>(client.id()) : std::nullopt;
    if (!directory_->claim(client.key(), wallSeconds(clock), id)) {
        logFull("the claim", client.key());
    }
}

void GatewayDirectory::gatewayRemoved(const GatewayClient& client) {
    if (!directory_->release(client.key())) {
        logFull("the release", client.key());
    }
}

void GatewayDirectory::gatewayIdSet(const GatewayClient& client, uint32_t id) {
    if (!directory_->recordGatewayId(client.key(), id)) {
        logFull("the numeric id", client.key());
    }
}

void GatewayDirectory::refreshAll(int) {
    // One refresh per live gateway; the directory writes them a thousand to a statement.
    gateways.forEach([this](GatewayClient* client) {
        if (!directory_->refresh(client->key())) {
            logFull("the refresh", client->key());
        }
    });
}

void GatewayDirectory::taken(const std::string& key) {
    takenKeys.push_back(key);
    if (!takenTimer.active()) {
        takenTimer.start(loop);
    }
}

void GatewayDirectory::dropTaken(int) {
    std::vector<std::string> keys;
    keys.swap(takenKeys);
    for (const std::string& key : keys) {
        GatewayClient* client = gateways.byKey(key);
        if (client == nullptr) {
            continue;
        }
        LOG4CPLUS_INFO(logger,
                       "GC " << key << " registered at another server; dropping its record");
        gateways.remove(client);
    }
}
