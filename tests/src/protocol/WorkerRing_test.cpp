// The shared ring from the parent to a worker: frames in order across the end of the memory,
// a full ring, and frames or counts the parent could not have written. (What the parent does
// with an impossible consumed count is the tunnel's test.)
#include "protocol/WorkerRing.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
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
            const auto length = static_cast<uint16_t>(std::min<size_t>(c.before - placed - 3, 4000));
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

// A produced count or a frame the parent could not have written stops the worker's reading.
TEST(WorkerRing, FramesAndCountsThatCannotBeStopTheReader) {
    const struct {
        const char* what;
        uint32_t produced, consumed;  // as the memory says
        size_t headerAt;              // where a frame of 10 bytes is claimed
    } cases[] = {
        {"produced a whole ring ahead", kDataBytes + 4, 0, 0},
        {"a frame longer than what was produced", 12, 0, 0},
        {"a frame across the end", kDataBytes + 8, kDataBytes - 8, kDataBytes - 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        worker_ring::RingWriter writer;
        ASSERT_TRUE(writer.create());
        auto* memory = static_cast<uint8_t*>(::mmap(nullptr, worker_ring::kMappedBytes,
                                                    PROT_READ | PROT_WRITE, MAP_SHARED,
                                                    writer.descriptor(), 0));
        ASSERT_NE(memory, MAP_FAILED);
        pipe_message::putHeader(memory + worker_ring::kHeaderBytes + c.headerAt, 255, 10);
        std::memcpy(memory + worker_ring::kProducedOffset, &c.produced, 4);
        std::memcpy(memory + worker_ring::kConsumedOffset, &c.consumed, 4);
        RingReader reader;
        ASSERT_TRUE(reader.attach(::dup(writer.descriptor())));
        EXPECT_TRUE(drain(reader, RingReader::Status::Corrupt).empty());
        ::munmap(memory, worker_ring::kMappedBytes);
    }
}
