// The parent's asynchronous lookup at the configuration service, and the rules its answers
// must pass.
#include "server/ConfigurationLookup.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/LogRedaction.h"
#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kConfigurationLookup);

constexpr const char* kRestHost = "127.0.0.1";
constexpr const char* kRestPrefix = "/app";
// Deeper JSON than any configuration answer needs; the parser refuses more instead of
// recursing on.
constexpr int kJsonDepthLimit = 32;
// What one read takes at most; the answer grows as it arrives, up to kAnswerSize.
constexpr size_t kReadChunk = 64 * 1024;

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
}  // namespace

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

LookupRequest lookupRequestFor(const CachedSessionQuery& query) {
    LookupRequest request;
    request.gcId = std::to_string(query.gcId);
    switch (query.target) {
        case TargetKind::Device:
            request.ldId = std::to_string(query.ldId);
            break;
        case TargetKind::Gateway:
            break;
        case TargetKind::DeviceNotAboveZero:
            request.ldId = query.ldId == 0 ? std::string("0") : "-" + std::to_string(query.ldId);
            break;
    }
    request.sessionId = query.sessionId;
    return request;
}

ConfigurationLookup::ConfigurationLookup(struct ev_loop* loop, uint16_t restPort,
                                         LookupRequest request, Done done, double deadlineSeconds)
    : loop_(loop),
      restPort_(restPort),
      request_(std::move(request)),
      path_(restPath(request_.gcId.c_str(), request_.ldId.c_str())),
      done_(std::move(done)),
      deadlineSeconds_(deadlineSeconds) {
    ev_init(io_.get(), (evMemberCallback<ConfigurationLookup, ev_io, &ConfigurationLookup::io_cb>));
    io_.get()->data = this;
    ev_timer_init(
        deadline_.get(),
        (evMemberCallback<ConfigurationLookup, ev_timer, &ConfigurationLookup::deadline_cb>),
        deadlineSeconds_, 0.);
    deadline_.get()->data = this;
    ev_timer_init(begin_.get(),
                  (evMemberCallback<ConfigurationLookup, ev_timer, &ConfigurationLookup::begin_cb>),
                  0., 0.);
    begin_.get()->data = this;
}

ConfigurationLookup::~ConfigurationLookup() {
    cancel();
}

void ConfigurationLookup::cancel() {
    io_.stop();
    deadline_.stop();
    begin_.stop();
    socket_.reset();
    stage_ = Stage::Done;
    done_ = nullptr;
}

void ConfigurationLookup::start() {
    if (stage_ != Stage::Idle) {
        return;
    }
    stage_ = Stage::Connecting;
    deadline_.start(loop_);
    begin_.start(loop_);
}

void ConfigurationLookup::begin_cb(int) {
    connect();
}

void ConfigurationLookup::watch(int events) {
    io_.stop();
    ev_io_set(io_.get(), socket_.get(), events);
    io_.start(loop_);
}

void ConfigurationLookup::connect() {
    socket_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_.valid()) {
        failWithError(errno);
        return;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(restPort_);
    inet_pton(AF_INET, kRestHost, &server.sin_addr);
    if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        connected();
        return;
    }
    if (errno != EINPROGRESS) {
        failWithError(errno);
        return;
    }
    watch(EV_WRITE);
}

void ConfigurationLookup::connected() {
    LOG4CPLUS_INFO(logger, "Sending request: " << kRestPrefix << path_ << " with JESSIONID="
                                               << tamblo::logging::sessionTag(request_.sessionId));
    std::ostringstream request;
    request << "GET " << kRestPrefix << path_ << " HTTP/1.1\r\nHost: " << kRestHost << ":"
            << restPort_ << "\r\nCookie: JSESSIONID=" << request_.sessionId
            << "\r\nConnection: Close\r\n\r\n";
    requestText_ = request.str();
    stage_ = Stage::Writing;
    writeRequest();
}

void ConfigurationLookup::io_cb(int) {
    switch (stage_) {
        case Stage::Connecting: {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
            if (error != 0) {
                failWithError(error);
                return;
            }
            connected();
            return;
        }
        case Stage::Writing:
            writeRequest();
            return;
        case Stage::Reading:
            readAnswer();
            return;
        case Stage::Idle:
        case Stage::Done:
            return;
    }
}

void ConfigurationLookup::writeRequest() {
    while (written_ < requestText_.size()) {
        const ssize_t n = ::send(socket_.get(), requestText_.data() + written_,
                                 requestText_.size() - written_, MSG_NOSIGNAL);
        if (n > 0) {
            written_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(EV_WRITE);
            return;
        }
        failWithError(n < 0 ? errno : 0);
        return;
    }
    stage_ = Stage::Reading;
    watch(EV_READ);
}

void ConfigurationLookup::readAnswer() {
    for (;;) {
        const size_t room = kAnswerSize - 1 - answer_.size();
        if (room == 0) {
            answerComplete();  // full: read no further, as a whole buffer would
            return;
        }
        const size_t before = answer_.size();
        answer_.resize(before + std::min(room, kReadChunk));
        const ssize_t n = ::recv(socket_.get(), &answer_[before], answer_.size() - before, 0);
        answer_.resize(before + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            answerComplete();
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        failWithError(errno);
        return;
    }
}

void ConfigurationLookup::answerComplete() {
    io_.stop();
    socket_.reset();
    LOG4CPLUS_TRACE(logger, "Got response from RESTServer: "
                                << tamblo::logging::redactSecrets(answer_.c_str()));
    Configuration configuration;
    const bool found = parseConfiguration(answer_.c_str(), request_.gcId.c_str(),
                                          request_.ldId.c_str(), &configuration.serial,
                                          &configuration.deviceAddress, &configuration.devicePort);
    answer_.clear();
    answer_.shrink_to_fit();
    finish(found ? Outcome::Found : Outcome::Refused, configuration);
}

void ConfigurationLookup::deadline_cb(int) {
    failWithError(ETIMEDOUT);
}

void ConfigurationLookup::failWithError(int error) {
    // The lines a failure at each step wrote when the lookup was a blocking exchange.
    switch (stage_) {
        case Stage::Idle:
        case Stage::Connecting:
            LOG4CPLUS_WARN(logger,
                           "Could not connect to REST server, error: " << std::strerror(error));
            break;
        case Stage::Writing:
            LOG4CPLUS_WARN(logger, "Could not send request to RESTServer. Closing proxy.");
            if (error != 0) {
                LOG4CPLUS_WARN(logger, "Error is: " << std::strerror(error));
            } else {
                LOG4CPLUS_WARN(logger, "Connection closed.");
            }
            break;
        case Stage::Reading:
            LOG4CPLUS_WARN(logger, "Could not send request to RESTServer due to error: "
                                       << std::strerror(error));
            break;
        case Stage::Done:
            return;
    }
    LOG4CPLUS_WARN(logger, "Failed to retrieve: " << path_);
    finish(Outcome::Failed, Configuration());
}

void ConfigurationLookup::finish(Outcome outcome, const Configuration& configuration) {
    io_.stop();
    deadline_.stop();
    begin_.stop();
    socket_.reset();
    stage_ = Stage::Done;
    Done done = std::move(done_);
    done_ = nullptr;
    if (done) {
        done(outcome, configuration);  // may cancel this lookup; nothing is touched after it
    }
}
