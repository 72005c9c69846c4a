// The worker's relay data path, exposed for the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

struct pbuf;

// The once-only rewrites of a proxy worker on the first buffer of a device answer: a
// multipart content-type header renamed to "content_type", a 401 status line made 403.
void rewriteAnswer(uint8_t* bytes, size_t length);
// One run of the writer of queued device bytes to the local connection (also its
// write-readiness callback).
void runClientWriter();
