// The worker's configuration lookup, exposed for the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// "/hm/ld/<ld>" for a LAN device target, "/hm/gc/<gc>" for the gateway client itself.
std::string restPath(const char* gcId, const char* ldId);
// GET "/app" + path from the REST server; the answer's byte count (zero-terminated in
// buffer), or -1.
int httpRequest(const char* path, const char* sessionId, char* buffer, size_t size);
// A GC id is a decimal number of at most 10 digits that fits 32 bits; an LD id may also
// carry a minus sign ("-1": not above 0, looked up at the configuration service).
bool validId(const char* text, bool mayBeNegative);
// Both ids of a target valid (an empty LD id: the gateway itself); else a WARN and false.
bool validTarget(const char* gcId, const char* ldId);
// The body of a raw HTTP answer whose status line is "HTTP/1.x 200": what follows the
// blank line that ends the header block; nullptr for any other answer.
const char* httpAnswerBody(const char* answer);
// Reads the fields of a whole zero-terminated HTTP answer for the target (an empty LD id:
// a gateway lookup); false (with its WARN line) when the lookup fails.
bool parseConfiguration(const char* answer, const char* gcId, const char* ldId, std::string* serial,
                        std::string* deviceAddress, uint16_t* devicePort);
bool getConfiguration(const char* gcId, const char* ldId, const char* sessionId,
                      std::string* serial);
// Message 250 for the current target.
void checkForCachedSessionId();
// The whole REST lookup; ends the process with status 1 when it fails.
int downloadConfiguration();
