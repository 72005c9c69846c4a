// The worker's side of a lookup: it checks the ids its client named and tells the parent
// what the client asked for (message 250). The parent alone asks the configuration service
// and decides where the connection goes (ConfigurationLookup.h, Tunnel.cpp).
#pragma once

// A GC id is a decimal number of at most 10 digits that fits 32 bits; an LD id may also
// carry a minus sign ("-1": not above 0, looked up at the configuration service).
bool validId(const char* text, bool mayBeNegative);
// Both ids of a target valid (an empty LD id: the gateway itself); else a WARN and false.
bool validTarget(const char* gcId, const char* ldId);
// Message 250 for the current target.
void checkForCachedSessionId();
