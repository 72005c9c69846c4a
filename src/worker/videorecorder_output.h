// The worker's pipe output towards the parent. Tunnel packets gather in a batch that the loop
// writes once per pass (worker::flushOutput, declared with the worker's state); every other
// message is written at once, after the batch, so the parent sees them in the order they
// were made. Defined in videorecorder_output.cpp.
#pragma once

#include <cstdint>

// Pipe output towards the parent.
void tunnelTransportContextOutput(uint8_t type, const void* payload, uint16_t length);
void sendTofdUDPOutput(const uint8_t* bytes, uint16_t length);
void sendCloseTofdUDPOutput();
// A tunnel packet (the device address, then the segment) for the batch.
void tunnelTransportOutput(const uint8_t* packet, uint16_t length);
