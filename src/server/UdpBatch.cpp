// Sending datagrams in batches with segmentation offload, and receive offload on a socket.
#include "server/UdpBatch.h"

#include <netinet/udp.h>

#include <cerrno>
#include <cstring>

namespace udp_batch {

namespace {

constexpr size_t kControlBytes = CMSG_SPACE(sizeof(uint16_t));

bool sameDestination(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// What the kernel says when it cannot take a segmented message on this path (no checksum
// offload on the device, a segment over the path's MTU, an old kernel).
bool refusesSegmentation(int error) {
    return error == EINVAL || error == EIO || error == EMSGSIZE || error == ENOPROTOOPT ||
           error == EOPNOTSUPP;
}

}  // namespace

bool enableReceiveOffload(int fd) {
    const int on = 1;
    return ::setsockopt(fd, IPPROTO_UDP, UDP_GRO, &on, sizeof on) == 0;
}

size_t segmentSize(const msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            return size > 0 ? static_cast<size_t>(size) : 0;
        }
    }
    return 0;
}

DatagramBatch::DatagramBatch(size_t arenaBytes, size_t maxDatagrams, bool segmentation)
    : arena_(new uint8_t[arenaBytes]),
      arenaBytes_(arenaBytes),
      entries_(new Entry[maxDatagrams]),
      vectors_(new iovec[maxDatagrams]),
      messages_(new mmsghdr[maxDatagrams]),
      controls_(new uint8_t[maxDatagrams * kControlBytes]),
      runCounts_(new size_t[maxDatagrams]),
      maxDatagrams_(maxDatagrams),
      segmentation_(segmentation) {}

uint8_t* DatagramBatch::reserve(size_t capacity) {
    if (count_ == maxDatagrams_ || capacity > 0xffff || used_ + capacity > arenaBytes_) {
        reserved_ = 0;
        return nullptr;
    }
    reserved_ = capacity;
    return arena_.get() + used_;
}

void DatagramBatch::commit(size_t length, const sockaddr_in* destination, uint8_t tag) {
    if (length > reserved_) {
        length = reserved_;  // never past the room that was handed out
    }
    Entry& entry = entries_[count_++];
    entry.offset = static_cast<uint32_t>(used_);
    entry.length = static_cast<uint16_t>(length);
    entry.tag = tag;
    entry.hasDestination = destination != nullptr;
    if (destination != nullptr) {
        entry.destination = *destination;
    }
    used_ += length;
    reserved_ = 0;
}

bool DatagramBatch::add(const void* bytes, size_t length, const sockaddr_in* destination,
                        uint8_t tag) {
    uint8_t* room = reserve(length);
    if (room == nullptr) {
        return false;
    }
    std::memcpy(room, bytes, length);
    commit(length, destination, tag);
    return true;
}

size_t DatagramBatch::runLength(size_t first) const {
    // Equal datagrams to one destination, the last one possibly shorter, within the kernel's
    // limits for one segmented message.
    const Entry& lead = entries_[first];
    if (!segmentation_ || lead.length == 0) {
        return 1;
    }
    size_t total = lead.length;
    size_t n = 1;
    while (first + n < count_ && n < kMaxSegments) {
        const Entry& next = entries_[first + n];
        if (next.length == 0 || next.length > lead.length ||
            next.hasDestination != lead.hasDestination ||
            (lead.hasDestination && !sameDestination(next.destination, lead.destination)) ||
            total + next.length > kMaxSegmentedBytes) {
            break;
        }
        total += next.length;
        ++n;
        if (next.length < lead.length) {
            break;  // only the last segment may be shorter
        }
    }
    return n;
}

bool DatagramBatch::flush(int fd, Report report, void* context) {
    while (head_ < count_) {
        // One message per run of entries, for everything queued.
        size_t messages = 0;
        for (size_t entry = head_; entry < count_; ++messages) {
            const size_t n = runLength(entry);
            prepareMessage(messages, entry, n);
            entry += n;
        }
        const int sent = ::sendmmsg(fd, messages_.get(), static_cast<unsigned>(messages), 0);
        if (sent < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            if (error == EAGAIN || error == EWOULDBLOCK) {
                return false;
            }
            if (runCounts_[0] > 1 && refusesSegmentation(error)) {
                segmentation_ = false;  // the same datagrams go again, one per message
                continue;
            }
            // The first message cannot go: its datagrams are lost, the rest try again.
            finish(runCounts_[0], error, report, context);
            continue;
        }
        messagesSent_ += static_cast<uint64_t>(sent);
        for (int i = 0; i < sent; ++i) {
            finish(runCounts_[i], 0, report, context);
        }
    }
    reset();
    return true;
}

void DatagramBatch::prepareMessage(size_t index, size_t first, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const Entry& e = entries_[first + i];
        vectors_[first + i] = {arena_.get() + e.offset, e.length};
    }
    const Entry& lead = entries_[first];
    mmsghdr& m = messages_[index];
    std::memset(&m, 0, sizeof m);
    if (lead.hasDestination) {
        m.msg_hdr.msg_name = const_cast<sockaddr_in*>(&lead.destination);
        m.msg_hdr.msg_namelen = sizeof lead.destination;
    }
    m.msg_hdr.msg_iov = &vectors_[first];
    m.msg_hdr.msg_iovlen = n;
    runCounts_[index] = n;
    if (n > 1) {
        uint8_t* control = controls_.get() + index * kControlBytes;
        std::memset(control, 0, kControlBytes);
        m.msg_hdr.msg_control = control;
        m.msg_hdr.msg_controllen = kControlBytes;
        cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
        c->cmsg_level = IPPROTO_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t size = lead.length;
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
    }
}

void DatagramBatch::finish(size_t n, int error, Report report, void* context) {
    if (report != nullptr) {
        for (size_t i = 0; i < n; ++i) {
            const Entry& e = entries_[head_ + i];
            report(context, e.tag, e.length, error);
        }
    }
    head_ += n;
}

void DatagramBatch::dropAll(int error, Report report, void* context) {
    for (size_t i = head_; i < count_; ++i) {
        if (report != nullptr) {
            report(context, entries_[i].tag, entries_[i].length, error);
        }
    }
    reset();
}

void DatagramBatch::reset() {
    head_ = 0;
    count_ = 0;
    used_ = 0;
    reserved_ = 0;
}

}  // namespace udp_batch
