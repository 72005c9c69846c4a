// RFC 6479's replay bitmap for the version 2 transport.
#include "protocol/ReplayWindow.h"

namespace gateway_v2 {

namespace {
constexpr unsigned kBlockShift = 6;  // log2(kBlockBits)
static_assert((uint64_t{1} << kBlockShift) == ReplayWindow::kBlockBits);
static_assert((ReplayWindow::kRingBlocks & (ReplayWindow::kRingBlocks - 1)) == 0,
              "the ring is indexed by masking");
constexpr uint64_t kRingMask = ReplayWindow::kRingBlocks - 1;
constexpr uint64_t kBitMask = ReplayWindow::kBlockBits - 1;
}  // namespace

bool ReplayWindow::mayAccept(uint64_t counter, uint64_t limit) const {
    if (counter >= limit) {
        return false;
    }
    if (counter > highest_) {
        return true;
    }
    if (highest_ - counter > kWindowSize) {
        return false;
    }
    const uint64_t block = ring_[(counter >> kBlockShift) & kRingMask];
    return (block & (uint64_t{1} << (counter & kBitMask))) == 0;
}

bool ReplayWindow::accept(uint64_t counter, uint64_t limit) {
    if (!mayAccept(counter, limit)) {
        return false;
    }
    if (counter > highest_) {
        // Clear the blocks that the window slides over (at most the whole ring).
        const uint64_t current = highest_ >> kBlockShift;
        uint64_t steps = (counter >> kBlockShift) - current;
        if (steps > kRingBlocks) {
            steps = kRingBlocks;
        }
        for (uint64_t i = 1; i <= steps; ++i) {
            ring_[(current + i) & kRingMask] = 0;
        }
        highest_ = counter;
    }
    ring_[(counter >> kBlockShift) & kRingMask] |= uint64_t{1} << (counter & kBitMask);
    return true;
}

}  // namespace gateway_v2
