// The worker's side of a lookup: the ids its client named are checked, and the parent is told
// what the client asked for; the parent answers with the connect parameters or a stop.
#include "worker/videorecorder_lookup.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Logging.h"
#include "protocol/LanDeviceAuthData.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

// Ids are decimal numbers of a 32-bit field: at most 10 digits (an LD id may be negative).
constexpr size_t kMaxIdDigits = 10;

// An id as it may be logged: bytes outside printable ASCII as "\xNN".
std::string printable(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7f) {
            out.push_back(*c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out.append(escaped);
        }
    }
    return out;
}

// The value of decimal digits that passed validId (an empty text: 0).
uint32_t idValue(const char* digits) {
    return static_cast<uint32_t>(std::strtoull(digits, nullptr, 10));
}
}  // namespace

bool validId(const char* text, bool mayBeNegative) {
    const char* digits = text;
    if (mayBeNegative && *digits == '-') {
        ++digits;
    }
    const size_t length = std::strlen(digits);
    if (length == 0 || length > kMaxIdDigits) {
        return false;
    }
    for (const char* c = digits; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    // Below 0 too, the magnitude must fit the record's 32-bit field.
    return std::strtoull(digits, nullptr, 10) <= UINT32_MAX;
}

bool validTarget(const char* gcId, const char* ldId) {
    if (validId(gcId, false) && (ldId[0] == '\0' || validId(ldId, true))) {
        return true;
    }
    LOG4CPLUS_WARN(logger, "Refusing lookup of GC " << printable(gcId) << ", LD " << printable(ldId)
                                                    << ": ids are decimal numbers");
    return false;
}

void checkForCachedSessionId() {
    const State& s = worker::state();
    CachedSessionQuery query;
    query.gcId = idValue(s.lookup.gcId);
    const char* ld = s.lookup.ldId[0] == '-' ? s.lookup.ldId + 1 : s.lookup.ldId;
    query.ldId = idValue(ld);
    if (s.lookup.ldId[0] == '\0') {
        query.target = TargetKind::Gateway;
    } else if (s.lookup.ldId[0] == '-' || query.ldId == 0) {
        // "0", "-1" and other values not above 0 go to the configuration service as they are.
        query.target = TargetKind::DeviceNotAboveZero;
    } else {
        query.target = TargetKind::Device;
    }
    query.service = s.intake.clientTargets ? s.lookup.service : RelayService::None;
    query.sessionId = s.lookup.sessionId;
    const LanDeviceAuthData record = encodeCachedSessionQuery(query);
    tunnelTransportContextOutput(pipe_message::kCachedSessionQuery, &record, sizeof record);
}

namespace {
// The client gets no answer: its connection is closed with the process.
[[noreturn]] void failLookup() {
    const State& s = worker::state();
    ::close(s.relay.fdConnected);
    ::_exit(1);
}
}  // namespace

namespace worker {

void startLookup() {
    State& s = state();
    s.lookup.targetPending = true;
    s.intake.targetRequested = true;
    targetNamed();
    if (!validTarget(s.lookup.gcId, s.lookup.ldId)) {
        failLookup();  // before any request to the parent
    }
    checkForCachedSessionId();
}

}  // namespace worker
