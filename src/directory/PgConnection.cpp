// The PostgreSQL connection under the client, and its reconnection (see PgConnection.h).
#include "directory/PgConnection.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/Logging.h"

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kDatabase);

std::string trimmedMessage(const char* message) {
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "unknown error" : text;
}

void logNotice(void*, const char* message) {
    if (logger.isEnabledFor(log4cplus::DEBUG_LOG_LEVEL)) {
        LOG4CPLUS_DEBUG(logger, "Database notice: " << trimmedMessage(message));
    }
}

// A value for a keyword=value connection string: quoted, with \ and ' escaped.
std::string quotedValue(const char* value) {
    std::string out = "'";
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '\'') {
            out += '\\';
        }
        out += *p;
    }
    return out + "'";
}

bool isNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The address of one host of the list, or "" where libpq needs no lookup (a socket directory,
// an address already).
std::string addressOf(const std::string& host) {
    if (host.empty() || host[0] == '/' || host[0] == '@' || isNumericAddress(host)) {
        return "";
    }
    // IPv4 first, as the server's other sockets; IPv6 only for a name without an IPv4 address.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        hints.ai_family = AF_UNSPEC;
        status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    }
    if (status != 0 || found == nullptr) {
        throw std::invalid_argument("cannot resolve the database host " + host + ": " +
                                    gai_strerror(status));
    }
    char text[INET6_ADDRSTRLEN] = {};
    const void* address =
        found->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr);
    inet_ntop(found->ai_family, address, text, sizeof text);
    freeaddrinfo(found);
    return text;
}

std::string secondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

}  // namespace

std::string pgResolvedConninfo(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        const std::string text = trimmedMessage(error);
        PQfreemem(error);
        throw std::invalid_argument("bad database connection string: " + text);
    }
    std::string hosts;
    bool hasAddress = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        const std::string keyword = o->keyword;
        if (keyword == "host" && o->val != nullptr) {
            hosts = o->val;
        } else if (keyword == "hostaddr" && o->val != nullptr && o->val[0] != '\0') {
            hasAddress = true;
        }
    }
    std::string addresses;
    bool lookedUp = false;
    if (!hasAddress) {
        size_t start = 0;
        while (true) {
            const size_t comma = hosts.find(',', start);
            const std::string address = addressOf(hosts.substr(start, comma - start));
            lookedUp = lookedUp || !address.empty();
            addresses += address;
            if (comma == std::string::npos) {
                break;
            }
            addresses += ',';
            start = comma + 1;
        }
    }
    if (!lookedUp) {
        PQconninfoFree(options);
        return conninfo;
    }
    std::string out;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val != nullptr && std::string(o->keyword) != "hostaddr") {
            out += std::string(o->keyword) + "=" + quotedValue(o->val) + " ";
        }
    }
    PQconninfoFree(options);
    return out + "hostaddr=" + quotedValue(addresses.c_str());
}

PgConnection::PgConnection(struct ev_loop* loop, const PgClientSettings& settings, Events events)
    : loop_(loop),
      settings_(settings),
      events_(std::move(events)),
      conninfo_(pgResolvedConninfo(settings_.conninfo)),
      backoff_(settings_.firstBackoff) {
    ev_init(io_.get(), (evMemberCallback<PgConnection, ev_io, &PgConnection::onIo>));
    io_.get()->data = this;
    ev_init(connectTimer_.get(),
            (evMemberCallback<PgConnection, ev_timer, &PgConnection::onConnectDeadline>));
    connectTimer_.get()->data = this;
    ev_init(retryTimer_.get(), (evMemberCallback<PgConnection, ev_timer, &PgConnection::onRetry>));
    retryTimer_.get()->data = this;
}

PgConnection::~PgConnection() {
    io_.stop();
    if (currentResult_ != nullptr) {
        PQclear(currentResult_);
    }
    if (conn_ != nullptr) {
        PQfinish(conn_);
    }
}

int PgConnection::backendPid() const {
    return conn_ != nullptr ? PQbackendPID(conn_) : 0;
}

std::string PgConnection::errorMessage() const {
    return trimmedMessage(PQerrorMessage(conn_));
}

void PgConnection::connect() {
    retryTimer_.stop();
    state_ = State::Connecting;
    awaiting_ = Awaiting::Nothing;
    const char* keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* values[] = {conninfo_.c_str(), "TambloServer", nullptr};
    conn_ = PQconnectStartParams(keywords, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
        fail(conn_ != nullptr ? errorMessage() : "out of memory");
        return;
    }
    PQsetNoticeProcessor(conn_, logNotice, nullptr);
    connectDeadline_ = ev_now(loop_) + settings_.connectTimeout;
    armConnectDeadline();
    // libpq's rule: after PQconnectStart, wait as if PQconnectPoll had asked for writing.
    watch(EV_WRITE, true);
}

void PgConnection::watch(int events, bool force) {
    const int fd = PQsocket(conn_);
    if (force || fd != watchedFd_ || events != watchedEvents_ || !io_.active()) {
        io_.stop();
        if (fd < 0) {
            watchedFd_ = -1;
            return;
        }
        ev_io_set(io_.get(), fd, events);
        io_.start(loop_);
        watchedFd_ = fd;
        watchedEvents_ = events;
    }
}

void PgConnection::pollConnect() {
    // libpq may close the socket and open another with the same number while it connects
    // (another host, another encryption): the watcher is set anew each time.
    switch (PQconnectPoll(conn_)) {
        case PGRES_POLLING_READING:
            watch(EV_READ, true);
            return;
        case PGRES_POLLING_WRITING:
            watch(EV_WRITE, true);
            return;
        case PGRES_POLLING_OK:
            break;
        default:
            fail(errorMessage());
            return;
    }
    // Connected: from here on no call may wait for the socket. The session's own timeout ends
    // a statement the database works on too long, before the client's deadline ends the
    // connection.
    if (PQsetnonblocking(conn_, 1) != 0) {
        fail(errorMessage());
        return;
    }
    const long milliseconds = std::max(1L, std::lround(settings_.statementTimeout * 1000));
    const std::string sql = "SET statement_timeout = " + std::to_string(milliseconds);
    if (PQsendQuery(conn_, sql.c_str()) == 0) {
        fail(errorMessage());
        return;
    }
    awaiting_ = Awaiting::Settings;
    if (!flush()) {
        fail(errorMessage());
    }
}

void PgConnection::ready() {
    state_ = State::Open;
    awaiting_ = Awaiting::Nothing;
    backoff_ = settings_.firstBackoff;
    connectTimer_.stop();
    if (logger.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
        const char* host = PQhost(conn_);
        LOG4CPLUS_INFO(logger, "Connected to database " << PQdb(conn_) << " on "
                                                        << (host != nullptr ? host : "") << ":"
                                                        << PQport(conn_));
    }
    events_.up();
}

bool PgConnection::close(const std::string& reason) {
    const bool wasUp = open();
    io_.stop();
    watchedFd_ = -1;
    if (currentResult_ != nullptr) {
        PQclear(std::exchange(currentResult_, nullptr));
    }
    if (conn_ != nullptr) {
        PQfinish(std::exchange(conn_, nullptr));
    }
    state_ = State::Waiting;
    awaiting_ = Awaiting::Nothing;
    connectTimer_.stop();
    if (logger.isEnabledFor(log4cplus::WARN_LOG_LEVEL)) {
        LOG4CPLUS_WARN(logger,
                       (wasUp ? "Database connection lost: " : "Database connection failed: ")
                           << reason << "; next attempt in " << backoff_ << " s");
    }
    scheduleRetry();
    return wasUp;
}

void PgConnection::fail(const std::string& reason) {
    const bool wasUp = close(reason);
    events_.lost(reason, wasUp);
}

void PgConnection::scheduleRetry() {
    retryTimer_.stop();
    ev_timer_set(retryTimer_.get(), backoff_, 0);
    retryTimer_.start(loop_);
    backoff_ = std::min(backoff_ * 2, settings_.maxBackoff);
}

void PgConnection::onRetry(int) {
    connect();
}

bool PgConnection::sendPrepare(const std::string& name, const std::string& sql) {
    awaiting_ = Awaiting::Command;
    return PQsendPrepare(conn_, name.c_str(), sql.c_str(), 0, nullptr) != 0;
}

bool PgConnection::sendStatement(const std::string& name, const std::string& sql,
                                 const std::vector<std::optional<std::string>>& params) {
    awaiting_ = Awaiting::Command;
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const std::optional<std::string>& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    const int count = static_cast<int>(values.size());
    const int sent = name.empty() ? PQsendQueryParams(conn_, sql.c_str(), count, nullptr,
                                                      values.data(), nullptr, nullptr, 0)
                                  : PQsendQueryPrepared(conn_, name.c_str(), count, values.data(),
                                                        nullptr, nullptr, 0);
    return sent != 0;
}

bool PgConnection::flush() {
    const int status = PQflush(conn_);
    if (status < 0) {
        return false;
    }
    watch(status == 1 ? EV_READ | EV_WRITE : EV_READ);
    return true;
}

void PgConnection::onIo(int events) {
    if (state_ == State::Connecting && awaiting_ == Awaiting::Nothing) {
        pollConnect();
        return;
    }
    if ((events & EV_WRITE) != 0 && !flush()) {
        fail(errorMessage());
        return;
    }
    if ((events & EV_READ) != 0) {
        readResults();
    }
}

void PgConnection::readResults() {
    if (PQconsumeInput(conn_) == 0 || PQstatus(conn_) == CONNECTION_BAD) {
        fail(errorMessage());
        return;
    }
    while (PGnotify* notify = PQnotifies(conn_)) {
        PQfreemem(notify);
    }
    if (awaiting_ == Awaiting::Nothing) {
        return;  // nothing asked: a notice or a notification
    }
    while (PQisBusy(conn_) == 0) {
        PGresult* result = PQgetResult(conn_);
        if (result == nullptr) {
            const bool failed =
                currentResult_ == nullptr || (PQresultStatus(currentResult_) != PGRES_COMMAND_OK &&
                                              PQresultStatus(currentResult_) != PGRES_TUPLES_OK);
            const std::string error =
                failed ? trimmedMessage(currentResult_ != nullptr
                                            ? PQresultErrorMessage(currentResult_)
                                            : PQerrorMessage(conn_))
                       : std::string();
            finishCommand(std::exchange(currentResult_, nullptr), failed, error);
            return;
        }
        // Of several results the first error is the one that tells what went wrong.
        const bool keepPrevious =
            currentResult_ != nullptr && PQresultStatus(currentResult_) == PGRES_FATAL_ERROR;
        if (keepPrevious) {
            PQclear(result);
        } else {
            if (currentResult_ != nullptr) {
                PQclear(currentResult_);
            }
            currentResult_ = result;
        }
    }
}

void PgConnection::finishCommand(pg_result* last, bool failed, const std::string& error) {
    if (std::exchange(awaiting_, Awaiting::Nothing) != Awaiting::Settings) {
        events_.answered(last, failed, error);
        return;
    }
    if (last != nullptr) {
        PQclear(last);
    }
    if (failed) {
        fail("session settings refused: " + error);
    } else {
        ready();
    }
}

void PgConnection::armConnectDeadline() {
    connectTimer_.stop();
    ev_timer_set(connectTimer_.get(), std::max(0.0, connectDeadline_ - ev_now(loop_)), 0);
    connectTimer_.start(loop_);
}

void PgConnection::onConnectDeadline(int) {
    if (state_ != State::Connecting) {
        return;
    }
    if (ev_now(loop_) >= connectDeadline_) {
        fail("no connection within " + secondsText(settings_.connectTimeout) + " s");
        return;
    }
    armConnectDeadline();
}
