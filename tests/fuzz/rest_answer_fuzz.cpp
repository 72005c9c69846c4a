// The configuration service's answers as the parent's lookup reads them: status line, header
// block, JSON body and its fields. The first byte chooses a device or a gateway lookup.
#include <string>

#include "FuzzTarget.h"
#include "server/ConfigurationLookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool device = (data[0] & 1) != 0;
    const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);  // zero-ended
    std::string serial;
    std::string address;
    uint16_t port = 0;
    parseConfiguration(answer.c_str(), "7", device ? "12" : "", &serial, &address, &port);
    return 0;
}
