// Batched UDP for the two ends of a gateway association: datagrams gathered and sent with
// sendmmsg, where a run of datagrams of one size to one destination goes as one message with
// UDP segmentation offload (UDP_SEGMENT: the kernel cuts it into the same datagrams again),
// and the receive side's generic receive offload (UDP_GRO), which hands over runs of equal
// datagrams from one sender as one buffer.
//
// Nothing changes on the wire: a receiver sees the same datagrams, in the same order, as if
// each had been sent alone. Used by the server's gateway socket (TambloServer: tunnel packets
// and channel datagrams of the workers) and by tamblo-gateway (segments from its TUN device).
// Where the kernel refuses an offload, the batch falls back to one datagram per message.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace udp_batch {

// The kernel's limits for one segmented message (older kernels: 64 segments).
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxSegmentedBytes = 65507;  // an IPv4 UDP payload
// A receive buffer that holds whatever the kernel coalesced.
constexpr size_t kCoalescedBufferSize = 65536;

// Asks the kernel to coalesce received datagrams (UDP_GRO). False where it does not offer it;
// the socket then receives one datagram per buffer as before.
bool enableReceiveOffload(int fd);
// The segment size of a coalesced buffer from recvmsg's control data, or 0 for a buffer that
// holds one datagram. The control buffer needs kControlSpace bytes per message.
size_t segmentSize(const msghdr& message);
constexpr size_t kControlSpace = 64;

// Calls visit(bytes, length) for each datagram of a received buffer, in order: every
// segmentSize bytes, the last one possibly shorter; the whole buffer when it holds one.
template <typename Visit>
void forEachDatagram(uint8_t* buffer, size_t length, size_t segment, Visit&& visit) {
    if (segment == 0 || segment >= length) {
        visit(buffer, length);
        return;
    }
    for (size_t offset = 0; offset < length; offset += segment) {
        visit(buffer + offset, length - offset < segment ? length - offset : segment);
    }
}

// What became of one datagram of a flush: error 0 when the kernel took it.
using Report = void (*)(void* context, uint8_t tag, size_t length, int error);

class DatagramBatch {
  public:
    // arenaBytes: room for the datagrams' bytes; maxDatagrams: datagrams per batch.
    DatagramBatch(size_t arenaBytes, size_t maxDatagrams, bool segmentation = true);
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Room for the next datagram, at most capacity bytes; nullptr when the batch cannot take
    // one more (flush first). The caller writes the datagram there and commits it.
    uint8_t* reserve(size_t capacity);
    // The datagram written to reserve()'s room: length bytes for destination (nullptr on a
    // connected socket). tag comes back in the report.
    void commit(size_t length, const sockaddr_in* destination, uint8_t tag = 0);
    // A copy of bytes as the next datagram; false when it does not fit (flush first).
    bool add(const void* bytes, size_t length, const sockaddr_in* destination, uint8_t tag = 0);

    size_t size() const { return count_ - head_; }
    bool empty() const { return head_ == count_; }
    // Room left: bytes and datagrams.
    size_t freeBytes() const { return arenaBytes_ - used_; }
    size_t freeDatagrams() const { return maxDatagrams_ - count_; }

    // Sends the datagrams in order. Each one is reported once it has left or failed for good;
    // a datagram the kernel refuses for another reason than a full socket buffer is dropped
    // (a lossy link: TCP sends it again). Returns false when the socket buffer is full: the
    // rest stays queued for the next flush (or for dropAll()).
    bool flush(int fd, Report report = nullptr, void* context = nullptr);
    // Reports everything still queued as failed with error and empties the batch.
    void dropAll(int error, Report report = nullptr, void* context = nullptr);

    // Whether runs go out as segmented messages; off for good after the kernel refused one.
    bool segmentation() const { return segmentation_; }
    // Messages and datagrams handed to the kernel so far, for the benchmarks' counters.
    uint64_t messagesSent() const { return messagesSent_; }

  private:
    struct Entry {
        uint32_t offset;
        uint16_t length;
        uint8_t tag;
        bool hasDestination;
        sockaddr_in destination;
    };
    // Up to how many entries from first make one message.
    size_t runLength(size_t first) const;
    // Message index carries the n entries from first.
    void prepareMessage(size_t index, size_t first, size_t n);
    // The next n entries have left (error 0) or are lost.
    void finish(size_t n, int error, Report report, void* context);
    void reset();

    std::unique_ptr<uint8_t[]> arena_;
    size_t arenaBytes_;
    size_t used_ = 0;
    size_t reserved_ = 0;
    std::unique_ptr<Entry[]> entries_;
    std::unique_ptr<iovec[]> vectors_;
    std::unique_ptr<mmsghdr[]> messages_;
    std::unique_ptr<uint8_t[]> controls_;  // one segment-size control message per message
    std::unique_ptr<size_t[]> runCounts_;  // entries of each message
    size_t maxDatagrams_;
    size_t head_ = 0;   // first entry not yet sent
    size_t count_ = 0;  // entries committed
    bool segmentation_;
    uint64_t messagesSent_ = 0;
};

}  // namespace udp_batch
