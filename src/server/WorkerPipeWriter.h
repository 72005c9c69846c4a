// The parent's write side of one worker's pipe: the tunnel packets of a receive batch
// gathered and written in one call, messages that may be dropped when the pipe is full (what
// the gateway sent) and messages that wait behind it (the parent's own), and the rest of a
// frame the pipe took only in part, which goes before anything else.
//
// A Tunnel owns one for its pipe to the worker and is its Owner: it counts and logs what was
// dropped and ends itself when the pipe cannot be written. The descriptor stays the tunnel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/EventLoop.h"
#include "protocol/PipeMessage.h"
#include "protocol/WorkerRing.h"
#include "server/WakeModeration.h"

class WorkerPipeWriter {
  public:
    // What may wait in the parent for a worker that does not read: its control messages and
    // the rest of one cut frame. A worker that lets more pile up reads nothing at all.
    static constexpr size_t kMaxPendingBytes = 64 * 1024;

    class Owner {
      public:
        // The first frame since the last flush was gathered: flush() is due after the batch.
        virtual void framesQueued() = 0;
        // Tunnel packets, or one channel datagram, found the pipe full and were dropped.
        virtual void packetsDropped(size_t count) = 0;
        virtual void channelDatagramDropped() = 0;
        // The pipe cannot be written (error), or the worker reads nothing (pending bytes
        // over the bound): the owner ends.
        virtual void pipeFailed(int error) = 0;
        virtual void pipeNotRead(size_t pending) = 0;

      protected:
        ~Owner() = default;
    };

    explicit WorkerPipeWriter(Owner& owner) : owner(owner) {}
    WorkerPipeWriter(const WorkerPipeWriter&) = delete;
    WorkerPipeWriter& operator=(const WorkerPipeWriter&) = delete;

    // The non-blocking write end, or -1 (every write is then skipped).
    void open(int fd);
    // What the gateway sent goes into this ring from now on (the worker's process owns it),
    // and the pipe carries a doorbell instead of the bytes when the worker may be asleep.
    void attachRing(worker_ring::RingWriter* ring) { ring_ = ring; }
    // No more writes (the owner ends); what is gathered is cleared at the next flush.
    void stop();
    // One message, after the gathered frames. A droppable one is dropped when the pipe has no
    // room for it; any other waits, in order, until the worker reads.
    void send(uint8_t type, const uint8_t* bytes, uint16_t length, bool droppable);
    // A tunnel packet written with the others of the receive batch by flush(); the payload
    // must stay where it is until then.
    void queue(uint8_t type, const uint8_t* bytes, uint16_t length);
    void flush();
    // Frames gathered or held, or the moderation lists the writer (its owner must be forgotten).
    bool hasQueued() const {
        return !queued.empty() || !held.empty() || ringPending_ || wakes_.holding;
    }

    // The wake-up moderation keeps the gathered frames back: their payloads are copied, so the
    // receive buffers may be filled again; they go first with the next flush().
    void hold();
    // Bytes of the frames gathered and held, headers included.
    size_t pendingBytes() const { return pendingBytes_; }
    WakeModeration::WorkerWakes& wakes() { return wakes_; }

  private:
    bool writable() const { return fd >= 0 && !stopped; }
    // Into the ring: a frame the ring has no room for is dropped and counted; a ring the
    // worker broke ends the owner.
    void writeToRing(uint8_t type, const uint8_t* bytes, uint16_t length);
    // Publishes the ring's frames, and rings the doorbell when the worker had read them all.
    void announceRing();
    // Writes the rest of a cut frame (and what had to follow it); true when nothing is left.
    bool writeLeftover();
    void dropQueued();  // counts what was not written and clears everything pending
    void clearPending();
    // Keeps what the pipe did not take of a frame (written bytes of it already went).
    void keepUnwritten(uint8_t type, const uint8_t* bytes, uint16_t length, size_t written);
    void writable_cb(int revents);

    Owner& owner;
    int fd = -1;
    bool stopped = false;
    struct QueuedFrame {
        uint8_t header[pipe_message::kHeaderSize];
        const uint8_t* payload;  // a held frame: nullptr, its bytes at heldOffset
        uint16_t length;
        uint32_t heldOffset;
    };
    std::vector<QueuedFrame> queued;
    std::vector<QueuedFrame> held;
    std::vector<uint8_t> heldPayloads;
    size_t pendingBytes_ = 0;
    WakeModeration::WorkerWakes wakes_;
    std::vector<uint8_t> leftover;
    EvIo pipeWritable;
    worker_ring::RingWriter* ring_ = nullptr;
    bool ringPending_ = false;  // frames in the ring that no doorbell announced yet
    bool ringBatch_ = false;    // frames written since the last flush or hold
};
