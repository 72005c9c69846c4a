// The gateway directory that several servers share in PostgreSQL: which server holds which
// gateway, so that a client that reaches any server can be sent to the one its gateway is
// registered at.
//
// What this server writes, always about its own gateways:
//   claim    at a registration: the gateway is now held here. The latest registration wins: a
//            claim takes a row of another server only when its registration time is later
//            (or that row has expired), so a claim that waited out a database outage cannot
//            take back a gateway that has since registered elsewhere;
//   refresh  for the gateways still alive here, pushing their expiry on: one statement for
//            many gateways, and the keys it does not return are the ones another server took;
//   release  when a gateway expires or leaves here;
//   gateway id: the numeric id learnt from the configuration service, for lookups by id.
// All four are queued here and written in batches (up to batchLimit gateways a statement),
// one statement at a time and at once while the connection is idle, so a registration storm
// costs few statements. A later change of a gateway replaces an earlier one still waiting (a
// claim then a release of one key writes only the release; the waiting changes and their rules
// are DirectoryChanges.h). A batch that fails is queued again (after a second, so a statement
// the database refuses cannot spin); one that was lost with the connection is written once it
// is back.
//
// When this server learns that it no longer holds a gateway (its claim lost against a later
// registration, or a refresh did not return it), the taken callback tells the owner, which
// drops its record.
//
// What any server reads: lookups by key or numeric id, answered with the holding server's id
// and peer address, only for rows that have not expired. They are sent one by one, at most
// lookupLimit at a time; more are refused at once (Busy), as are lookups while the database
// is away (Unavailable), so a client never waits on a directory that cannot answer.
//
// At each connection the schema is brought up to date (DirectorySchema.h) and this server's
// row (id, peer address, last seen) is written; the row is written again every
// announcePeriod seconds, together with the removal of rows that expired long ago (of servers
// that went away). Owner: the server (later); the benchmark; the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/EventLoop.h"
#include "directory/DirectoryChanges.h"
#include "directory/PgClient.h"

struct DirectorySettings {
    std::string serverId;          // unique among the servers sharing the database
    std::string peerAddress;       // "ADDR:PORT" where the other servers reach this one
    double expirySeconds = 180;    // a claim or a refresh holds a gateway this long
    double announcePeriod = 30;    // seconds between writes of this server's row
    double retryDelay = 1;         // seconds before a failed batch is written again
    size_t batchLimit = 1000;      // gateways in one statement
    size_t pendingLimit = 200000;  // changes waiting to be written, all kinds together
    size_t lookupLimit = 256;      // lookups waiting for their answer
};

// Counters for the metrics; they only grow.
struct DirectoryStats {
    uint64_t batches = 0;         // batch statements answered Ok
    uint64_t batchFailures = 0;   // batch statements that failed or were lost
    uint64_t claimed = 0;         // gateways whose claim was written and won
    uint64_t refreshed = 0;       // gateways whose refresh was written
    uint64_t released = 0;        // gateways whose release was written
    uint64_t taken = 0;           // gateways found held by another server
    uint64_t lookups = 0;         // lookups answered (found or not)
    uint64_t lookupFailures = 0;  // lookups that failed, timed out or were lost
};

class Directory {
  public:
    struct Location {
        std::string serverId;
        std::string peerAddress;
    };
    enum class LookupStatus { Found, NotFound, Failed };
    using LookupCallback = std::function<void(LookupStatus, const Location&)>;
    using TakenCallback = std::function<void(const std::string& key)>;
    using ReadyCallback = std::function<void(bool ready)>;

    // Throws std::invalid_argument as PgClient does.
    Directory(struct ev_loop* loop, PgClientSettings database, DirectorySettings settings);
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    void setTakenCallback(TakenCallback callback) { taken_ = std::move(callback); }
    void setReadyCallback(ReadyCallback callback) { readyCallback_ = std::move(callback); }
    void start();
    // The schema is in place and this server's row written: changes are being written.
    bool ready() const { return ready_; }

    // False when pendingLimit changes are waiting already (nothing is queued then).
    // registeredAt: wall-clock seconds of the registration.
    bool claim(const std::string& key, double registeredAt,
               std::optional<uint32_t> gatewayId = std::nullopt);
    bool refresh(const std::string& key);
    bool release(const std::string& key);
    bool recordGatewayId(const std::string& key, uint32_t gatewayId);

    PgClient::Submit lookup(const std::string& key, LookupCallback callback);
    PgClient::Submit lookupById(uint32_t gatewayId, LookupCallback callback);

    size_t pending() const { return changes_.size(); }
    // Nothing waiting to be written and no statement of this directory on the connection.
    bool idle() const {
        return pending() == 0 && !batchInFlight_ && lookupsInFlight_ == 0 && !announceInFlight_;
    }
    const DirectoryStats& stats() const { return stats_; }
    const PgClient& client() const { return client_; }

  private:
    using Kind = DirectoryChanges::Kind;
    using Claim = DirectoryChanges::Claim;
    using Batch = DirectoryChanges::Batch;

    // Writes at once what a change of the waiting ones made new; false for Full.
    bool accepted(DirectoryChanges::Outcome outcome);
    void onConnection(bool up);
    void announce(bool first);
    void flush();
    void submitBatch(Batch batch);
    void batchDone(Batch& batch, PgResult& result);
    PgClient::Submit submitLookup(const PgStatement& statement, std::string param,
                                  LookupCallback callback);
    void onAnnounceTimer(int events);
    void onRetryTimer(int events);

    struct ev_loop* loop_;
    DirectorySettings settings_;
    PgClient client_;
    bool ready_ = false;
    bool batchInFlight_ = false;
    bool announceInFlight_ = false;
    size_t lookupsInFlight_ = 0;
    DirectoryChanges changes_;
    EvTimer announceTimer_;
    EvTimer retryTimer_;
    TakenCallback taken_;
    ReadyCallback readyCallback_;
    DirectoryStats stats_;
};
