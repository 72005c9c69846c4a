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
#include "Logging.h"
#include "videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr const char* kRestHost = "127.0.0.1";
constexpr const char* kRestPrefix = "/app";
// A REST server that stops answering must not hold the worker for ever.
constexpr int kRestTimeoutSeconds = 30;

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

uint32_t decimal(const char* text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}
}  // namespace

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
    LOG4CPLUS_INFO(logger,
                   "Sending request: " << kRestPrefix << path << " with JESSIONID=" << sessionId);
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
        } else {
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
    LOG4CPLUS_TRACE(logger, "Got response from RESTServer: " << buffer);
    return static_cast<int>(received);
}

bool parseConfiguration(const char* answer, const char* gcId, bool deviceLookup,
                        std::string* serial, std::string* deviceAddress, uint16_t* devicePort) {
    const char* json = std::strchr(answer, '{');
    Json::Value root;
    if (json != nullptr) {
        Json::CharReaderBuilder builder;
        builder["allowComments"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(json, json + std::strlen(json), &root, &errors)) {
            json = nullptr;
        }
    }
    if (json == nullptr || !root.isObject()) {
        LOG4CPLUS_WARN(logger, "Malformed rest, could not find status field.");
        return false;
    }
    if (!deviceLookup) {
        std::string status;
        if (!textField(root, "status", "not found", &status)) {
            return false;
        }
        if (status != "OK") {
            LOG4CPLUS_WARN(logger, "GC " << gcId << " status: " << status);
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
        return textField(root, "ipAddress", "127.0.0.1", deviceAddress) &&
               portField(root, devicePort);
    }
    return true;
}

bool getConfiguration(const char* gcId, const char* ldId, const char* sessionId,
                      std::string* serial) {
    State& s = worker::state();
    const std::string path = restPath(gcId, ldId);
    constexpr size_t kAnswerSize = 524288;
    std::unique_ptr<char[]> answer(new char[kAnswerSize]);
    if (httpRequest(path.c_str(), sessionId, answer.get(), kAnswerSize) < 0) {
        LOG4CPLUS_WARN(logger, "Failed to retrieve: " << path);
        return false;
    }
    const bool deviceLookup = ldId[0] != '\0';
    std::string address = s.cameraIPAddress;
    uint16_t port = s.cameraPortNumber;
    if (!parseConfiguration(answer.get(), gcId, deviceLookup, serial, &address, &port)) {
        return false;
    }
    if (deviceLookup) {
        std::snprintf(s.cameraIPAddress, sizeof s.cameraIPAddress, "%s", address.c_str());
        s.cameraPortNumber = port;
    }
    return true;
}

void checkForCachedSessionId() {
    const State& s = worker::state();
    LanDeviceAuthData query = makeLanDeviceAuthData();
    query.gcId = decimal(s.gcId);
    query.ldId = decimal(s.ldId);
    setAuthText(query.sessionId, s.sessionId);
    if (s.ipOverride != nullptr) {
        setAuthText(query.ipOverride, s.ipOverride);
    }
    tunnelTransportContextOutput(pipe_message::kCachedSessionQuery, &query, sizeof query);
}

int downloadConfiguration() {
    State& s = worker::state();
    LOG4CPLUS_DEBUG(logger, "downloading configuration");
    std::string serial;
    if (!getConfiguration(s.gcId, s.ldId, s.sessionId, &serial)) {
        // The client gets no answer: its connection is closed with the process.
        ::close(s.fdConnected);
        ::_exit(1);
    }
    LOG4CPLUS_TRACE(logger, "Passing MAC " << serial << " to parent process");
    LanDeviceAuthData found = makeLanDeviceAuthData();
    found.gcId = decimal(s.gcId);
    found.ldId = decimal(s.ldId);
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
    if (s.ldId[0] != '\0' && decimal(s.ldId) > 0) {
        checkForCachedSessionId();
    } else {
        downloadConfiguration();
    }
}

void configurationNotCached() {
    downloadConfiguration();
}

}  // namespace worker
