// The shared ring between the parent and a worker: frames in order across the end of the
// memory, a full ring, and what each end does with a count or a frame the other could not
// have written.
#include "protocol/WorkerRing.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

using worker_ring::RingReader;
using worker_ring::RingWriter;

struct Frame {
    uint8_t type;
    std::vector<uint8_t> payload;
    bool operator==(const Frame& other) const {
        return type == other.type && payload == other.payload;
    }
};

// A writer and a reader over the same memory, as the parent and its worker hold it.
struct Ends {
    RingWriter writer;
    RingReader reader;
    Ends() {
        EXPECT_TRUE(writer.create());
        EXPECT_TRUE(reader.attach(::dup(writer.descriptor())));
    }
    std::vector<Frame> drain(RingReader::Status expected = RingReader::Status::Ok) {
        std::vector<Frame> frames;
        EXPECT_EQ(reader.drain([&](uint8_t type, const uint8_t* payload, uint16_t length) {
            frames.push_back({type, std::vector<uint8_t>(payload, payload + length)});
            return true;
        }),
                  expected);
        return frames;
    }
    // The memory as a hostile other end sees it.
    uint8_t* raw() {
        if (mapped == nullptr) {
            void* memory = ::mmap(nullptr, worker_ring::kMappedBytes, PROT_READ | PROT_WRITE,
                                  MAP_SHARED, writer.descriptor(), 0);
            EXPECT_NE(memory, MAP_FAILED);
            mapped = static_cast<uint8_t*>(memory);
        }
        return mapped;
    }
    std::atomic<uint32_t>& count(size_t offset) {
        return *reinterpret_cast<std::atomic<uint32_t>*>(raw() + offset);
    }
    ~Ends() {
        if (mapped != nullptr) {
            ::munmap(mapped, worker_ring::kMappedBytes);
        }
    }
    uint8_t* mapped = nullptr;
};

Frame frameOf(uint8_t type, size_t length, uint8_t fill) {
    return {type, std::vector<uint8_t>(length, fill)};
}

}  // namespace

// Frames of every size come out as they went in, in order, however the end of the memory cuts
// the stream (a pad frame, or fewer than a header's bytes skipped), and the writer refuses what
// does not fit until the reader has consumed.
TEST(WorkerRing, FramesArriveWholeAndInOrderAcrossTheEndAndAFullRingRefuses) {
    const struct {
        const char* what;
        size_t first;  // bytes of frames written and consumed before, to place the end
        std::vector<size_t> lengths;
    } cases[] = {
        {"no wrap", 0, {0, 1, 1400, 4096}},
        {"a pad frame before the end", worker_ring::kDataBytes - 100, {1400, 20}},
        {"two bytes skipped before the end", worker_ring::kDataBytes - 2 - 3 - 97, {97, 50}},
        {"exactly to the end", worker_ring::kDataBytes - 3 - 500, {500, 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ends ends;
        for (size_t placed = 0; placed < c.first;) {
            const size_t length = std::min<size_t>(c.first - placed - 3, 4000);
            ASSERT_TRUE(ends.writer.write(1, std::vector<uint8_t>(length).data(),
                                          static_cast<uint16_t>(length)));
            placed += 3 + length;
            ends.writer.publish();
            ends.drain();
        }
        std::vector<Frame> sent;
        uint8_t fill = 0x40;
        for (const size_t length : c.lengths) {
            sent.push_back(frameOf(255, length, fill++));
            ASSERT_TRUE(ends.writer.write(255, sent.back().payload.data(),
                                          static_cast<uint16_t>(length)));
        }
        EXPECT_TRUE(ends.drain().empty());  // nothing published yet
        ends.writer.publish();
        EXPECT_EQ(ends.drain(), sent);
    }
    Ends full;
    const std::vector<uint8_t> packet(4000, 1);
    size_t written = 0;
    while (full.writer.write(255, packet.data(), 4000)) {
        ++written;
    }
    EXPECT_EQ(written, worker_ring::kDataBytes / 4003);
    full.writer.publish();
    EXPECT_EQ(full.drain().size(), written);
    EXPECT_TRUE(full.writer.write(255, packet.data(), 4000));
    EXPECT_FALSE(full.writer.broken());
}

// Neither end trusts the other's half of the memory: a consumed count the worker could not
// have reached breaks the ring for the parent (which then ends the worker), and a frame or a
// produced count the parent could not have written stops the worker's reading.
TEST(WorkerRing, CountsAndFramesThatCannotBeAreRefused) {
    using worker_ring::kConsumedOffset;
    using worker_ring::kDataBytes;
    using worker_ring::kHeaderBytes;
    using worker_ring::kProducedOffset;
    const uint8_t byte = 7;
    const struct {
        const char* what;
        bool writerSide;
        void (*tamper)(Ends&);
    } cases[] = {
        {"consumed beyond what was published", true,
         [](Ends& e) { e.count(kConsumedOffset) = 5 * 4; }},
        {"consumed a whole ring behind", true,
         [](Ends& e) { e.count(kConsumedOffset) = static_cast<uint32_t>(0u - kDataBytes); }},
        {"produced a whole ring ahead", false,
         [](Ends& e) { e.count(kProducedOffset) = kDataBytes + 4; }},
        {"a frame longer than what was produced", false,
         [](Ends& e) { std::memset(e.raw() + kHeaderBytes + 1, 0xff, 2); }},
        {"a frame across the end", false,
         [](Ends& e) {
             pipe_message::putHeader(e.raw() + kHeaderBytes + kDataBytes - 8, 255, 10);
             e.count(kProducedOffset) = kDataBytes + 8;
             e.count(kConsumedOffset) = kDataBytes - 8;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ends ends;
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(ends.writer.write(255, &byte, 1));
        }
        ends.writer.publish();
        if (c.what == std::string("a frame across the end")) {
            RingReader late;  // starts where the tampered consumed count says
            c.tamper(ends);
            ASSERT_TRUE(late.attach(::dup(ends.writer.descriptor())));
            EXPECT_EQ(late.drain([](uint8_t, const uint8_t*, uint16_t) { return true; }),
                      RingReader::Status::Corrupt);
            continue;
        }
        c.tamper(ends);
        if (c.writerSide) {
            EXPECT_FALSE(ends.writer.write(255, &byte, 1));
            EXPECT_TRUE(ends.writer.broken());
        } else {
            EXPECT_TRUE(ends.drain(RingReader::Status::Corrupt).empty());
        }
    }
}
