// A client's request bytes as the worker's intake parses them: the HTTP request parser, the
// relay options in query strings and cookies, the services they choose. Built with the intake
// unit alone: the lookup it would start is recorded instead (it talks to the server and the
// configuration service, and ends the process when it fails).
//
// Input: one byte of switches (bit 0: client-chosen services allowed), then the client's bytes,
// cut into chunks at each 0xFF byte as separate receives.
#include <cstring>
#include <memory>

#include "FuzzTarget.h"
#include "worker/videorecorder_intake.h"
#include "worker/videorecorder_state.h"

namespace {
std::unique_ptr<worker::State> current;
int lookups = 0;
}  // namespace

Watcher::~Watcher() = default;  // the intake watches no recorder descriptors

namespace worker {
State& state() {
    return *current;
}
void startLookup() {
    ++lookups;
    current->lookup.targetPending = true;
}
void processClientData(int) {
    // Everything held went to the device.
    current->intake.clientInbufLen = 0;
    current->intake.clientInbuf[0] = '\0';
}
}  // namespace worker

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    current = std::make_unique<worker::State>();
    current->isProxy = true;
    setClientTargets((data[0] & 1) != 0);
    size_t position = 1;
    while (position < size) {
        const uint8_t* end =
            static_cast<const uint8_t*>(std::memchr(data + position, 0xFF, size - position));
        const size_t chunk = (end != nullptr ? static_cast<size_t>(end - data) : size) - position;
        worker::State& s = *current;
        const size_t room = worker::kClientInbufSize - static_cast<size_t>(s.intake.clientInbufLen);
        const size_t taken = chunk < room ? chunk : room;
        std::memcpy(s.intake.clientInbuf + s.intake.clientInbufLen, data + position, taken);
        s.intake.clientInbufLen += static_cast<int>(taken);
        s.intake.clientInbuf[s.intake.clientInbufLen] = '\0';
        worker::clientDataReceived(static_cast<int>(taken));
        position += chunk + 1;
    }
    current.reset();
    return 0;
}
