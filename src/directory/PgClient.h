// One connection to PostgreSQL driven by a libev loop, for the parent process, which must
// never wait for the database: libpq's asynchronous interface with the connection's socket
// watched by the loop, no thread and no blocking call once the client is made.
//
// Statements go through a bounded queue, one on the connection at a time, each with a
// deadline; the result reaches the caller's callback on the loop. What the client does when:
//   - the queue is full, or the connection is not up: submit() says so at once and the
//     callback is never called; nothing waits for room;
//   - a statement waits in the queue past its deadline: its callback gets Timeout;
//   - the statement on the connection runs long: the session's statement_timeout (set when
//     it connects) ends it on the database's side with an error; should the database not
//     answer at all (stopped, or a network that drops everything), the loop's deadline ends
//     the connection: the statement gets Timeout and the queued ones Unavailable;
//   - the connection fails or is lost: every statement gets Unavailable, and the client
//     connects again after a back-off that doubles from 0.5 s up to 30 s and starts over once
//     a connection was made.
// Named statements are prepared once per connection, just before their first use.
//
// Connecting is asynchronous too, host names in the connection string resolved once when the
// client is made: the connection, its session settings and its back-off are PgConnection's
// (PgConnection.h); the queue, the deadlines and the results are the client's.
//
// Owner: the gateway directory (Directory.h) and the schema tool. Callbacks must not destroy
// the client; destroying it drops the statements without calling their callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/EventLoop.h"
#include "directory/PgConnection.h"

struct pg_result;

// The outcome of one statement, with its rows when it produced any. Owns its PGresult.
class PgResult {
  public:
    enum class Status {
        Ok,           // the statement completed (a command or rows)
        Failed,       // the database refused it; error() has its message
        Timeout,      // it missed its deadline
        Unavailable,  // the connection failed or was lost before the answer came
    };

    PgResult(Status status, std::string error, pg_result* result = nullptr);
    ~PgResult();
    PgResult(PgResult&& other) noexcept;
    PgResult& operator=(PgResult&& other) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    Status status() const { return status_; }
    bool ok() const { return status_ == Status::Ok; }
    const std::string& error() const { return error_; }
    // The SQLSTATE of a Failed statement ("57014" for a statement_timeout), else empty.
    std::string sqlState() const;

    int rows() const;
    bool isNull(int row, int column) const;
    // The text of a value ("" for NULL); valid as long as the result lives.
    const char* value(int row, int column) const;
    // A bytea value decoded from its text form.
    std::string bytes(int row, int column) const;

  private:
    Status status_;
    std::string error_;
    pg_result* result_;
};

const char* pgStatusText(PgResult::Status status);

// A statement with parameters ($1, $2, ...). With a name, it is prepared once per connection
// and then only executed; without one it is sent whole every time (one statement only).
struct PgStatement {
    std::string name;
    std::string sql;
};


// Counters for the metrics; they only grow.
struct PgClientStats {
    uint64_t completed = 0;    // statements answered Ok
    uint64_t failed = 0;       // refused by the database
    uint64_t timedOut = 0;     // missed their deadline
    uint64_t unavailable = 0;  // lost with the connection
    uint64_t rejected = 0;     // not taken: queue full or connection down
    uint64_t connects = 0;     // connections made
    uint64_t connectFailures = 0;
    double latencySeconds = 0;  // summed from submit to answer over the completed ones
};

class PgClient {
  public:
    enum class State {
        Waiting,     // not connected; a new attempt follows when the back-off ends
        Connecting,  // PQconnectPoll at work, then the session settings
        Ready,       // connected, nothing on the connection
        Busy,        // a statement (or its preparation) on the connection
    };
    enum class Submit {
        Queued,       // the callback will be called once, later, on the loop
        QueueFull,    // not taken: the queue holds queueLimit statements
        Unavailable,  // not taken: the connection is not up
    };

    using Callback = std::function<void(PgResult&&)>;
    // Called with true when a connection is ready for statements, false when it went away.
    using StateCallback = std::function<void(bool up)>;

    // Throws std::invalid_argument when the connection string cannot be parsed or a host
    // name in it cannot be resolved.
    PgClient(struct ev_loop* loop, PgClientSettings settings);
    ~PgClient();
    PgClient(const PgClient&) = delete;
    PgClient& operator=(const PgClient&) = delete;

    void setStateCallback(StateCallback callback) { stateCallback_ = std::move(callback); }
    // The first connection attempt; later ones follow by themselves.
    void start();

    // Parameters are text (std::nullopt is NULL). timeout 0 takes the settings' statement
    // timeout. The statement must live until its callback has run (callers keep theirs as
    // constants). Callbacks are never called from inside submit().
    Submit submit(const PgStatement& statement, std::vector<std::optional<std::string>> params,
                  Callback callback, double timeout = 0);

    // Drops the connection as if it had been lost, and connects again after the back-off:
    // for an owner that found the session unusable (for example its schema could not be set).
    void reset(const std::string& reason);

    State state() const;
    bool up() const { return connection_.open(); }
    size_t queued() const { return queue_.size(); }
    double currentBackoff() const { return connection_.backoff(); }
    const PgClientStats& stats() const { return stats_; }
    // The database's process serving the connection (0 when not connected).
    int backendPid() const { return connection_.backendPid(); }

    // The connection string with every host name replaced by hostaddr (for the tests).
    static std::string resolvedConninfo(const std::string& conninfo) {
        return pgResolvedConninfo(conninfo);
    }

  private:
    struct Pending {
        const PgStatement* statement = nullptr;
        std::vector<std::optional<std::string>> params;
        Callback callback;
        double submitted = 0;
        double deadline = 0;
    };
    enum class Step { None, Prepare, Execute };

    void connectionUp();
    void lose(PgResult::Status status, const std::string& reason);
    void connectionLost(PgResult::Status status, const std::string& reason, bool wasUp);
    void pump();
    void startNext();
    void sendCurrent();
    void breakConnection(const std::string& reason);
    void onDeadline(int events);
    void finishStep(pg_result* last, bool failed, const std::string& error);
    void deliver(Pending&& pending, PgResult&& result);
    void armDeadline();
    void expireQueued(double now);

    struct ev_loop* loop_;
    PgClientSettings settings_;
    PgConnection connection_;  // after settings_, which it refers to
    Step step_ = Step::None;
    double stepDeadline_ = 0;
    std::deque<Pending> queue_;
    std::optional<Pending> current_;
    std::unordered_set<std::string> prepared_;
    EvTimer deadlineTimer_;
    StateCallback stateCallback_;
    PgClientStats stats_;
    bool started_ = false;
    bool inSubmit_ = false;
    std::string brokenReason_;  // a failure met inside submit(), handled from the loop
};
