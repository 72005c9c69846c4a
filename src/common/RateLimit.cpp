// Log rate limiting and per-source token buckets.
#include "common/RateLimit.h"

#include <sys/random.h>

#include <algorithm>

bool LogRateLimiter::allow(double now, uint64_t* suppressed) {
    if (now - windowStart_ >= interval_ || now < windowStart_) {
        windowStart_ = now;
        used_ = 0;
    }
    if (used_ >= burst_) {
        ++suppressed_;
        return false;
    }
    ++used_;
    *suppressed = suppressed_;
    suppressed_ = 0;
    return true;
}

SourceTokenBuckets::SourceTokenBuckets(uint32_t ratePerSecond)
    : rate_(ratePerSecond),
      capacity_(2.0 * ratePerSecond),
      secret_{0x9e3779b97f4a7c15ULL, 0xc2b2ae3d27d4eb4fULL},
      buckets_(new Bucket[kSlots]) {
    // Without randomness the fixed secret still spreads addresses; only aiming gets easier.
    if (getrandom(secret_, sizeof secret_, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof secret_)) {
        secret_[0] = 0x9e3779b97f4a7c15ULL;
        secret_[1] = 0xc2b2ae3d27d4eb4fULL;
    }
    std::fill(buckets_.get(), buckets_.get() + kSlots, Bucket{capacity_, 0.0});
}

size_t SourceTokenBuckets::slotOf(uint32_t address) const {
    // Two rounds of a multiply-xorshift mix keyed by the secret.
    uint64_t x = (static_cast<uint64_t>(address) ^ secret_[0]) * 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 31;
    x = (x ^ secret_[1]) * 0x94d049bb133111ebULL;
    x ^= x >> 29;
    return static_cast<size_t>(x % kSlots);
}

bool SourceTokenBuckets::take(uint32_t address, double now) {
    Bucket& bucket = buckets_[slotOf(address)];
    // A clock that went back refills nothing and charges nothing extra.
    const double elapsed = std::max(0.0, now - bucket.updated);
    bucket.tokens = std::min(capacity_, bucket.tokens + elapsed * rate_);
    bucket.updated = now;
    if (bucket.tokens < 1.0) {
        return false;
    }
    bucket.tokens -= 1.0;
    return true;
}

bool TokenBucket::take(double now) {
    if (updated_ >= 0) {
        // A clock that went back refills nothing and charges nothing extra.
        tokens_ = std::min(capacity_, tokens_ + std::max(0.0, now - updated_) * rate_);
    }
    updated_ = now;
    if (tokens_ < 1.0) {
        return false;
    }
    tokens_ -= 1.0;
    return true;
}
