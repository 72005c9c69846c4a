// The shared ring from the parent to a worker: frames in order across the end of the memory,
// a full ring, and when the worker needs a doorbell. (What the parent does with an impossible
// consumed count is the tunnel's test.)
#include "protocol/WorkerRing.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using worker_ring::kDataBytes;
using worker_ring::RingReader;
using Frames = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;

namespace {
Frames drain(RingReader& reader, RingReader::Status expected = RingReader::Status::Ok) {
    Frames frames;
    EXPECT_EQ(reader.drain([&](uint8_t type, const uint8_t* payload, uint16_t length) {
        frames.emplace_back(type, std::vector<uint8_t>(payload, payload + length));
        return true;
    }),
              expected);
    return frames;
}
}  // namespace

// Frames come out as they went in, in order, wherever the end of the memory cuts the stream
// (a pad frame, or fewer than a header's bytes skipped); a full ring refuses until read.
TEST(WorkerRing, FramesArriveWholeAndInOrderAcrossTheEndAndAFullRingRefuses) {
    const struct {
        const char* what;
        size_t before;  // bytes written and read first, which places the end
        std::vector<uint16_t> lengths;
    } cases[] = {
        {"no wrap", 0, {0, 1, 1400, 4096}},
        {"a pad frame before the end", kDataBytes - 100, {1400, 20}},
        {"two bytes skipped before the end", kDataBytes - 2 - 3 - 97, {97, 50}},
        {"exactly to the end", kDataBytes - 3 - 500, {500, 500}},
    };
    const std::vector<uint8_t> bytes(4096, 0x5a);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        worker_ring::RingWriter writer;
        RingReader reader;
        ASSERT_TRUE(writer.create() && reader.attach(::dup(writer.descriptor())));
        for (size_t placed = 0; placed < c.before;) {
            const auto length =
                static_cast<uint16_t>(std::min<size_t>(c.before - placed - 3, 4000));
            ASSERT_TRUE(writer.write(1, bytes.data(), length));
            placed += 3u + length;
            writer.publish();
            drain(reader);
        }
        Frames sent;
        for (const uint16_t length : c.lengths) {
            sent.emplace_back(255, std::vector<uint8_t>(length, static_cast<uint8_t>(sent.size())));
            ASSERT_TRUE(writer.write(255, sent.back().second.data(), length));
        }
        EXPECT_TRUE(drain(reader).empty());  // nothing published yet
        writer.publish();
        EXPECT_EQ(drain(reader), sent);
        size_t fitted = 0;
        while (writer.write(255, bytes.data(), 4000)) {
            ++fitted;
        }
        EXPECT_GE(fitted, kDataBytes / 4003 - 1);
        writer.publish();
        EXPECT_EQ(drain(reader).size(), fitted);
        EXPECT_TRUE(writer.write(255, bytes.data(), 4000));
    }
}

// The parent rings only when the worker has read all it was rung for, yet a worker on another
// thread that sleeps on its pipe until a doorbell gets every frame in order: no wake-up is
// lost, however the two interleave.
TEST(WorkerRing, AWorkerSleepingOnItsPipeUntilADoorbellMissesNoFrame) {
    worker_ring::RingWriter writer;
    RingReader reader;
    int doorbell[2];
    ASSERT_TRUE(writer.create() && reader.attach(::dup(writer.descriptor())));
    ASSERT_EQ(::pipe(doorbell), 0);
    constexpr uint32_t kFrames = 100000;
    uint32_t next = 0;  // the value the worker expects; a frame out of order stops it
    std::atomic<bool> gone{false};
    std::thread worker([&] {
        pollfd wait{doorbell[0], POLLIN, 0};
        char bytes[512];
        while (next < kFrames && ::poll(&wait, 1, 5000) == 1 &&
               ::read(doorbell[0], bytes, 512) > 0) {
            reader.drain([&](uint8_t, const uint8_t* payload, uint16_t) {
                return std::memcmp(payload, &next, sizeof next) == 0 && ++next != 0;
            });
        }
        gone = true;
    });
    for (uint32_t value = 0; value < kFrames && !gone;) {
        const uint32_t burst = std::min<uint32_t>(value + 1 + value % 7, kFrames);
        while (value < burst && writer.write(1, reinterpret_cast<uint8_t*>(&value), sizeof value)) {
            ++value;
        }
        if (writer.publishNeedsDoorbell()) {
            EXPECT_EQ(::write(doorbell[1], "", 1), 1);
        }
    }
    worker.join();
    ::close(doorbell[0]);
    ::close(doorbell[1]);
    EXPECT_EQ(next, kFrames);  // short: the worker slept through frames
}
