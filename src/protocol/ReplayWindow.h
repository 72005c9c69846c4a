// The sliding window of counters that one transport session has accepted: the bitmap scheme
// of RFC 6479 as WireGuard uses it (a ring of 64-bit blocks; sliding forward clears whole
// blocks, so that no counter ever costs more than one block's worth of work per step).
// NoiseTransport asks mayAccept() before it spends a decryption on a datagram and calls
// accept() only once the datagram authenticated, so that forged datagrams never move it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gateway_v2 {

class ReplayWindow {
  public:
    // Tuning: 128 blocks of 64 bits. One block is the slack of the ring, so the window spans
    // the 8128 counters below the highest one seen, as in WireGuard.
    static constexpr size_t kBlockBits = 64;
    static constexpr size_t kRingBlocks = 128;
    static constexpr uint64_t kWindowSize = (kRingBlocks - 1) * kBlockBits;

    // False for counters at or above limit, too far behind the highest, or already accepted.
    bool mayAccept(uint64_t counter, uint64_t limit) const;
    // Marks the counter seen and slides the window; false when mayAccept() would have been.
    bool accept(uint64_t counter, uint64_t limit);

  private:
    std::array<uint64_t, kRingBlocks> ring_{};
    uint64_t highest_ = 0;  // the highest counter accepted (0 before any)
};

}  // namespace gateway_v2
