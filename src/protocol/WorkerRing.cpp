// The shared-memory ring between the parent and a worker: its memory and both ends.
#include "protocol/WorkerRing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace worker_ring {

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the counters are shared memory");
static_assert((kDataBytes & (kDataBytes - 1)) == 0, "offsets wrap with the 32-bit counts");

RingWriter::~RingWriter() {
    closeDescriptor();
    if (memory_ != nullptr) {
        ::munmap(memory_, kMappedBytes);
    }
}

bool RingWriter::create() {
    const int fd = ::memfd_create("tamblo-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return false;
    }
    // Sealed at its size: a worker cannot shrink the memory under the parent's writes.
    if (::ftruncate(fd, kMappedBytes) != 0 ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return false;
    }
    void* memory = ::mmap(nullptr, kMappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    memory_ = static_cast<uint8_t*>(memory);
    return true;
}

void RingWriter::closeDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::atomic<uint32_t>& RingWriter::counter(size_t offset) {
    return *reinterpret_cast<std::atomic<uint32_t>*>(memory_ + offset);
}

size_t RingWriter::used() {
    const uint32_t consumed = counter(kConsumedOffset).load(std::memory_order_acquire);
    // What the worker may have consumed lies between what it had when the parent last
    // published and what was published; anything else is a lie.
    if (static_cast<uint32_t>(published_ - consumed) > kDataBytes) {
        broken_ = true;
    }
    return produced_ - consumed;
}

bool RingWriter::write(uint8_t type, const uint8_t* bytes, uint16_t length) {
    if (memory_ == nullptr || broken_) {
        return false;
    }
    const size_t used = this->used();
    if (broken_) {
        return false;
    }
    const size_t frame = pipe_message::kHeaderSize + length;
    const size_t at = produced_ % kDataBytes;
    const size_t toEnd = kDataBytes - at;
    const size_t pad = frame > toEnd ? toEnd : 0;
    if (used + pad + frame > kDataBytes) {
        return false;
    }
    if (pad >= pipe_message::kHeaderSize) {
        pipe_message::putHeader(memory_ + kHeaderBytes + at, kPad,
                                static_cast<uint16_t>(pad - pipe_message::kHeaderSize));
    }
    produced_ += static_cast<uint32_t>(pad);
    uint8_t* out = memory_ + kHeaderBytes + produced_ % kDataBytes;
    pipe_message::putHeader(out, type, length);
    if (length > 0) {
        std::memcpy(out + pipe_message::kHeaderSize, bytes, length);
    }
    produced_ += static_cast<uint32_t>(frame);
    return true;
}

void RingWriter::publish() {
    if (memory_ != nullptr && produced_ != published_) {
        counter(kProducedOffset).store(produced_, std::memory_order_release);
        published_ = produced_;
    }
}

bool RingWriter::publishNeedsDoorbell() {
    publish();
    if (memory_ == nullptr) {
        return false;
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint32_t consumed = counter(kConsumedOffset).load(std::memory_order_acquire);
    // Consumed at or past what the worker was last rung for: nothing will wake it but a
    // doorbell. Short of it: the last doorbell is unread, or the worker is draining and
    // reads produced again before it sleeps.
    if (static_cast<uint32_t>(produced_ - consumed) > static_cast<uint32_t>(produced_ - rung_)) {
        return false;
    }
    rung_ = produced_;
    return true;
}

RingReader::~RingReader() {
    if (memory_ != nullptr) {
        ::munmap(memory_, kMappedBytes);
    }
}

bool RingReader::attach(int descriptor) {
    struct stat status;
    void* memory = MAP_FAILED;
    if (::fstat(descriptor, &status) == 0 && static_cast<size_t>(status.st_size) == kMappedBytes) {
        memory = ::mmap(nullptr, kMappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    }
    ::close(descriptor);
    if (memory == MAP_FAILED) {
        return false;
    }
    memory_ = static_cast<uint8_t*>(memory);
    consumed_ = counter(kConsumedOffset).load(std::memory_order_acquire);
    return true;
}

std::atomic<uint32_t>& RingReader::counter(size_t offset) {
    return *reinterpret_cast<std::atomic<uint32_t>*>(memory_ + offset);
}

}  // namespace worker_ring
