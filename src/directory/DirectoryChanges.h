// What this server still has to write to the gateway directory about its own gateways: the
// claims (with the registration time, and the numeric id once known), refreshes, releases and
// numeric ids that wait for a batch, and the rules by which a later change of a gateway
// replaces or absorbs an earlier one still waiting:
//   - a key waits as a claim, a refresh or a release, never as two of them; a numeric id may
//     wait beside a refresh, and is folded into a claim;
//   - a claim drops a waiting refresh or release of the key (it sets the expiry too) and takes
//     a waiting numeric id; a release drops everything else of the key;
//   - a refresh beside a waiting claim or release, and a numeric id beside a waiting release,
//     add nothing (a numeric id beside a waiting claim goes into the claim).
// Changes leave in batches of one kind (releases first, then claims, numeric ids, refreshes);
// a batch that was not written comes back, except for keys that have a newer change waiting.
//
// Owner: Directory (Directory.h), which calls it on the loop as gateways register, stay and
// leave, and as its batch statements are answered; it holds no statement and no database
// state, only the waiting changes and their limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class DirectoryChanges {
  public:
    enum class Kind { Claim, Refresh, Release, GatewayId };
    struct Claim {
        double registeredAt = 0;
        std::optional<uint32_t> gatewayId;
    };
    struct Batch {
        Kind kind;
        std::vector<std::string> keys;
        std::vector<Claim> claims;         // Claim: one per key
        std::vector<uint32_t> gatewayIds;  // GatewayId: one per key
    };
    enum class Outcome {
        Full,    // not taken: pendingLimit changes wait already, none of this key
        Merged,  // taken into a change of the key that waits already: nothing new to write
        Queued,  // a new change waits to be written
    };

    explicit DirectoryChanges(size_t pendingLimit) : pendingLimit_(pendingLimit) {}

    Outcome claim(const std::string& key, double registeredAt, std::optional<uint32_t> gatewayId);
    Outcome refresh(const std::string& key);
    Outcome release(const std::string& key);
    Outcome recordGatewayId(const std::string& key, uint32_t gatewayId);

    // Up to limit changes of one kind, taken out; an empty batch when nothing waits.
    Batch takeBatch(size_t limit);
    // Puts a batch that was not written back, except for keys that have a newer change waiting.
    void requeue(const Batch& batch);
    // A claimed or refreshed key the database did not return is held by another server now,
    // unless a newer claim or release of ours waits: true then, and its waiting refresh and
    // numeric id are dropped.
    bool dropTaken(const std::string& key);

    // Changes waiting, all kinds together.
    size_t size() const;

  private:
    bool waiting(const std::string& key) const;
    bool hasRoomFor(const std::string& key) const;

    size_t pendingLimit_;
    std::unordered_map<std::string, Claim> claims_;
    std::unordered_set<std::string> refreshes_;
    std::unordered_set<std::string> releases_;
    std::unordered_map<std::string, uint32_t> gatewayIds_;
};
