// Rate limits of the parent: a limiter that keeps a flood from flooding the log, and the
// per-source token buckets that cap how many key agreements one address can make the
// server compute. Both run on the parent's loop; times are seconds as doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// At most `burst` lines per `interval` seconds; the lines left out are counted, and the
// next line that passes reports how many were left out before it.
class LogRateLimiter {
  public:
    explicit LogRateLimiter(uint32_t burst = 10, double interval = 10.0)
        : burst_(burst), interval_(interval) {}

    // True when a line may be written now. *suppressed receives the number of lines left
    // out since the last one that passed.
    bool allow(double now, uint64_t* suppressed);

  private:
    uint32_t burst_;
    double interval_;
    double windowStart_ = -1e300;
    uint32_t used_ = 0;
    uint64_t suppressed_ = 0;
};

// One token bucket: ratePerSecond tokens a second, up to 2 * ratePerSecond in store.
class TokenBucket {
  public:
    explicit TokenBucket(uint32_t ratePerSecond)
        : rate_(ratePerSecond), capacity_(2.0 * ratePerSecond), tokens_(capacity_) {}
    bool take(double now);

  private:
    double rate_;
    double capacity_;
    double tokens_;
    double updated_ = -1;
};

// Token buckets by source IPv4 address, in a fixed table: a flood from many (possibly
// forged) sources costs no memory. Addresses are spread over the table by a keyed hash
// with a secret drawn at start, so nobody can aim at the bucket of a given gateway.
class SourceTokenBuckets {
  public:
    static constexpr size_t kSlots = 8192;

    // ratePerSecond tokens a second, up to 2 * ratePerSecond in store.
    explicit SourceTokenBuckets(uint32_t ratePerSecond);

    // Takes a token for the address (network order); false when its bucket is empty.
    bool take(uint32_t address, double now);

  private:
    struct Bucket {
        double tokens;
        double updated;
    };
    size_t slotOf(uint32_t address) const;

    double rate_;
    double capacity_;
    uint64_t secret_[2];
    std::unique_ptr<Bucket[]> buckets_;
};
