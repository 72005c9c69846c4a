// The services a recorder uses of its worker (the RTSP recorder's binding, RTSPRecorder):
// the tunnel's connection to the camera, channels for RTP and RTCP, descriptors watched on
// the worker's loop, calls handed to the loop from other threads, cleanup and errors.
// Defined in videorecorder_services.cpp; all but videorecorder_post_to_loop run on the
// worker's loop thread.
#pragma once

#include <boost/function.hpp>
#include <cstdint>

// Services for a recorder.
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
