// The PROXY protocol v2 header as the proxy listener reads it from a forwarded connection: the
// decoder over the bytes received so far, then a header that decoded is encoded again and must
// decode to the same addresses.
//
// Input: the first bytes of a connection.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzTarget.h"
#include "protocol/ProxyHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace proxy_header;
    // A copy of exactly the input's size: a read past it is caught by the sanitizer.
    const std::vector<uint8_t> bytes(data, data + size);
    Header header;
    size_t consumed = 0;
    if (decode(bytes.data(), bytes.size(), &header, &consumed) != Status::Ok) {
        return 0;
    }
    if (consumed > size || consumed < kFixedSize) {
        std::abort();
    }
    uint8_t encoded[kInetHeaderSize];
    const size_t length = encode(header, encoded);
    Header again;
    size_t againConsumed = 0;
    if (decode(encoded, length, &again, &againConsumed) != Status::Ok || againConsumed != length ||
        again.local != header.local ||
        (!header.local &&
         (std::memcmp(&again.source, &header.source, sizeof header.source) != 0 ||
          std::memcmp(&again.destination, &header.destination, sizeof header.destination) != 0))) {
        std::abort();
    }
    return 0;
}
