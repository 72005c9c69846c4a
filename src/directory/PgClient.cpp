// The asynchronous PostgreSQL connection of the parent's loop (see PgClient.h).
#include "directory/PgClient.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/Logging.h"

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kDatabase);
LogRateLimiter statementErrorLimiter;

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

// ---- PgResult --------------------------------------------------------------------------------

PgResult::PgResult(Status status, std::string error, pg_result* result)
    : status_(status), error_(std::move(error)), result_(result) {}

PgResult::~PgResult() {
    if (result_ != nullptr) {
        PQclear(result_);
    }
}

PgResult::PgResult(PgResult&& other) noexcept
    : status_(other.status_), error_(std::move(other.error_)), result_(other.result_) {
    other.result_ = nullptr;
}

PgResult& PgResult::operator=(PgResult&& other) noexcept {
    if (this != &other) {
        if (result_ != nullptr) {
            PQclear(result_);
        }
        status_ = other.status_;
        error_ = std::move(other.error_);
        result_ = std::exchange(other.result_, nullptr);
    }
    return *this;
}

std::string PgResult::sqlState() const {
    const char* state =
        result_ != nullptr ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr ? state : "";
}

int PgResult::rows() const {
    return result_ != nullptr ? PQntuples(result_) : 0;
}

bool PgResult::isNull(int row, int column) const {
    return result_ == nullptr || row >= rows() || column >= PQnfields(result_) ||
           PQgetisnull(result_, row, column) != 0;
}

const char* PgResult::value(int row, int column) const {
    return isNull(row, column) ? "" : PQgetvalue(result_, row, column);
}

std::string PgResult::bytes(int row, int column) const {
    size_t length = 0;
    unsigned char* decoded =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(value(row, column)), &length);
    if (decoded == nullptr) {
        return {};
    }
    std::string out(reinterpret_cast<const char*>(decoded), length);
    PQfreemem(decoded);
    return out;
}

const char* pgStatusText(PgResult::Status status) {
    switch (status) {
        case PgResult::Status::Ok:
            return "ok";
        case PgResult::Status::Failed:
            return "failed";
        case PgResult::Status::Timeout:
            return "timed out";
        case PgResult::Status::Unavailable:
            return "database unavailable";
    }
    return "unknown";
}

// ---- PgClient --------------------------------------------------------------------------------

std::string PgClient::resolvedConninfo(const std::string& conninfo) {
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

PgClient::PgClient(struct ev_loop* loop, PgClientSettings settings)
    : loop_(loop),
      settings_(std::move(settings)),
      conninfo_(resolvedConninfo(settings_.conninfo)),
      backoff_(settings_.firstBackoff) {
    ev_init(io_.get(), (evMemberCallback<PgClient, ev_io, &PgClient::onIo>));
    io_.get()->data = this;
    ev_init(deadlineTimer_.get(), (evMemberCallback<PgClient, ev_timer, &PgClient::onDeadline>));
    deadlineTimer_.get()->data = this;
    ev_init(retryTimer_.get(), (evMemberCallback<PgClient, ev_timer, &PgClient::onRetry>));
    retryTimer_.get()->data = this;
}

PgClient::~PgClient() {
    io_.stop();
    if (currentResult_ != nullptr) {
        PQclear(currentResult_);
    }
    if (conn_ != nullptr) {
        PQfinish(conn_);
    }
}

int PgClient::backendPid() const {
    return conn_ != nullptr ? PQbackendPID(conn_) : 0;
}

void PgClient::start() {
    if (!started_) {
        started_ = true;
        connect();
    }
}

PgClient::Submit PgClient::submit(const PgStatement& statement,
                                  std::vector<std::optional<std::string>> params, Callback callback,
                                  double timeout) {
    if (!up()) {
        ++stats_.rejected;
        return Submit::Unavailable;
    }
    if (queue_.size() >= settings_.queueLimit) {
        ++stats_.rejected;
        return Submit::QueueFull;
    }
    const double now = ev_now(loop_);
    Pending pending;
    pending.statement = &statement;
    pending.params = std::move(params);
    pending.callback = std::move(callback);
    pending.submitted = now;
    pending.deadline = now + (timeout > 0 ? timeout : settings_.statementTimeout);
    const double deadline = pending.deadline;
    queue_.push_back(std::move(pending));
    if (state_ == State::Ready) {
        // Straight onto the idle connection; a failure to send is handled from the loop, so
        // that no callback runs inside submit().
        inSubmit_ = true;
        startNext();
        inSubmit_ = false;
    } else if (!deadlineTimer_.active() ||
               deadline < ev_now(loop_) + ev_timer_remaining(loop_, deadlineTimer_.get())) {
        armDeadline();
    }
    return Submit::Queued;
}

void PgClient::breakConnection(const std::string& reason) {
    if (!inSubmit_) {
        lose(PgResult::Status::Unavailable, reason);
        return;
    }
    brokenReason_ = reason;
    deadlineTimer_.stop();
    ev_timer_set(deadlineTimer_.get(), 0, 0);
    deadlineTimer_.start(loop_);
}

void PgClient::reset(const std::string& reason) {
    if (conn_ != nullptr) {
        lose(PgResult::Status::Unavailable, reason);
    }
}

void PgClient::connect() {
    retryTimer_.stop();
    state_ = State::Connecting;
    step_ = Step::None;
    const char* keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* values[] = {conninfo_.c_str(), "TambloServer", nullptr};
    conn_ = PQconnectStartParams(keywords, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
        lose(PgResult::Status::Unavailable,
             conn_ != nullptr ? trimmedMessage(PQerrorMessage(conn_)) : "out of memory");
        return;
    }
    PQsetNoticeProcessor(conn_, logNotice, nullptr);
    connectDeadline_ = ev_now(loop_) + settings_.connectTimeout;
    armDeadline();
    // libpq's rule: after PQconnectStart, wait as if PQconnectPoll had asked for writing.
    watch(EV_WRITE, true);
}

void PgClient::watch(int events, bool force) {
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

void PgClient::pollConnect() {
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
            lose(PgResult::Status::Unavailable, trimmedMessage(PQerrorMessage(conn_)));
            return;
    }
    // Connected: from here on no call may wait for the socket. The session's own timeout ends
    // a statement the database works on too long, before the loop's deadline ends the
    // connection.
    if (PQsetnonblocking(conn_, 1) != 0) {
        lose(PgResult::Status::Unavailable, trimmedMessage(PQerrorMessage(conn_)));
        return;
    }
    const long milliseconds = std::max(1L, std::lround(settings_.statementTimeout * 1000));
    const std::string sql = "SET statement_timeout = " + std::to_string(milliseconds);
    if (PQsendQuery(conn_, sql.c_str()) == 0) {
        lose(PgResult::Status::Unavailable, trimmedMessage(PQerrorMessage(conn_)));
        return;
    }
    step_ = Step::Settings;
    flushOutput();
}

void PgClient::connectionReady() {
    state_ = State::Ready;
    step_ = Step::None;
    backoff_ = settings_.firstBackoff;
    ++stats_.connects;
    if (logger.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
        const char* host = PQhost(conn_);
        LOG4CPLUS_INFO(logger, "Connected to database " << PQdb(conn_) << " on "
                                                        << (host != nullptr ? host : "") << ":"
                                                        << PQport(conn_));
    }
    armDeadline();
    if (stateCallback_) {
        stateCallback_(true);
    }
    pump();
}

void PgClient::lose(PgResult::Status status, const std::string& reason) {
    const bool wasUp = up();
    io_.stop();
    watchedFd_ = -1;
    if (currentResult_ != nullptr) {
        PQclear(std::exchange(currentResult_, nullptr));
    }
    if (conn_ != nullptr) {
        PQfinish(std::exchange(conn_, nullptr));
    }
    prepared_.clear();
    brokenReason_.clear();
    state_ = State::Waiting;
    step_ = Step::None;
    deadlineTimer_.stop();
    if (!wasUp) {
        ++stats_.connectFailures;
    }
    if (logger.isEnabledFor(log4cplus::WARN_LOG_LEVEL)) {
        LOG4CPLUS_WARN(logger,
                       (wasUp ? "Database connection lost: " : "Database connection failed: ")
                           << reason << "; next attempt in " << backoff_ << " s");
    }
    scheduleRetry();
    std::optional<Pending> current = std::exchange(current_, std::nullopt);
    std::deque<Pending> queued = std::exchange(queue_, {});
    if (current) {
        deliver(std::move(*current), PgResult(status, reason));
    }
    for (Pending& pending : queued) {
        deliver(std::move(pending), PgResult(PgResult::Status::Unavailable, reason));
    }
    if (wasUp && stateCallback_) {
        stateCallback_(false);
    }
}

void PgClient::scheduleRetry() {
    retryTimer_.stop();
    ev_timer_set(retryTimer_.get(), backoff_, 0);
    retryTimer_.start(loop_);
    backoff_ = std::min(backoff_ * 2, settings_.maxBackoff);
}

void PgClient::onRetry(int) {
    connect();
}

void PgClient::pump() {
    if (state_ != State::Ready || current_) {
        return;
    }
    expireQueued(ev_now(loop_));
    if (queue_.empty()) {
        armDeadline();
        return;
    }
    startNext();
}

void PgClient::startNext() {
    current_ = std::move(queue_.front());
    queue_.pop_front();
    state_ = State::Busy;
    const PgStatement& statement = *current_->statement;
    step_ = statement.name.empty() || prepared_.count(statement.name) != 0 ? Step::Execute
                                                                           : Step::Prepare;
    sendCurrent();
}

void PgClient::sendCurrent() {
    const PgStatement& statement = *current_->statement;
    int sent = 0;
    if (step_ == Step::Prepare) {
        sent = PQsendPrepare(conn_, statement.name.c_str(), statement.sql.c_str(), 0, nullptr);
    } else {
        std::vector<const char*> values;
        values.reserve(current_->params.size());
        for (const std::optional<std::string>& param : current_->params) {
            values.push_back(param ? param->c_str() : nullptr);
        }
        const int count = static_cast<int>(values.size());
        sent = statement.name.empty()
                   ? PQsendQueryParams(conn_, statement.sql.c_str(), count, nullptr, values.data(),
                                       nullptr, nullptr, 0)
                   : PQsendQueryPrepared(conn_, statement.name.c_str(), count, values.data(),
                                         nullptr, nullptr, 0);
    }
    if (sent == 0) {
        breakConnection(trimmedMessage(PQerrorMessage(conn_)));
        return;
    }
    // A statement that waited in the queue still gets the whole of the database's own time
    // limit once it is on the connection, so a slow database answers with its timeout error
    // rather than losing the connection.
    const double now = ev_now(loop_);
    stepDeadline_ =
        std::max(current_->deadline, now + settings_.statementTimeout + settings_.answerGrace);
    armDeadline();
    flushOutput();
}

void PgClient::flushOutput() {
    const int status = PQflush(conn_);
    if (status < 0) {
        breakConnection(trimmedMessage(PQerrorMessage(conn_)));
        return;
    }
    watch(status == 1 ? EV_READ | EV_WRITE : EV_READ);
}

void PgClient::onIo(int events) {
    if (state_ == State::Connecting && step_ == Step::None) {
        pollConnect();
        return;
    }
    if ((events & EV_WRITE) != 0) {
        flushOutput();
        if (conn_ == nullptr) {
            return;
        }
    }
    if ((events & EV_READ) != 0) {
        readResults();
    }
}

void PgClient::readResults() {
    if (PQconsumeInput(conn_) == 0 || PQstatus(conn_) == CONNECTION_BAD) {
        lose(PgResult::Status::Unavailable, trimmedMessage(PQerrorMessage(conn_)));
        return;
    }
    while (PGnotify* notify = PQnotifies(conn_)) {
        PQfreemem(notify);
    }
    if (step_ == Step::None) {
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
            finishStep(std::exchange(currentResult_, nullptr), failed, error);
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

void PgClient::finishStep(pg_result* last, bool failed, const std::string& error) {
    const Step step = std::exchange(step_, Step::None);
    if (step == Step::Settings) {
        if (last != nullptr) {
            PQclear(last);
        }
        if (failed) {
            lose(PgResult::Status::Unavailable, "session settings refused: " + error);
        } else {
            connectionReady();
        }
        return;
    }
    if (step == Step::Prepare && !failed) {
        PQclear(last);
        prepared_.insert(current_->statement->name);
        step_ = Step::Execute;
        sendCurrent();
        return;
    }
    Pending pending = std::move(*current_);
    current_.reset();
    state_ = State::Ready;
    if (failed) {
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, statementErrorLimiter, ev_now(loop_),
            [&](std::ostream& line) {
                line << "Database statement "
                     << (pending.statement->name.empty() ? "(unnamed)" : pending.statement->name)
                     << " failed: " << error;
            });
    }
    deliver(std::move(pending),
            PgResult(failed ? PgResult::Status::Failed : PgResult::Status::Ok, error, last));
    pump();
}

void PgClient::deliver(Pending&& pending, PgResult&& result) {
    switch (result.status()) {
        case PgResult::Status::Ok:
            ++stats_.completed;
            stats_.latencySeconds += ev_now(loop_) - pending.submitted;
            break;
        case PgResult::Status::Failed:
            ++stats_.failed;
            break;
        case PgResult::Status::Timeout:
            ++stats_.timedOut;
            break;
        case PgResult::Status::Unavailable:
            ++stats_.unavailable;
            break;
    }
    pending.callback(std::move(result));
}

void PgClient::expireQueued(double now) {
    if (std::none_of(queue_.begin(), queue_.end(),
                     [now](const Pending& p) { return p.deadline <= now; })) {
        return;
    }
    std::deque<Pending> expired;
    std::deque<Pending> kept;
    for (Pending& pending : queue_) {
        (pending.deadline <= now ? expired : kept).push_back(std::move(pending));
    }
    queue_ = std::move(kept);
    for (Pending& pending : expired) {
        deliver(std::move(pending),
                PgResult(PgResult::Status::Timeout, "no room on the database connection in time"));
    }
}

void PgClient::armDeadline() {
    double earliest = HUGE_VAL;
    if (state_ == State::Connecting) {
        earliest = connectDeadline_;
    } else if (state_ == State::Busy) {
        earliest = stepDeadline_;
    }
    for (const Pending& pending : queue_) {
        earliest = std::min(earliest, pending.deadline);
    }
    deadlineTimer_.stop();
    if (earliest != HUGE_VAL) {
        ev_timer_set(deadlineTimer_.get(), std::max(0.0, earliest - ev_now(loop_)), 0);
        deadlineTimer_.start(loop_);
    }
}

void PgClient::onDeadline(int) {
    const double now = ev_now(loop_);
    if (!brokenReason_.empty() && conn_ != nullptr) {
        lose(PgResult::Status::Unavailable, std::exchange(brokenReason_, std::string()));
        return;
    }
    if (state_ == State::Connecting && now >= connectDeadline_) {
        lose(PgResult::Status::Unavailable,
             "no connection within " + secondsText(settings_.connectTimeout) + " s");
        return;
    }
    if (state_ == State::Busy && now >= stepDeadline_) {
        lose(PgResult::Status::Timeout, "no answer from the database in time");
        return;
    }
    expireQueued(now);
    armDeadline();
}
