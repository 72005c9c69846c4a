// The shared-memory ring that carries what the gateway sent (tunnel packets, channel
// datagrams) from the parent to one worker, so that those bytes cross neither the kernel nor
// a pipe: the parent writes them where the worker reads them. The pipe still carries the
// parent's own messages, and a doorbell frame that wakes the worker when the ring has news.
//
// Layout of the memory (a sealed memfd of kMappedBytes; the parent creates and sizes it, the
// worker maps what it is given, neither can resize it):
//
//   +0      u32  produced: bytes the parent has published (counts on, wrapping at 2^32)
//   +64     u32  consumed: bytes the worker has dispatched (the same count)
//   +4096   kDataBytes of frames, each a pipe frame (type, u16 length, payload) at the
//           offset produced % kDataBytes. A frame never crosses the end of the data: a
//           frame that does not fit before it is preceded by a pad frame (type kPad)
//           covering the rest, or by fewer than kHeaderSize bytes that the reader skips.
//
// Only the parent writes produced and frames; only the worker writes consumed. The parent
// trusts nothing it reads back: a consumed count that claims more than was produced, or
// frees more than the ring holds, marks the ring broken (its worker is ended). The worker
// checks each frame against what was produced before it dispatches it.
//
// Wake-ups: the parent rings the doorbell (a pipe frame) only when the worker has consumed
// all it was last rung for, that is when the ring went from empty to not empty as far as a
// sleeping worker can tell. Otherwise a doorbell is still unread, or the worker is draining.
// Neither side can miss the other: the parent stores produced and then reads consumed, the
// worker stores consumed and then reads produced again before it sleeps, each with a full
// fence between, so at least one of them sees the other's store. A worker that lies about
// consumed only delays its own wake-ups.
//
// RingWriter is the parent's (WorkerProcess creates it, WorkerPipeWriter writes to it);
// RingReader is the worker's (attached before the worker starts, drained by its loop).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol/PipeMessage.h"

namespace worker_ring {

constexpr size_t kHeaderBytes = 4096;
constexpr size_t kDataBytes = 256 * 1024;
constexpr size_t kMappedBytes = kHeaderBytes + kDataBytes;
constexpr size_t kProducedOffset = 0;
constexpr size_t kConsumedOffset = 64;
// The type of a pad frame; never a message of its own.
constexpr uint8_t kPad = 244;

class RingWriter {
  public:
    RingWriter() = default;
    ~RingWriter();
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;

    // Creates the memory; false (and no ring) when the system refuses it.
    bool create();
    bool valid() const { return memory_ != nullptr; }
    // The memfd for the worker, until the parent closes its copy.
    int descriptor() const { return fd_; }
    void closeDescriptor();
    // Writes one frame after those written before; published with the next publish(). False
    // when the ring has no room for it (or is broken).
    bool write(uint8_t type, const uint8_t* bytes, uint16_t length);
    // Makes what was written visible to the worker.
    void publish();
    // publish(), and whether the worker needs a doorbell for it: true when it has consumed
    // everything up to the last time this returned true (it may be asleep).
    bool publishNeedsDoorbell();
    // The worker's consumed count was impossible.
    bool broken() const { return broken_; }

  private:
    // Bytes the worker has not consumed yet; marks the ring broken on a hostile count.
    size_t used();
    std::atomic<uint32_t>& counter(size_t offset);

    int fd_ = -1;
    uint8_t* memory_ = nullptr;
    uint32_t produced_ = 0;  // the parent's own count, never read back from the memory
    uint32_t published_ = 0;
    uint32_t rung_ = 0;  // produced when a doorbell was last needed
    bool broken_ = false;
};

class RingReader {
  public:
    enum class Status { Ok, Stopped, Corrupt };

    RingReader() = default;
    ~RingReader();
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    // Maps the memfd (closed here either way); false when it is not a ring's memory.
    bool attach(int descriptor);
    // Sink: bool(uint8_t type, const uint8_t* payload, uint16_t length), the payload in the
    // ring (valid during the call); false stops (the rest stays for the next drain).
    template <typename Sink>
    Status drain(Sink&& sink) {
        if (memory_ == nullptr) {
            return Status::Ok;
        }
        uint32_t produced = counter(kProducedOffset).load(std::memory_order_acquire);
        Status status = Status::Ok;
        for (;;) {
            status = drainTo(produced, sink);
            counter(kConsumedOffset).store(consumed_, std::memory_order_release);
            if (status != Status::Ok) {
                break;
            }
            // Before the worker sleeps: whatever the parent published while it read, unless
            // the parent saw this consumed count and so rang the doorbell.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            produced = counter(kProducedOffset).load(std::memory_order_acquire);
            if (produced == consumed_) {
                break;
            }
        }
        return status;
    }

  private:
    std::atomic<uint32_t>& counter(size_t offset);

    // Dispatches the frames up to produced.
    template <typename Sink>
    Status drainTo(uint32_t produced, Sink& sink) {
        while (consumed_ != produced) {
            const uint32_t available = produced - consumed_;
            const size_t at = consumed_ % kDataBytes;
            const size_t toEnd = kDataBytes - at;
            const size_t header = pipe_message::kHeaderSize;
            if (available > kDataBytes || available < (toEnd < header ? toEnd : header)) {
                return Status::Corrupt;
            }
            if (toEnd < header) {
                consumed_ += static_cast<uint32_t>(toEnd);  // too short for a pad frame
                continue;
            }
            const uint8_t* frame = memory_ + kHeaderBytes + at;
            const uint16_t length = pipe_message::headerLength(frame);
            const size_t size = pipe_message::kHeaderSize + length;
            if (size > toEnd || size > available) {
                return Status::Corrupt;
            }
            consumed_ += static_cast<uint32_t>(size);
            if (frame[0] == kPad) {
                continue;
            }
            if (!sink(frame[0], frame + pipe_message::kHeaderSize, length)) {
                return Status::Stopped;
            }
        }
        return Status::Ok;
    }

    uint8_t* memory_ = nullptr;
    uint32_t consumed_ = 0;
};

}  // namespace worker_ring
