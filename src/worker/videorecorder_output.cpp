// The worker's pipe output towards the parent: the batch of tunnel packets written once per
// pass of the loop (a run of pure ACKs of one connection kept as its last), and the messages
// that go out at once behind it.
#include "worker/videorecorder_output.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "protocol/PipeMessage.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);
}  // namespace

namespace worker {

void flushOutput() {
    State& s = state();
    size_t written = 0;
    while (written < s.outputBatchLength) {
        const ssize_t n =
            ::write(s.fdUDPOutput, s.outputBatch.get() + written, s.outputBatchLength - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            LOG4CPLUS_DEBUG(
                logger, "flushOutput: could not send to parent process: " << std::strerror(errno));
            break;  // the parent is gone; the pipe's end of file ends the worker
        }
        written += static_cast<size_t>(n);
    }
    s.outputBatchLength = 0;
}

}  // namespace worker

void tunnelTransportContextOutput(uint8_t type, const void* payload, uint16_t length) {
    worker::flushOutput();  // messages reach the parent in the order they were made
    LOG4CPLUS_TRACE(logger, "tunnelTransportContextOutput: len: " << length);
    const ssize_t result =
        pipe_message::writeFrame(worker::state().fdUDPOutput, type, payload, length);
    LOG4CPLUS_TRACE(logger, "tunnelTransportContextOutput writev result = " << result);
}

void sendTofdUDPOutput(const uint8_t* bytes, uint16_t length) {
    worker::flushOutput();
    if (pipe_message::writeFrame(worker::state().fdUDPOutput, pipe_message::kDatagram, bytes,
                                 length) < 0) {
        LOG4CPLUS_DEBUG(logger, "sendTofdUDPOutput: could not send to parent process: "
                                    << std::strerror(errno));
    }
}

void sendCloseTofdUDPOutput() {
    tunnelTransportContextOutput(pipe_message::kFinished, nullptr, 0);
}

namespace {
// A segment that only acknowledges: the ACK flag alone, no payload. packet: the device
// address, then the TCP segment.
bool pureAck(const uint8_t* packet, size_t length) {
    constexpr size_t kAddress = 4;
    constexpr size_t kFlagsOffset = kAddress + 13;
    constexpr uint8_t kAckOnly = 0x10;
    return length >= kAddress + 20 && (packet[kAddress + 12] >> 4) * 4u == length - kAddress &&
           (packet[kFlagsOffset] & 0x3f) == kAckOnly;
}

uint32_t ackNumber(const uint8_t* packet) {
    uint32_t ack;
    std::memcpy(&ack, packet + 4 + 8, sizeof ack);
    return ntohl(ack);
}

// The batch's last frame is a pure ACK of the same connection that this one supersedes: it
// acknowledges more, so the older one says nothing the newer does not (it carries the newer
// window too). A duplicate ACK (same number) is never replaced: the device counts those.
bool supersedesLastAck(const uint8_t* packet, size_t length) {
    const worker::State& s = worker::state();
    if (s.outputBatchLength == 0 || !pureAck(packet, length)) {
        return false;
    }
    const uint8_t* last = s.outputBatch.get() + s.lastFrameOffset;
    const uint16_t lastLength = pipe_message::headerLength(last);
    const uint8_t* lastPacket = last + pipe_message::kHeaderSize + 1;
    const size_t lastPacketLength = lastLength - 1u;
    return lastPacketLength == length && pureAck(lastPacket, lastPacketLength) &&
           std::memcmp(lastPacket, packet, 4 + 4) == 0 &&  // device address and ports
           static_cast<int32_t>(ackNumber(packet) - ackNumber(lastPacket)) > 0;
}
}  // namespace

void tunnelTransportOutput(const uint8_t* packet, uint16_t length) {
    LOG4CPLUS_TRACE(logger, "tunnelTransportOutput: len: " << length);
    State& s = worker::state();
    // Type 255 whose payload is the TAMBLO_MT_TCPOVERUDP byte and the packet.
    const uint16_t payloadLength = static_cast<uint16_t>(length + 1);
    const size_t frame = pipe_message::kHeaderSize + payloadLength;
    if (supersedesLastAck(packet, length)) {
        // A batch of segments from the device is acknowledged once, by its last ACK, instead
        // of every second segment: a twentieth of the datagrams for the parent, the gateway
        // and the device to handle, and the device's stack takes such ACKs as a receiver
        // behind receive offload would send them.
        std::memcpy(s.outputBatch.get() + s.lastFrameOffset + frame - length, packet, length);
        return;
    }
    if (s.outputBatchLength + frame > worker::kOutputBatchSize) {
        worker::flushOutput();
    }
    if (frame > worker::kOutputBatchSize) {
        static const uint8_t kTcpOverUdp = TAMBLO_MT_TCPOVERUDP;
        pipe_message::writeFrame2(s.fdUDPOutput, pipe_message::kDatagram, &kTcpOverUdp, 1, packet,
                                  length);
        return;
    }
    if (!s.outputBatch) {
        s.outputBatch.reset(new uint8_t[worker::kOutputBatchSize]);
    }
    uint8_t* out = s.outputBatch.get() + s.outputBatchLength;
    pipe_message::putHeader(out, pipe_message::kDatagram, payloadLength);
    out[pipe_message::kHeaderSize] = TAMBLO_MT_TCPOVERUDP;
    std::memcpy(out + 4, packet, length);
    s.lastFrameOffset = s.outputBatchLength;
    s.outputBatchLength += frame;
    if (s.localLoop == nullptr) {
        worker::flushOutput();  // no loop pass to wait for
    }
}
