// The gateway directory's statements and its batching (see Directory.h).
#include "directory/Directory.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/Logging.h"
#include "directory/DirectorySchema.h"

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kDirectory);
LogRateLimiter batchErrorLimiter;

// Rows that expired this long ago belong to servers that went away; any server removes them.
constexpr double kPurgeAfterSeconds = 3600;
constexpr int kPurgeBatch = 1000;

// $1 server id, $2 expiry in seconds, $3 keys, $4 registration times (epoch seconds),
// $5 numeric ids (NULL when unknown). A row of another server is taken only by a later
// registration or once it has expired; the keys returned are the claims that won.
const PgStatement kClaim{"tamblo_directory_claim", R"SQL(
INSERT INTO tamblo_gateways AS g (key, gateway_id, server_id, registered_at, expires_at)
SELECT c.key, c.gateway_id, $1::text, to_timestamp(c.at), now() + $2::float8 * interval '1 second'
FROM unnest($3::bytea[], $4::float8[], $5::bigint[]) AS c(key, at, gateway_id)
ON CONFLICT (key) DO UPDATE SET server_id = excluded.server_id,
    registered_at = excluded.registered_at, expires_at = excluded.expires_at,
    gateway_id = coalesce(excluded.gateway_id, g.gateway_id)
WHERE g.server_id = excluded.server_id OR g.registered_at <= excluded.registered_at
    OR g.expires_at <= now()
RETURNING g.key)SQL"};

// $1 server id, $2 expiry in seconds, $3 keys: the keys returned are still held here.
const PgStatement kRefresh{"tamblo_directory_refresh", R"SQL(
UPDATE tamblo_gateways SET expires_at = now() + $2::float8 * interval '1 second'
WHERE server_id = $1::text AND key = ANY($3::bytea[])
RETURNING key)SQL"};

// $1 server id, $2 keys.
const PgStatement kRelease{"tamblo_directory_release", R"SQL(
DELETE FROM tamblo_gateways WHERE server_id = $1::text AND key = ANY($2::bytea[]))SQL"};

// $1 server id, $2 keys, $3 numeric ids.
const PgStatement kGatewayIds{"tamblo_directory_gateway_ids", R"SQL(
UPDATE tamblo_gateways AS g SET gateway_id = u.gateway_id
FROM unnest($2::bytea[], $3::bigint[]) AS u(key, gateway_id)
WHERE g.server_id = $1::text AND g.key = u.key)SQL"};

// $1 server id, $2 peer address.
const PgStatement kAnnounce{"tamblo_directory_announce", R"SQL(
INSERT INTO tamblo_servers (server_id, peer_address, last_seen) VALUES ($1::text, $2::text, now())
ON CONFLICT (server_id) DO UPDATE SET peer_address = excluded.peer_address,
    last_seen = excluded.last_seen)SQL"};

// $1 seconds since expiry. The expiry is checked again on the row itself, so a row claimed
// anew while the statement runs stays.
const PgStatement kPurge{"tamblo_directory_purge", R"SQL(
DELETE FROM tamblo_gateways AS g
USING (SELECT key FROM tamblo_gateways
       WHERE expires_at < now() - $1::float8 * interval '1 second' LIMIT )SQL" +
                                                       std::to_string(kPurgeBatch) + R"SQL() AS old
WHERE g.key = old.key AND g.expires_at < now() - $1::float8 * interval '1 second')SQL"};

// $1 key: the holding server and its peer address, for a row that has not expired.
const PgStatement kLookup{"tamblo_directory_lookup", R"SQL(
SELECT g.server_id, s.peer_address FROM tamblo_gateways g
JOIN tamblo_servers s ON s.server_id = g.server_id
WHERE g.key = $1::bytea AND g.expires_at > now())SQL"};

// $1 numeric id: the latest registration of a gateway with that id.
const PgStatement kLookupById{"tamblo_directory_lookup_by_id", R"SQL(
SELECT g.server_id, s.peer_address FROM tamblo_gateways g
JOIN tamblo_servers s ON s.server_id = g.server_id
WHERE g.gateway_id = $1::bigint AND g.expires_at > now()
ORDER BY g.registered_at DESC LIMIT 1)SQL"};

const char kHexDigits[] = "0123456789abcdef";

// A key in bytea's hex input form, "\x" and two digits per byte.
std::string byteaText(const std::string& key) {
    std::string out = "\\x";
    out.reserve(2 + 2 * key.size());
    for (const unsigned char c : key) {
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 0x0F];
    }
    return out;
}

// An array literal of bytea values: each element quoted, its backslash doubled.
std::string byteaArray(const std::vector<std::string>& keys) {
    std::string out = "{";
    for (const std::string& key : keys) {
        if (out.size() > 1) {
            out += ',';
        }
        out += "\"\\";
        out += byteaText(key);
        out += '"';
    }
    return out + "}";
}

std::string secondsParam(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

}  // namespace

Directory::Directory(struct ev_loop* loop, PgClientSettings database, DirectorySettings settings)
    : loop_(loop),
      settings_(std::move(settings)),
      client_(loop, std::move(database)),
      changes_(settings_.pendingLimit) {
    client_.setStateCallback([this](bool up) { onConnection(up); });
    ev_init(announceTimer_.get(),
            (evMemberCallback<Directory, ev_timer, &Directory::onAnnounceTimer>));
    announceTimer_.get()->data = this;
    ev_init(retryTimer_.get(), (evMemberCallback<Directory, ev_timer, &Directory::onRetryTimer>));
    retryTimer_.get()->data = this;
}

void Directory::start() {
    client_.start();
}

bool Directory::claim(const std::string& key, double registeredAt,
                      std::optional<uint32_t> gatewayId) {
    return accepted(changes_.claim(key, registeredAt, gatewayId));
}

bool Directory::refresh(const std::string& key) {
    return accepted(changes_.refresh(key));
}

bool Directory::release(const std::string& key) {
    return accepted(changes_.release(key));
}

bool Directory::recordGatewayId(const std::string& key, uint32_t gatewayId) {
    return accepted(changes_.recordGatewayId(key, gatewayId));
}

bool Directory::accepted(DirectoryChanges::Outcome outcome) {
    if (outcome == DirectoryChanges::Outcome::Queued) {
        flush();
    }
    return outcome != DirectoryChanges::Outcome::Full;
}

// ---- connection and this server's row --------------------------------------------------------

void Directory::onConnection(bool up) {
    if (!up) {
        const bool wasReady = ready_;
        ready_ = false;
        announceTimer_.stop();
        if (wasReady && readyCallback_) {
            readyCallback_(false);
        }
        return;
    }
    const PgClient::Submit submitted =
        client_.submit(directory_schema::upgradeStatement(), {}, [this](PgResult&& result) {
            if (!result.ok()) {
                if (logger.isEnabledFor(log4cplus::WARN_LOG_LEVEL)) {
                    LOG4CPLUS_WARN(logger, "Directory schema could not be brought up to date: "
                                               << pgStatusText(result.status()) << ": "
                                               << result.error());
                }
                client_.reset("directory schema not up to date");
                return;
            }
            announce(true);
        });
    if (submitted != PgClient::Submit::Queued) {
        client_.reset("directory schema statement not taken");
    }
}

void Directory::announce(bool first) {
    announceInFlight_ = true;
    const PgClient::Submit submitted = client_.submit(
        kAnnounce, {settings_.serverId, settings_.peerAddress}, [this, first](PgResult&& result) {
            announceInFlight_ = false;
            if (!first) {
                return;  // the client has logged a failure; the next period writes it again
            }
            if (!result.ok()) {
                if (logger.isEnabledFor(log4cplus::WARN_LOG_LEVEL)) {
                    LOG4CPLUS_WARN(logger, "Directory could not write this server's row: "
                                               << pgStatusText(result.status()) << ": "
                                               << result.error());
                }
                client_.reset("directory server row not written");
                return;
            }
            ready_ = true;
            if (logger.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
                LOG4CPLUS_INFO(logger, "Directory ready: server "
                                           << settings_.serverId << " at " << settings_.peerAddress
                                           << ", schema version " << directory_schema::kVersion);
            }
            ev_timer_set(announceTimer_.get(), settings_.announcePeriod, settings_.announcePeriod);
            announceTimer_.start(loop_);
            retryTimer_.stop();
            if (readyCallback_) {
                readyCallback_(true);
            }
            flush();
        });
    if (submitted != PgClient::Submit::Queued) {
        announceInFlight_ = false;
        if (first) {
            client_.reset("directory server row not taken");
        }
    }
}

void Directory::onAnnounceTimer(int) {
    if (!ready_ || announceInFlight_) {
        return;
    }
    announce(false);
    client_.submit(kPurge, {secondsParam(kPurgeAfterSeconds)}, [](PgResult&&) {});
}

// ---- batches ---------------------------------------------------------------------------------

void Directory::flush() {
    if (!ready_ || batchInFlight_ || retryTimer_.active()) {
        return;
    }
    Batch batch = changes_.takeBatch(settings_.batchLimit);
    if (!batch.keys.empty()) {
        submitBatch(std::move(batch));
    }
}

void Directory::submitBatch(Batch batch) {
    const std::string keys = byteaArray(batch.keys);
    const std::string expiry = secondsParam(settings_.expirySeconds);
    std::vector<std::optional<std::string>> params;
    const PgStatement* statement = nullptr;
    switch (batch.kind) {
        case Kind::Claim: {
            std::string times = "{";
            std::string ids = "{";
            for (const Claim& claim : batch.claims) {
                times += (times.size() > 1 ? "," : "") + secondsParam(claim.registeredAt);
                ids += (ids.size() > 1 ? "," : "") +
                       (claim.gatewayId ? std::to_string(*claim.gatewayId) : "NULL");
            }
            statement = &kClaim;
            params = {settings_.serverId, expiry, keys, times + "}", ids + "}"};
            break;
        }
        case Kind::Refresh:
            statement = &kRefresh;
            params = {settings_.serverId, expiry, keys};
            break;
        case Kind::Release:
            statement = &kRelease;
            params = {settings_.serverId, keys};
            break;
        case Kind::GatewayId: {
            std::string ids = "{";
            for (const uint32_t id : batch.gatewayIds) {
                ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
            }
            statement = &kGatewayIds;
            params = {settings_.serverId, keys, ids + "}"};
            break;
        }
    }
    // The batch lives in the callback until its answer; the statement is a constant.
    auto held = std::make_shared<Batch>(std::move(batch));
    batchInFlight_ = true;
    const PgClient::Submit submitted =
        client_.submit(*statement, std::move(params),
                       [this, held](PgResult&& result) { batchDone(*held, result); });
    if (submitted != PgClient::Submit::Queued) {
        batchInFlight_ = false;
        changes_.requeue(*held);
    }
}

void Directory::batchDone(Batch& batch, PgResult& result) {
    batchInFlight_ = false;
    if (!result.ok()) {
        ++stats_.batchFailures;
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, batchErrorLimiter,
                                    ev_now(loop_), [&](std::ostream& line) {
                                        line << "Directory batch of " << batch.keys.size()
                                             << " gateways not written: "
                                             << pgStatusText(result.status())
                                             << "; it is written again later";
                                    });
        changes_.requeue(batch);
        // A connection that was lost brings the batch back when it returns; anything else is
        // tried again after a pause.
        if (result.status() != PgResult::Status::Unavailable) {
            ev_timer_set(retryTimer_.get(), settings_.retryDelay, 0);
            retryTimer_.start(loop_);
        }
        return;
    }
    ++stats_.batches;
    if (batch.kind == Kind::Claim || batch.kind == Kind::Refresh) {
        std::unordered_set<std::string> held;
        for (int row = 0; row < result.rows(); ++row) {
            held.insert(result.bytes(row, 0));
        }
        std::vector<std::string> taken;
        for (const std::string& key : batch.keys) {
            if (held.count(key) != 0) {
                ++(batch.kind == Kind::Claim ? stats_.claimed : stats_.refreshed);
            } else if (changes_.dropTaken(key)) {
                taken.push_back(key);  // held by another server now
            }
        }
        stats_.taken += taken.size();
        if (!taken.empty() && logger.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
            LOG4CPLUS_INFO(logger, "Directory: " << taken.size()
                                                 << " gateways are held by another server now");
        }
        for (const std::string& key : taken) {
            if (taken_) {
                taken_(key);
            }
        }
    } else if (batch.kind == Kind::Release) {
        stats_.released += batch.keys.size();
    }
    flush();
}

void Directory::onRetryTimer(int) {
    flush();
}

// ---- lookups ---------------------------------------------------------------------------------

PgClient::Submit Directory::lookup(const std::string& key, LookupCallback callback) {
    return submitLookup(kLookup, byteaText(key), std::move(callback));
}

PgClient::Submit Directory::lookupById(uint32_t gatewayId, LookupCallback callback) {
    return submitLookup(kLookupById, std::to_string(gatewayId), std::move(callback));
}

PgClient::Submit Directory::submitLookup(const PgStatement& statement, std::string param,
                                         LookupCallback callback) {
    if (!ready_) {
        return PgClient::Submit::Unavailable;
    }
    if (lookupsInFlight_ >= settings_.lookupLimit) {
        return PgClient::Submit::QueueFull;
    }
    const PgClient::Submit submitted = client_.submit(
        statement, {std::move(param)}, [this, callback = std::move(callback)](PgResult&& result) {
            --lookupsInFlight_;
            Location location;
            if (!result.ok()) {
                ++stats_.lookupFailures;
                callback(LookupStatus::Failed, location);
                return;
            }
            ++stats_.lookups;
            if (result.rows() == 0) {
                callback(LookupStatus::NotFound, location);
                return;
            }
            location.serverId = result.value(0, 0);
            location.peerAddress = result.value(0, 1);
            callback(LookupStatus::Found, location);
        });
    if (submitted == PgClient::Submit::Queued) {
        ++lookupsInFlight_;
    }
    return submitted;
}
