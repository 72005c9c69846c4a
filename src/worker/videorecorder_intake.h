// Relay option extraction of the worker's request intake, exposed for the unit tests.
#pragma once

#include <cstddef>

// Finds name followed by "=" in the zero-terminated buffer (first occurrence only) and
// copies its value, up to the first ',', '\r', '\n', ';' or blank, cut to size - 1 characters.
// Returns value, or nullptr (value empty) when the name is absent or not followed by "=".
char* extractFieldValue(const char* buffer, const char* name, char* value, size_t size);
// The lower of two positions; an absent one loses to a present one.
const char* assignMinPointer(const char* p1, const char* p2);
// Extracts the relay options from text and from the client buffer and starts a lookup
// when the target changed. False when text lacks JSESSIONID or GC_ID.
bool extractCookies(const char* text, size_t length);

// Set in a new proxy worker from the server's settings: whether DST_PORT and SERVICE may
// choose a relay service (and so the device port and address).
void setClientTargets(bool allowed);
