// The worker process: one proxied client connection or one recording per forked process,
// around its own event loop. Entry points called in the forked child, the services that a
// recorder uses (videorecorder_services.h), the pipe output towards the parent
// (videorecorder_output.h), and the
// callbacks of the tunnel transport.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "protocol/RecordingRequest.h"
#include "worker/videorecorder_output.h"
#include "worker/videorecorder_services.h"

struct pbuf;

namespace worker {
// Maps the shared ring from the parent (WorkerRing.h) before an entry point runs; the
// descriptor is closed either way. A worker without one reads everything from its pipe.
bool attachParentRing(int descriptor);
}  // namespace worker

// Entry points; each returns when the worker has ended (the caller exits with the result).
// requestHeadTimeout: seconds the client has to name its target with relay options.
int startTcpProxy(int fd, int fdOutput, int fdInput, uint32_t requestHeadTimeout);
// A spare proxy worker: sets itself up, then waits for its client's socket on handoff (a
// socket pair end, one descriptor passed with one byte) and serves it as startTcpProxy does.
// Ends at once, without a word to the parent, when the parent closes the pair first.
int startSpareTcpProxy(int handoff, int fdOutput, int fdInput, uint32_t requestHeadTimeout);
// The recording worker: takes ownership of request.outputFd. Defined apart, with the media
// libraries (videorecorder_record.cpp).
int videoRecorder(const RecordingRequest& request, int fdOutput, int fdInput);

// Called by the tunnel transport.
void tunnelConnected();
// True: the chain is the worker's now. False: its queue is full; the stack keeps the chain
// and offers it again later (after tunnelDataConsumed at the latest).
bool tunnelReceivedData(struct pbuf* chain);
void tunnelDataSent(uint16_t count);
void tunnelClosed();

// The device address and port that a connect uses: what the parent's connect parameters named
// (a proxy worker), or the camera (a recording).
const char* getIPAddress();
uint16_t getPortNumber();
