// The entry points of a fuzz target: libFuzzer calls them in build-fuzz/, and the replayer
// (replay_main.cpp) calls them over the seed corpus in every ctest run.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional: once, before the first input.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
