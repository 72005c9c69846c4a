// The asynchronous PostgreSQL client of the parent's loop: the statement queue, its deadlines
// and the statements' results (see PgClient.h); the connection is PgConnection's.
#include "directory/PgClient.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/Logging.h"

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kDatabase);
LogRateLimiter statementErrorLimiter;

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

PgClient::PgClient(struct ev_loop* loop, PgClientSettings settings)
    : loop_(loop),
      settings_(std::move(settings)),
      connection_(
          loop, settings_,
          PgConnection::Events{[this] { connectionUp(); },
                               [this](const std::string& reason, bool wasUp) {
                                   connectionLost(PgResult::Status::Unavailable, reason, wasUp);
                               },
                               [this](pg_result* last, bool failed, const std::string& error) {
                                   finishStep(last, failed, error);
                               }}) {
    ev_init(deadlineTimer_.get(), (evMemberCallback<PgClient, ev_timer, &PgClient::onDeadline>));
    deadlineTimer_.get()->data = this;
}

PgClient::~PgClient() = default;

PgClient::State PgClient::state() const {
    switch (connection_.state()) {
        case PgConnection::State::Waiting:
            return State::Waiting;
        case PgConnection::State::Connecting:
            return State::Connecting;
        case PgConnection::State::Open:
            break;
    }
    return current_ ? State::Busy : State::Ready;
}

void PgClient::start() {
    if (!started_) {
        started_ = true;
        connection_.connect();
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
    if (state() == State::Ready) {
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
    if (connection_.connected()) {
        lose(PgResult::Status::Unavailable, reason);
    }
}

void PgClient::connectionUp() {
    ++stats_.connects;
    armDeadline();
    if (stateCallback_) {
        stateCallback_(true);
    }
    pump();
}

void PgClient::lose(PgResult::Status status, const std::string& reason) {
    const bool wasUp = connection_.close(reason);
    connectionLost(status, reason, wasUp);
}

void PgClient::connectionLost(PgResult::Status status, const std::string& reason, bool wasUp) {
    prepared_.clear();
    brokenReason_.clear();
    step_ = Step::None;
    deadlineTimer_.stop();
    if (!wasUp) {
        ++stats_.connectFailures;
    }
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

void PgClient::pump() {
    if (state() != State::Ready) {
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
    const PgStatement& statement = *current_->statement;
    step_ = statement.name.empty() || prepared_.count(statement.name) != 0 ? Step::Execute
                                                                           : Step::Prepare;
    sendCurrent();
}

void PgClient::sendCurrent() {
    const PgStatement& statement = *current_->statement;
    const bool sent =
        step_ == Step::Prepare
            ? connection_.sendPrepare(statement.name, statement.sql)
            : connection_.sendStatement(statement.name, statement.sql, current_->params);
    if (!sent) {
        breakConnection(connection_.errorMessage());
        return;
    }
    // A statement that waited in the queue still gets the whole of the database's own time
    // limit once it is on the connection, so a slow database answers with its timeout error
    // rather than losing the connection.
    const double now = ev_now(loop_);
    stepDeadline_ =
        std::max(current_->deadline, now + settings_.statementTimeout + settings_.answerGrace);
    armDeadline();
    if (!connection_.flush()) {
        breakConnection(connection_.errorMessage());
    }
}

void PgClient::finishStep(pg_result* last, bool failed, const std::string& error) {
    const Step step = std::exchange(step_, Step::None);
    if (step == Step::Prepare && !failed) {
        PQclear(last);
        prepared_.insert(current_->statement->name);
        step_ = Step::Execute;
        sendCurrent();
        return;
    }
    Pending pending = std::move(*current_);
    current_.reset();
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
    if (state() == State::Busy) {
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
    if (!brokenReason_.empty() && connection_.connected()) {
        lose(PgResult::Status::Unavailable, std::exchange(brokenReason_, std::string()));
        return;
    }
    if (state() == State::Busy && now >= stepDeadline_) {
        lose(PgResult::Status::Timeout, "no answer from the database in time");
        return;
    }
    expireQueued(now);
    armDeadline();
}
