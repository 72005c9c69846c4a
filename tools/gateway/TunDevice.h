// The gateway's TUN device: opening it and, unless the operator does it, bringing it up with the
// route that sends the packets for the local ip through it.
#pragma once

#include <netinet/in.h>

#include <string>

#include "common/FileDescriptor.h"

constexpr int kTunMtu = 1500;  // the server's MSS 1398 + 40 header bytes fits with room to spare

// Opens (creating when needed) a TUN device without packet information, non-blocking.
// On success *name holds the kernel's name for it. An invalid fd and *error on failure.
// With offload asked, every packet read or written carries a virtio-net header and the kernel
// hands over large TCP packets with partial checksums (TunOffload.h); *offloaded says whether
// the kernel agreed. Where it refuses, the device is opened plain.
UniqueFd openTun(std::string* name, bool offload, bool* offloaded, std::string* error);

// Sets the MTU, brings the link up and adds a host route for localIp via the device, with
// ioctls on an ordinary socket. An existing identical route is accepted.
bool configureTun(const std::string& name, in_addr localIp, std::string* error);
