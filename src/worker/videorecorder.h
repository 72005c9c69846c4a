// The worker process: one proxied client connection or one recording per forked process,
// around its own event loop. Entry points called in the forked child, the services that a
// recorder uses, the pipe output towards the parent, and the callbacks of the tunnel
// transport.
#pragma once

#include <sys/types.h>

#include <boost/function.hpp>
#include <cstdint>

#include "protocol/RecordingRequest.h"

struct pbuf;

// Entry points; each returns when the worker has ended (the caller exits with the result).
// requestHeadTimeout: seconds the client has to name its target with relay options.
int startTcpProxy(int fd, int fdOutput, int fdInput, uint32_t requestHeadTimeout);
// A spare proxy worker: sets itself up, then waits for its client's socket on handoff (a
// socket pair end, one descriptor passed with one byte) and serves it as startTcpProxy does.
// Ends at once, without a word to the parent, when the parent closes the pair first.
int startSpareTcpProxy(int handoff, int fdOutput, int fdInput, uint32_t requestHeadTimeout);
// The recording worker: takes ownership of request.outputFd.
int videoRecorder(const RecordingRequest& request, int fdOutput, int fdInput);

// Services for a recorder (all on the worker's loop thread).
using WatcherCallback = boost::function<void()>;
void videorecorder_connect(const char* address, uint16_t port);
uint32_t videorecorder_send_to_device(const uint8_t* bytes, uint32_t length);
void videorecorder_channel_register(uint8_t channel);
void videorecorder_channel_deregister(uint8_t channel);
void videorecorder_channel_send(const uint8_t* bytes, uint16_t length);
bool videorecorder_register_watcher(uint16_t fd, WatcherCallback cb);
void videorecorder_deregister_watcher(uint16_t fd);
void videorecorder_schedule_on_main_thread(WatcherCallback cb);
// Calls cb whenever fd is writable, until deregistered (one record per descriptor).
bool videorecorder_register_write_watcher(uint16_t fd, WatcherCallback cb);
void videorecorder_deregister_write_watcher(uint16_t fd);
// Any thread: runs cb on the loop thread; does nothing once the loop has ended.
void videorecorder_post_to_loop(WatcherCallback cb);
// count more device bytes were passed on: the tunnel's receive window reopens by that much.
void videorecorder_data_consumed(uint32_t count);
void videorecorder_cleanup();
void videorecorder_error(const char* text);

// Pipe output towards the parent.
void tunnelTransportContextOutput(uint8_t type, const void* payload, uint16_t length);
void sendTofdUDPOutput(const uint8_t* bytes, uint16_t length);
void sendCloseTofdUDPOutput();

// Called by the tunnel transport.
void tunnelConnected();
// True: the chain is the worker's now. False: its queue is full; the stack keeps the chain
// and offers it again later (after tunnelDataConsumed at the latest).
bool tunnelReceivedData(struct pbuf* chain);
void tunnelDataSent(uint16_t count);
void tunnelClosed();
void tunnelTransportOutput(const uint8_t* packet, uint16_t length);

// The device address and port that a connect uses: what the parent's connect parameters named
// (a proxy worker), or the camera (a recording).
const char* getIPAddress();
uint16_t getPortNumber();
