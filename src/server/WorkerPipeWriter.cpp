// The parent's write side of a worker's pipe: gathered frames, full pipes, cut frames.
#include "server/WorkerPipeWriter.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);
}  // namespace

void WorkerPipeWriter::open(int writeEnd) {
    fd = writeEnd;
    ev_io_init(pipeWritable.get(),
               (evMemberCallback<WorkerPipeWriter, ev_io, &WorkerPipeWriter::writable_cb>), fd,
               EV_WRITE);
    pipeWritable.get()->data = this;
}

void WorkerPipeWriter::stop() {
    stopped = true;
    pipeWritable.stop();
}

void WorkerPipeWriter::send(uint8_t type, const uint8_t* bytes, uint16_t length, bool droppable) {
    if (!writable()) {
        return;
    }
    if (droppable && ring_ != nullptr) {
        writeToRing(type, bytes, length);
        flush();
        return;
    }
    flush();
    if (stopped) {
        return;
    }
    // The rest of a cut frame, and what waits behind it, go first: until they have, the pipe
    // counts as full.
    const ssize_t result =
        writeLeftover() ? pipe_message::writeFrame(fd, type, bytes, length) : (errno = EAGAIN, -1);
    if (droppable) {
        LOG4CPLUS_TRACE(logger, "Tunnel::send() result = " << result << ", len = " << length);
    } else {
        LOG4CPLUS_TRACE(logger, "send to child process result: " << result);
    }
    size_t written = 0;
    if (result < 0) {
        const int error = errno;
        if (error != EAGAIN && error != EWOULDBLOCK) {
            if (droppable) {
                owner.pipeFailed(error);
            }
            return;  // not droppable: the worker is gone, its end of the other pipe says so
        }
        // Nothing of the frame was written, so the stream is intact. What the gateway sent is
        // lost as on a congested link (the stack, or RTP, copes); the parent's own messages
        // wait their turn.
        if (droppable) {
            if (type == pipe_message::kDatagram) {
                owner.packetsDropped(1);
            } else {
                owner.channelDatagramDropped();
            }
            return;
        }
    } else {
        written = static_cast<size_t>(result);
    }
    if (written < pipe_message::kHeaderSize + length) {
        keepUnwritten(type, bytes, length, written);
    }
}

void WorkerPipeWriter::keepUnwritten(uint8_t type, const uint8_t* bytes, uint16_t length,
                                     size_t written) {
    uint8_t header[pipe_message::kHeaderSize];
    pipe_message::putHeader(header, type, length);
    if (written < sizeof header) {
        leftover.insert(leftover.end(), header + written, header + sizeof header);
        written = 0;
    } else {
        written -= sizeof header;
    }
    if (length > written) {
        leftover.insert(leftover.end(), bytes + written, bytes + length);
    }
    if (leftover.size() > kMaxPendingBytes) {
        const size_t pending = leftover.size();
        leftover.clear();
        owner.pipeNotRead(pending);
        return;
    }
    pipeWritable.start(loop);
}

void WorkerPipeWriter::writeToRing(uint8_t type, const uint8_t* bytes, uint16_t length) {
    if (ring_->write(type, bytes, length)) {
        ringPending_ = true;
        pendingBytes_ += pipe_message::kHeaderSize + length;
        return;
    }
    if (ring_->broken()) {
        LOG4CPLUS_WARN(logger, "worker claims to have read more than the parent wrote, ending it");
        stopped = true;
        owner.pipeFailed(EPROTO);
        return;
    }
    // Lost as on a congested link (the stack, or RTP, copes).
    if (type == pipe_message::kDatagram) {
        owner.packetsDropped(1);
    } else {
        owner.channelDatagramDropped();
    }
}

void WorkerPipeWriter::announceRing() {
    const bool doorbell = ring_->publishNeedsDoorbell();
    ringPending_ = false;
    pendingBytes_ = 0;
    // A doorbell the pipe cannot take now is not needed: the worker has unread bytes in the
    // pipe, and it reads the ring whenever it reads the pipe.
    if (doorbell && writeLeftover()) {
        pipe_message::writeFrame(fd, pipe_message::kRingDoorbell, nullptr, 0);
    }
}

void WorkerPipeWriter::queue(uint8_t type, const uint8_t* bytes, uint16_t length) {
    if (stopped) {
        return;
    }
    if (ring_ != nullptr) {
        if (!ringBatch_) {
            ringBatch_ = true;
            owner.framesQueued();
        }
        writeToRing(type, bytes, length);
        return;
    }
    if (queued.empty()) {
        owner.framesQueued();
    }
    QueuedFrame frame;
    pipe_message::putHeader(frame.header, type, length);
    frame.payload = bytes;
    frame.length = length;
    frame.heldOffset = 0;
    queued.push_back(frame);
    pendingBytes_ += pipe_message::kHeaderSize + length;
}

void WorkerPipeWriter::hold() {
    if (ring_ != nullptr) {
        ring_->publish();  // visible to a worker that wakes for something else; no doorbell
        ringBatch_ = false;
        return;
    }
    if (heldPayloads.capacity() == 0) {
        heldPayloads.reserve(WakeModeration::kHoldBytes);  // held bytes stay below it
    }
    for (QueuedFrame& frame : queued) {
        frame.heldOffset = static_cast<uint32_t>(heldPayloads.size());
        heldPayloads.insert(heldPayloads.end(), frame.payload, frame.payload + frame.length);
        frame.payload = nullptr;
        held.push_back(frame);
    }
    queued.clear();
}

void WorkerPipeWriter::clearPending() {
    ringPending_ = false;
    ringBatch_ = false;
    queued.clear();
    held.clear();
    heldPayloads.clear();
    pendingBytes_ = 0;
}

void WorkerPipeWriter::dropQueued() {
    if (!queued.empty()) {
        owner.packetsDropped(queued.size());
    }
    clearPending();
}

void WorkerPipeWriter::flush() {
    if (ring_ != nullptr) {
        ringBatch_ = false;
        if (!writable()) {
            clearPending();
        } else if (ringPending_) {
            announceRing();
        }
        return;
    }
    if (queued.empty() && held.empty()) {
        return;
    }
    if (!writable()) {
        clearPending();
        return;
    }
    if (!held.empty()) {
        // The held frames go first, in the order they came.
        for (QueuedFrame& frame : held) {
            frame.payload = heldPayloads.data() + frame.heldOffset;
        }
        queued.insert(queued.begin(), held.begin(), held.end());
        held.clear();
    }
    if (!writeLeftover()) {
        dropQueued();
        return;
    }
    // Header and payload of each frame as two pieces of one gathered write, as many frames
    // per write as the system takes.
    constexpr size_t kFramesPerWrite = 512;
    size_t next = 0;
    while (next < queued.size()) {
        iovec pieces[2 * kFramesPerWrite];
        size_t count = 0;
        size_t end = next;
        for (; end < queued.size() && end - next < kFramesPerWrite; ++end) {
            QueuedFrame& frame = queued[end];
            pieces[count++] = {frame.header, pipe_message::kHeaderSize};
            pieces[count++] = {const_cast<uint8_t*>(frame.payload), frame.length};
        }
        ssize_t result;
        do {
            result = ::writev(fd, pieces, static_cast<int>(count));
        } while (result < 0 && errno == EINTR);
        LOG4CPLUS_TRACE(logger, "Tunnel::flushFrames() wrote " << result << " bytes of "
                                                               << end - next << " frames");
        if (result < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                break;  // the rest finds the pipe full
            }
            clearPending();
            owner.pipeFailed(error);
            return;
        }
        size_t written = static_cast<size_t>(result);
        while (next < end && written >= pipe_message::kHeaderSize + queued[next].length) {
            written -= pipe_message::kHeaderSize + queued[next].length;
            ++next;
        }
        if (next < end) {
            if (written > 0) {
                // The pipe took part of a frame: its rest must follow before anything else.
                const QueuedFrame& cut = queued[next];
                uint8_t frame[pipe_message::kMaxFrame];
                std::memcpy(frame, cut.header, pipe_message::kHeaderSize);
                std::memcpy(frame + pipe_message::kHeaderSize, cut.payload, cut.length);
                leftover.assign(frame + written, frame + pipe_message::kHeaderSize + cut.length);
                pipeWritable.start(loop);
                ++next;
            }
            break;
        }
    }
    queued.erase(queued.begin(), queued.begin() + static_cast<long>(next));
    dropQueued();
}

bool WorkerPipeWriter::writeLeftover() {
    if (leftover.empty()) {
        return true;
    }
    ssize_t result;
    do {
        result = ::write(fd, leftover.data(), leftover.size());
    } while (result < 0 && errno == EINTR);
    if (result > 0) {
        leftover.erase(leftover.begin(), leftover.begin() + result);
    } else if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        leftover.clear();  // the worker is gone: its end of the other pipe says so
    }
    if (leftover.empty()) {
        pipeWritable.stop();
        return true;
    }
    pipeWritable.start(loop);
    return false;
}

void WorkerPipeWriter::writable_cb(int) {
    writeLeftover();
}
