// The worker's configuration lookup: the cached-session query to the parent, and the REST
// configuration server on 127.0.0.1 for targets the parent has not cached.
#include "videorecorder_lookup.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "LanDeviceAuthData.h"
#include "LogRedaction.h"
#include "Logging.h"
#include "videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr const char* kRestHost = "127.0.0.1";
constexpr const char* kRestPrefix = "/app";
// A REST server that stops answering must not hold the worker for ever.
constexpr int kRestTimeoutSeconds = 30;
// Deeper JSON than any configuration answer needs; the parser refuses more instead of
// recursing on.
constexpr int kJsonDepthLimit = 32;
// Ids are decimal numbers of a 32-bit field: at most 10 digits (an LD id may be negative).
constexpr size_t kMaxIdDigits = 10;

void setTimeouts(int socket) {
    timeval timeout{kRestTimeoutSeconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool textField(const Json::Value& object, const char* name, const char* fallback,
               std::string* out) {
    if (!object.isMember(name)) {
        *out = fallback;
        return true;
    }
    const Json::Value& value = object[name];
    if (!value.isString()) {
        LOG4CPLUS_WARN(logger, "Malformed rest, field " << name << " is not text.");
        return false;
    }
    *out = value.asString();
    return true;
}

bool portField(const Json::Value& object, uint16_t* out) {
    if (!object.isMember("port")) {
        *out = 80;
        return true;
    }
    const Json::Value& value = object["port"];
    if (!value.isIntegral() || !value.isInt64() || value.asInt64() < 1 || value.asInt64() > 65535) {
        LOG4CPLUS_WARN(logger, "Malformed rest, field port is not a port number.");
        return false;
    }
    *out = static_cast<uint16_t>(value.asInt64());
    return true;
}

bool addressField(const Json::Value& object, std::string* out) {
    if (!textField(object, "ipAddress", "127.0.0.1", out)) {
        return false;
    }
    in_addr address;
    if (inet_pton(AF_INET, out->c_str(), &address) != 1) {
        LOG4CPLUS_WARN(logger, "Malformed rest, field ipAddress is not an IPv4 address.");
        return false;
    }
    return true;
}

// The JSON document of the body, from its first "{"; false for none or one that does not
// parse (the parser's exceptions, e.g. past its depth limit, included).
bool parseBody(const char* body, Json::Value* root) {
    const char* json = std::strchr(body, '{');
    if (json == nullptr) {
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["stackLimit"] = kJsonDepthLimit;
    try {
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        return reader->parse(json, json + std::strlen(json), root, &errors) && root->isObject();
    } catch (const std::exception&) {
        return false;
    }
}

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

// The value of an id that passed validId: the LD ids that are not above 0 count as 0.
uint32_t idValue(const char* text) {
    if (text[0] == '-') {
        return 0;
    }
    return static_cast<uint32_t>(std::strtoull(text, nullptr, 10));
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
    return digits != text || std::strtoull(digits, nullptr, 10) <= UINT32_MAX;
}

bool validTarget(const char* gcId, const char* ldId) {
    if (validId(gcId, false) && (ldId[0] == '\0' || validId(ldId, true))) {
        return true;
    }
    LOG4CPLUS_WARN(logger, "Refusing lookup of GC " << printable(gcId) << ", LD " << printable(ldId)
                                                    << ": ids are decimal numbers");
    return false;
}

const char* httpAnswerBody(const char* answer) {
    // "HTTP/1.x 200" and then the end of the status code.
    constexpr const char kPrefix[] = "HTTP/1.";
    constexpr size_t kPrefixLength = sizeof kPrefix - 1;
    if (std::strncmp(answer, kPrefix, kPrefixLength) != 0) {
        return nullptr;
    }
    const char* code = answer + kPrefixLength;
    if (*code < '0' || *code > '9' || code[1] != ' ' || std::strncmp(code + 2, "200", 3) != 0) {
        return nullptr;
    }
    const char after = code[5];
    if (after != ' ' && after != '\r' && after != '\n') {
        return nullptr;
    }
    const char* crlf = std::strstr(answer, "\r\n\r\n");
    const char* lf = std::strstr(answer, "\n\n");
    if (crlf != nullptr && (lf == nullptr || crlf < lf)) {
        return crlf + 4;
    }
    return lf != nullptr ? lf + 2 : nullptr;
}

std::string restPath(const char* gcId, const char* ldId) {
    return ldId[0] != '\0' ? std::string("/hm/ld/") + ldId : std::string("/hm/gc/") + gcId;
}

int httpRequest(const char* path, const char* sessionId, char* buffer, size_t size) {
    const State& s = worker::state();
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0) {
        return -1;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(s.restPort);
    if (inet_pton(AF_INET, kRestHost, &server.sin_addr) != 1) {
        LOG4CPLUS_WARN(logger, "Could not resolve hostname " << kRestHost);
        ::close(socket);
        return -1;
    }
    setTimeouts(socket);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        LOG4CPLUS_WARN(logger, "Could not connect to REST server, error: " << std::strerror(errno));
        ::close(socket);
        return -1;
    }
    LOG4CPLUS_INFO(logger, "Sending request: " << kRestPrefix << path << " with JESSIONID="
                                               << tamblo::logging::sessionTag(sessionId));
    std::ostringstream request;
    request << "GET " << kRestPrefix << path << " HTTP/1.1\r\nHost: " << kRestHost << ":"
            << s.restPort << "\r\nCookie: JSESSIONID=" << sessionId
            << "\r\nConnection: Close\r\n\r\n";
    const std::string text = request.str();
    const ssize_t written = ::send(socket, text.data(), text.size(), MSG_NOSIGNAL);
    if (written < static_cast<ssize_t>(text.size())) {
        LOG4CPLUS_WARN(logger, "Could not send request to RESTServer. Closing proxy.");
        if (written < 0) {
            LOG4CPLUS_WARN(logger, "Error is: " << std::strerror(errno));
        } else if (written == 0) {
            LOG4CPLUS_WARN(logger, "Connection closed.");
        }
        ::close(socket);
        return -1;
    }
    size_t received = 0;
    for (;;) {
        if (received == size - 1) {
            break;  // full: the last byte is kept for the terminator
        }
        const ssize_t n = ::recv(socket, buffer + received, size - 1 - received, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            LOG4CPLUS_WARN(logger, "Could not send request to RESTServer due to error: "
                                       << std::strerror(errno));
            ::close(socket);
            return -1;
        }
        received += static_cast<size_t>(n);
    }
    ::close(socket);
    buffer[received] = '\0';
    LOG4CPLUS_TRACE(logger,
                    "Got response from RESTServer: " << tamblo::logging::redactSecrets(buffer));
    return static_cast<int>(received);
}

bool parseConfiguration(const char* answer, const char* gcId, const char* ldId, std::string* serial,
                        std::string* deviceAddress, uint16_t* devicePort) {
    const bool deviceLookup = ldId[0] != '\0';
    const char* body = httpAnswerBody(answer);
    if (body == nullptr) {
        const char* end = std::strpbrk(answer, "\r\n");
        const size_t length = end != nullptr ? static_cast<size_t>(end - answer) : 0;
        LOG4CPLUS_WARN(logger, "REST answer is not HTTP status 200: " << std::string(
                                   answer, std::min<size_t>(length, 64)));
        return false;
    }
    Json::Value root;
    if (!parseBody(body, &root)) {
        LOG4CPLUS_WARN(logger, "Malformed rest, could not find status field.");
        return false;
    }
    // A gateway answer must say "OK"; a device answer may leave "status" out.
    if (!deviceLookup || root.isMember("status")) {
        std::string status;
        if (!textField(root, "status", "not found", &status)) {
            return false;
        }
        if (status != "OK") {
            if (deviceLookup) {
                LOG4CPLUS_WARN(logger, "LD " << ldId << " status: " << status);
            } else {
                LOG4CPLUS_WARN(logger, "GC " << gcId << " status: " << status);
            }
            return false;
        }
    }
    const Json::Value& gateway = root["gatewayClient"];
    if (!gateway.isObject()) {
        LOG4CPLUS_WARN(logger, "Malformed rest, could not find gateway client object.");
        return false;
    }
    if (!textField(gateway, "serialNumber", "", serial)) {
        return false;
    }
    if (deviceLookup) {
        return addressField(root, deviceAddress) && portField(root, devicePort);
    }
    return true;
}

bool getConfiguration(const char* gcId, const char* ldId, const char* sessionId,
                      std::string* serial) {
    State& s = worker::state();
    if (!validTarget(gcId, ldId)) {
        return false;
    }
    const std::string path = restPath(gcId, ldId);
    constexpr size_t kAnswerSize = 524288;
    std::unique_ptr<char[]> answer(new char[kAnswerSize]);
    if (httpRequest(path.c_str(), sessionId, answer.get(), kAnswerSize) < 0) {
        LOG4CPLUS_WARN(logger, "Failed to retrieve: " << path);
        return false;
    }
    std::string address = s.cameraIPAddress;
    uint16_t port = s.cameraPortNumber;
    if (!parseConfiguration(answer.get(), gcId, ldId, serial, &address, &port)) {
        return false;
    }
    if (ldId[0] != '\0') {
        std::snprintf(s.cameraIPAddress, sizeof s.cameraIPAddress, "%s", address.c_str());
        s.cameraPortNumber = port;
    }
    return true;
}

void checkForCachedSessionId() {
    const State& s = worker::state();
    LanDeviceAuthData query = makeLanDeviceAuthData();
    query.gcId = idValue(s.gcId);
    query.ldId = idValue(s.ldId);
    setAuthText(query.sessionId, s.sessionId);
    if (s.ipOverride != nullptr) {
        setAuthText(query.ipOverride, s.ipOverride);
    }
    tunnelTransportContextOutput(pipe_message::kCachedSessionQuery, &query, sizeof query);
}

namespace {
// The client gets no answer: its connection is closed with the process.
[[noreturn]] void failLookup() {
    const State& s = worker::state();
    ::close(s.fdConnected);
    ::_exit(1);
}
}  // namespace

int downloadConfiguration() {
    State& s = worker::state();
    LOG4CPLUS_DEBUG(logger, "downloading configuration");
    std::string serial;
    if (!getConfiguration(s.gcId, s.ldId, s.sessionId, &serial)) {
        failLookup();
    }
    LOG4CPLUS_TRACE(logger, "Passing MAC " << serial << " to parent process");
    LanDeviceAuthData found = makeLanDeviceAuthData();
    found.gcId = idValue(s.gcId);
    found.ldId = s.ldId[0] != '\0' ? idValue(s.ldId) : 0;
    found.gatewayLookup = s.ldId[0] == '\0' ? 1 : 0;
    setAuthText(found.mac, serial);
    setAuthText(found.sessionId, s.sessionId);
    setAuthText(found.ipAddress, s.cameraIPAddress);
    if (s.ipOverride != nullptr) {
        setAuthText(found.ipOverride, s.ipOverride);
    }
    found.port = s.cameraPortNumber;
    s.vlcOutputWatcher.stop();  // resumes when the tunnelled connection is up
    tunnelTransportContextOutput(pipe_message::kConfigurationFound, &found, sizeof found);
    return 0;
}

namespace worker {

void startLookup() {
    State& s = state();
    s.targetPending = true;
    s.targetRequested = true;
    targetNamed();
    if (!validTarget(s.gcId, s.ldId)) {
        failLookup();  // before any request, to the parent or the configuration service
    }
    // "0", "-1" and other values not above 0 go to the configuration service directly.
    if (s.ldId[0] != '\0' && s.ldId[0] != '-' && idValue(s.ldId) > 0) {
        checkForCachedSessionId();
    } else {
        downloadConfiguration();
    }
}

void configurationNotCached() {
    downloadConfiguration();
}

}  // namespace worker
