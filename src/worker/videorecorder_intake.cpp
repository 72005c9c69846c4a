// The worker's intake of client requests: the HTTP request parser run over each received
// chunk, the relay options it finds, and the start of a lookup when the target changes.
#include "worker/videorecorder_intake.h"

#include <evhtp/parser.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr int kContinueParse = 0;
constexpr int kStopParse = htparse_error_user;  // 11

// Option values are cut to these sizes (terminator included).
constexpr size_t kSessionIdSize = 64;
constexpr size_t kIdSize = 16;
constexpr size_t kOptionSize = 16;

// The chosen service by DST_PORT first, then by SERVICE (which wins); unknown values leave
// the service as it was. The worker only reports the choice: the parent decides what it
// imposes (RelayService.h).
void chooseService(const char* inbuf) {
    State& s = worker::state();
    if (!s.intake.clientTargets) {
        return;  // the operator turned client-chosen services off: the device is the target
    }
    char value[kOptionSize];
    if (extractFieldValue(inbuf, "DST_PORT", value, sizeof value) != nullptr) {
        if (const auto service = serviceByPort(static_cast<uint16_t>(std::atoi(value)))) {
            s.lookup.service = *service;
        }
    }
    if (extractFieldValue(inbuf, "SERVICE", value, sizeof value) != nullptr) {
        if (const auto service = serviceByName(value)) {
            s.lookup.service = *service;
        }
    }
}

// A client's keepalive time-out, held to 1..3600 s: 0 or less would end the worker at the
// next tick, and a huge value (or one that wraps) would keep an idle worker for ever. The
// first value clamped in a worker is logged.
uint32_t keepaliveTimeoutOption(const char* value) {
    State& s = worker::state();
    // Text that is no number counts as 0, as atoi reads it; strtoll saturates instead of
    // wrapping.
    const long long seconds = std::strtoll(value, nullptr, 10);
    const long long clamped =
        std::clamp<long long>(seconds, worker::kMinKeepaliveTimeout, worker::kMaxKeepaliveTimeout);
    if (clamped != seconds && !s.keepaliveClampLogged) {
        s.keepaliveClampLogged = true;
        LOG4CPLUS_INFO(logger, "CUSTOM_KEEPALIVE_TIMEOUT=" << value << " is outside "
                                                           << worker::kMinKeepaliveTimeout << ".."
                                                           << worker::kMaxKeepaliveTimeout
                                                           << " s, using " << clamped << " s");
    }
    return static_cast<uint32_t>(clamped);
}

void applyInbufOptions(const char* inbuf) {
    State& s = worker::state();
    char value[kOptionSize];
    if (extractFieldValue(inbuf, "HTTP_STATUS_SWITCH", value, sizeof value) != nullptr &&
        value[0] != '\0') {
        s.relay.httpStatusSwitchDisabled = std::atoi(value) == 0;
        LOG4CPLUS_DEBUG(logger, "cookie contained option: HTTP_STATUS_SWITCH=" << value);
    }
    if (extractFieldValue(inbuf, "CUSTOM_KEEPALIVE_TIMEOUT", value, sizeof value) != nullptr &&
        value[0] != '\0') {
        LOG4CPLUS_DEBUG(logger, "cookie contained option: CUSTOM_KEEPALIVE_TIMEOUT=" << value);
        s.keepaliveTimeout = keepaliveTimeoutOption(value);
    }
    chooseService(inbuf);
}

bool sameTarget(const char* session, const char* gc, const char* ld) {
    const State& s = worker::state();
    return std::strcmp(session, s.lookup.sessionId) == 0 && std::strcmp(gc, s.lookup.gcId) == 0 &&
           (s.lookup.ldId[0] == '\0' || std::strcmp(s.lookup.ldId, ld) == 0);
}

int clientDataGotArgsCb(htparser*, const char* data, size_t length) {
    State& s = worker::state();
    const std::string text(data, length);
    s.intake.gotCookies = extractCookies(text.c_str(), text.size());
    LOG4CPLUS_TRACE(logger, "parser: got args: " << tamblo::logging::redactSecrets(text)
                                                 << ", gotCookies: " << s.intake.gotCookies);
    return kContinueParse;
}

int clientDataGotHeaderKeyCb(htparser*, const char* data, size_t length) {
    State& s = worker::state();
    const size_t n = std::min(length, sizeof s.intake.previousHttpHeaderKey - 1);
    std::memcpy(s.intake.previousHttpHeaderKey, data, n);
    s.intake.previousHttpHeaderKey[n] = '\0';
    LOG4CPLUS_TRACE(logger, "parser: got header key: " << s.intake.previousHttpHeaderKey);
    return kContinueParse;
}

int clientDataGotHeaderValueCb(htparser*, const char* data, size_t length) {
    const State& s = worker::state();
    const std::string value(data, length);
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        const bool secret = tamblo::logging::isSecretHeader(s.intake.previousHttpHeaderKey);
        LOG4CPLUS_TRACE(logger, "parser: got header value: "
                                    << (secret ? std::string("<hidden>")
                                               : tamblo::logging::redactSecrets(value)));
    }
    if (s.intake.gotCookies || std::strcmp(s.intake.previousHttpHeaderKey, "Cookie") != 0) {
        return kContinueParse;
    }
    return extractCookies(value.c_str(), value.size()) ? kContinueParse : kStopParse;
}

htparse_hooks makeHooks() {
    htparse_hooks hooks;
    std::memset(&hooks, 0, sizeof hooks);
    hooks.args = clientDataGotArgsCb;
    hooks.hdr_key = clientDataGotHeaderKeyCb;
    hooks.hdr_val = clientDataGotHeaderValueCb;
    return hooks;
}

void parseChunk(const char* chunk, size_t length) {
    static htparse_hooks hooks = makeHooks();
    htparser* parser = htparser_new();
    if (parser == nullptr) {
        return;
    }
    htparser_init(parser, htp_type_request);
    htparser_run(parser, &hooks, chunk, length);
    std::free(parser);
}
}  // namespace

void setClientTargets(bool allowed) {
    worker::state().intake.clientTargets = allowed;
}

const char* assignMinPointer(const char* p1, const char* p2) {
    if (p1 == nullptr) {
        return p2;
    }
    if (p2 == nullptr) {
        return p1;
    }
    return p1 < p2 ? p1 : p2;
}

char* extractFieldValue(const char* buffer, const char* name, char* value, size_t size) {
    value[0] = '\0';
    const char* found = std::strstr(buffer, name);
    if (found == nullptr || found[std::strlen(name)] != '=') {
        return nullptr;
    }
    const char* start = found + std::strlen(name) + 1;
    const char* end = assignMinPointer(std::strchr(start, ','), std::strchr(start, '\r'));
    end = assignMinPointer(end, std::strchr(start, '\n'));
    end = assignMinPointer(end, std::strchr(start, ';'));
    // A blank ends a value too: cookie values hold none, and in the request line it ends
    // the URI (an option last in the query string would otherwise take " HTTP/1.1" along).
    end = assignMinPointer(end, std::strchr(start, ' '));
    end = assignMinPointer(end, std::strchr(start, '\t'));
    end = assignMinPointer(end, start + std::strlen(start));
    const size_t n = std::min(static_cast<size_t>(end - start), size - 1);
    std::memcpy(value, start, n);
    value[n] = '\0';
    return value;
}

bool extractCookies(const char* text, size_t) {
    State& s = worker::state();
    char session[kSessionIdSize];
    char gc[kIdSize];
    if (extractFieldValue(text, "JSESSIONID", session, sizeof session) == nullptr ||
        extractFieldValue(text, "GC_ID", gc, sizeof gc) == nullptr) {
        return false;
    }
    char replace[kOptionSize];
    if (extractFieldValue(text, "REPLACE_CONTENT_TYPE", replace, sizeof replace) != nullptr &&
        replace[0] != '\0') {
        s.relay.replaceContentTypeFlag = std::atoi(replace) != 0;
    }
    LOG4CPLUS_TRACE(logger, "replaceContentTypeFlag=" << (s.relay.replaceContentTypeFlag ? 1 : 0));

    applyInbufOptions(s.intake.clientInbuf);
    char ld[kIdSize];
    if (extractFieldValue(s.intake.clientInbuf, "LD_ID", ld, sizeof ld) == nullptr) {
        s.lookup.ldId[0] = '\0';
    }
    LOG4CPLUS_TRACE(logger, "extractCookies, old and new sessionId: "
                                << tamblo::logging::sessionTag(s.lookup.sessionId) << " vs "
                                << tamblo::logging::sessionTag(session));
    LOG4CPLUS_TRACE(logger, "extractCookies, old and new gcId: " << s.lookup.gcId << " vs " << gc);
    LOG4CPLUS_TRACE(logger, "extractCookies, old and new ldId: " << s.lookup.ldId << " vs " << ld);
    if (sameTarget(session, gc, ld)) {
        return true;
    }
    std::snprintf(s.lookup.sessionId, sizeof s.lookup.sessionId, "%s", session);
    std::snprintf(s.lookup.ldId, sizeof s.lookup.ldId, "%s", ld);
    std::snprintf(s.lookup.gcId, sizeof s.lookup.gcId, "%s", gc);
    worker::startLookup();
    s.intake.dataNeedsProcessing = false;
    return true;
}

namespace worker {

void clientDataReceived(int received) {
    State& s = state();
    s.intake.dataNeedsProcessing = true;
    if (received > 0 && s.isProxy) {
        parseChunk(s.intake.clientInbuf + s.intake.clientInbufLen - received,
                   static_cast<size_t>(received));
    }
    if (s.intake.dataNeedsProcessing) {
        processClientData(received);
    }
}

}  // namespace worker
