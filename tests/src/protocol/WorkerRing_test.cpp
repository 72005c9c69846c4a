// The shared ring from the parent to a worker: frames in order across the end of the memory,
// and a full ring. (What the parent does with an impossible consumed count is the tunnel's
// test.)
#include "protocol/WorkerRing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
