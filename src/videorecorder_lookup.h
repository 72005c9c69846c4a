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
// Reads the fields of an answer; false (with its WARN line) when the lookup fails.
bool parseConfiguration(const char* answer, const char* gcId, bool deviceLookup,
                        std::string* serial, std::string* deviceAddress, uint16_t* devicePort);
bool getConfiguration(const char* gcId, const char* ldId, const char* sessionId,
                      std::string* serial);
// Message 250 for the current target.
void checkForCachedSessionId();
// The whole REST lookup; ends the process with status 1 when it fails.
int downloadConfiguration();
