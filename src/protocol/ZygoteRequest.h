// What the server asks of its worker zygote: one message per worker to fork, and the
// zygote's answer. The server encodes them (WorkerZygote::spawn), the zygote decodes them
// (runWorkerZygote); the worker's descriptors travel beside the message (SCM_RIGHTS), in
// the order kDescriptors gives.
//
// Request, one SOCK_SEQPACKET message, integers in host order (both ends are one binary):
//
//   +0   u8   kind: 1 proxy worker for a client, 2 spare proxy worker, 3 recording worker
//   +1   u8   flags (recording): bit 0 RTCP over RTSP, bit 1 fragmented mp4/3gp
//   +2   u16  camera port          (recording; 0 otherwise)
//   +4   u16  local port           (recording)
//   +6   u8   first channel        (recording)
//   +7   u8   0
//   +8   u32  local IP of the gateway client, network order (recording)
//   +12  u32  TCP window           (recording)
//   +16  six strings, each u16 length then its bytes: camera IP, user, password, video URI,
//        output name, codec (all empty but for a recording)
//
// Descriptors: the worker's output pipe end, its input pipe end, then the client socket
// (kind 1), the hand-off socket (kind 2) or the recording file (kind 3).
//
// Answer, one message: i32 the worker's pid, or minus an errno value when no worker was
// forked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/RecordingRequest.h"

enum class WorkerKind : uint8_t { Proxy = 1, Spare = 2, Recording = 3 };

struct ZygoteRequest {
    WorkerKind kind = WorkerKind::Proxy;
    RecordingRequest recording;  // kind Recording only (outputFd and confine do not travel)
};

namespace zygote_message {

inline constexpr size_t kFixedSize = 16;
// The worker's pipe to the parent, its pipe from the parent, its socket (the client's, the
// hand-off pair's or the recording file), and the shared ring from the parent (WorkerRing.h).
inline constexpr size_t kDescriptors = 4;
// The largest request: what a recording's strings may add up to, with room.
inline constexpr size_t kMaxRequest = 16 * 1024;

// Empty when a string is longer than a u16 length or the whole exceeds kMaxRequest.
std::optional<std::vector<uint8_t>> encodeRequest(const ZygoteRequest& request);
// Empty when the bytes are not exactly one request as laid out above.
std::optional<ZygoteRequest> decodeRequest(const uint8_t* bytes, size_t length);

}  // namespace zygote_message
