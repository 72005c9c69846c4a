// The gateway directory's waiting changes and their rules (see DirectoryChanges.h).
#include "directory/DirectoryChanges.h"

size_t DirectoryChanges::size() const {
    return claims_.size() + refreshes_.size() + releases_.size() + gatewayIds_.size();
}

bool DirectoryChanges::waiting(const std::string& key) const {
    return claims_.count(key) != 0 || refreshes_.count(key) != 0 || releases_.count(key) != 0 ||
           gatewayIds_.count(key) != 0;
}

bool DirectoryChanges::hasRoomFor(const std::string& key) const {
    return size() < pendingLimit_ || waiting(key);
}

DirectoryChanges::Outcome DirectoryChanges::claim(const std::string& key, double registeredAt,
                                                  std::optional<uint32_t> gatewayId) {
    if (!hasRoomFor(key)) {
        return Outcome::Full;
    }
    releases_.erase(key);
    refreshes_.erase(key);  // the claim sets the expiry too
    const auto id = gatewayIds_.find(key);
    if (id != gatewayIds_.end()) {
        if (!gatewayId) {
            gatewayId = id->second;
        }
        gatewayIds_.erase(id);
    }
    claims_[key] = Claim{registeredAt, gatewayId};
    return Outcome::Queued;
}

DirectoryChanges::Outcome DirectoryChanges::refresh(const std::string& key) {
    if (claims_.count(key) != 0 || releases_.count(key) != 0) {
        return Outcome::Merged;  // the claim waiting sets the expiry; a released gateway has none
    }
    if (!hasRoomFor(key)) {
        return Outcome::Full;
    }
    refreshes_.insert(key);
    return Outcome::Queued;
}

DirectoryChanges::Outcome DirectoryChanges::release(const std::string& key) {
    if (!hasRoomFor(key)) {
        return Outcome::Full;
    }
    claims_.erase(key);
    refreshes_.erase(key);
    gatewayIds_.erase(key);
    releases_.insert(key);
    return Outcome::Queued;
}

DirectoryChanges::Outcome DirectoryChanges::recordGatewayId(const std::string& key,
                                                            uint32_t gatewayId) {
    const auto claim = claims_.find(key);
    if (claim != claims_.end()) {
        claim->second.gatewayId = gatewayId;
        return Outcome::Merged;
    }
    if (releases_.count(key) != 0) {
        return Outcome::Merged;
    }
    if (!hasRoomFor(key)) {
        return Outcome::Full;
    }
    gatewayIds_[key] = gatewayId;
    return Outcome::Queued;
}

// Releases first, then claims, numeric ids and refreshes. A key waits as a release, a claim or
// a refresh, never as two of them (a numeric id may wait beside a refresh), so the order
// changes no outcome; it lets what other servers look up go first.
DirectoryChanges::Batch DirectoryChanges::takeBatch(size_t limit) {
    Batch batch{Kind::Release, {}, {}, {}};
    if (!releases_.empty()) {
        for (auto it = releases_.begin(); it != releases_.end() && batch.keys.size() < limit;) {
            batch.keys.push_back(*it);
            it = releases_.erase(it);
        }
    } else if (!claims_.empty()) {
        batch.kind = Kind::Claim;
        for (auto it = claims_.begin(); it != claims_.end() && batch.keys.size() < limit;) {
            batch.keys.push_back(it->first);
            batch.claims.push_back(it->second);
            it = claims_.erase(it);
        }
    } else if (!gatewayIds_.empty()) {
        batch.kind = Kind::GatewayId;
        for (auto it = gatewayIds_.begin(); it != gatewayIds_.end() && batch.keys.size() < limit;) {
            batch.keys.push_back(it->first);
            batch.gatewayIds.push_back(it->second);
            it = gatewayIds_.erase(it);
        }
    } else {
        batch.kind = Kind::Refresh;
        for (auto it = refreshes_.begin(); it != refreshes_.end() && batch.keys.size() < limit;) {
            batch.keys.push_back(*it);
            it = refreshes_.erase(it);
        }
    }
    return batch;
}

void DirectoryChanges::requeue(const Batch& batch) {
    for (size_t i = 0; i < batch.keys.size(); ++i) {
        const std::string& key = batch.keys[i];
        switch (batch.kind) {
            case Kind::Claim:
                if (claims_.count(key) == 0 && releases_.count(key) == 0) {
                    refreshes_.erase(key);
                    Claim claim = batch.claims[i];
                    const auto id = gatewayIds_.find(key);
                    if (id != gatewayIds_.end()) {
                        claim.gatewayId = id->second;
                        gatewayIds_.erase(id);
                    }
                    claims_[key] = claim;
                }
                break;
            case Kind::Refresh:
                if (!waiting(key)) {
                    refreshes_.insert(key);
                }
                break;
            case Kind::Release:
                if (claims_.count(key) == 0) {
                    refreshes_.erase(key);
                    gatewayIds_.erase(key);
                    releases_.insert(key);
                }
                break;
            case Kind::GatewayId:
                if (claims_.count(key) == 0 && releases_.count(key) == 0 &&
                    gatewayIds_.count(key) == 0) {
                    gatewayIds_[key] = batch.gatewayIds[i];
                }
                break;
        }
    }
}

bool DirectoryChanges::dropTaken(const std::string& key) {
    if (claims_.count(key) != 0 || releases_.count(key) != 0) {
        return false;
    }
    refreshes_.erase(key);
    gatewayIds_.erase(key);
    return true;
}
