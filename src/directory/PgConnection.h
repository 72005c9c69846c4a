// The libpq connection under PgClient and its life: connected without waiting on the loop
// (PQconnectStartParams and PQconnectPoll, the socket watched by libev, within connectTimeout),
// the session's statement_timeout set once it is up, and, after a failure or a loss, connected
// again after a back-off that doubles from firstBackoff up to maxBackoff and starts over once a
// connection was made. On an open connection it sends the commands it is given, flushes what
// libpq could not write at once, and gathers the results of one command at a time.
//
// It knows nothing of statements, their queue or their deadlines: those are PgClient's, which
// alone owns a connection. The connection tells it through Events when it is up, when it
// failed or was lost by itself (never from inside a call of the client's), and when the results
// of a command are all in; close() is the client's way of dropping it, and tells nothing back.
//
// Connecting is asynchronous except for one thing libpq does not do asynchronously: turning a
// host name into an address. So a host name in the connection string is resolved once, when
// the connection is made (before the server's loop runs), and the address is handed to libpq
// as hostaddr; the name stays for TLS and authentication.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/EventLoop.h"

struct pg_conn;
struct pg_result;

// The client's settings; the connection reads its own part of them.
struct PgClientSettings {
    std::string conninfo;           // a libpq connection string or URI
    double statementTimeout = 5.0;  // seconds: the session's statement_timeout and the deadline
    double answerGrace = 1.0;       // a statement on the connection gets this much more
    double connectTimeout = 10.0;   // seconds for a connection attempt, set-up included
    double firstBackoff = 0.5;      // seconds before the first new attempt after a failure
    double maxBackoff = 30.0;
    size_t queueLimit = 1024;  // statements waiting, the one on the connection not counted
};

// The connection string with every host name replaced by hostaddr (the names looked up now);
// unchanged when it names none. Throws std::invalid_argument as PgConnection does.
std::string pgResolvedConninfo(const std::string& conninfo);

class PgConnection {
  public:
    enum class State {
        Waiting,     // not connected; a new attempt follows when the back-off ends
        Connecting,  // PQconnectPoll at work, then the session settings
        Open,        // connected and set up: commands may be sent
    };
    struct Events {
        // Connected and set up: commands may be sent.
        std::function<void()> up;
        // A failure or loss the connection met itself; wasUp: it had been open.
        std::function<void(const std::string& reason, bool wasUp)> lost;
        // The results of the client's command: the one that tells (the first error, else the
        // last), or null; the client owns it. error is empty unless failed.
        std::function<void(pg_result* last, bool failed, const std::string& error)> answered;
    };

    // settings: the client's, which outlive the connection. Throws std::invalid_argument when
    // the connection string cannot be parsed or a host name in it cannot be resolved.
    PgConnection(struct ev_loop* loop, const PgClientSettings& settings, Events events);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // A connection attempt now (the first one; later ones follow by themselves).
    void connect();
    // Drops the connection as if lost, without telling the client, and schedules the next
    // attempt after the back-off; true when it had been open.
    bool close(const std::string& reason);

    // The client's commands. Either way the connection then waits for their results; false
    // when libpq would not take the command (errorMessage() says why), which the client handles.
    bool sendPrepare(const std::string& name, const std::string& sql);
    // Unnamed: the statement whole, with its parameters; named: the prepared statement.
    bool sendStatement(const std::string& name, const std::string& sql,
                       const std::vector<std::optional<std::string>>& params);
    // Writes what libpq holds and watches the socket accordingly; false when the write failed.
    bool flush();
    // libpq's last error on the connection, trimmed.
    std::string errorMessage() const;

    State state() const { return state_; }
    bool open() const { return state_ == State::Open; }
    // Connecting or open: there is a libpq connection to drop.
    bool connected() const { return conn_ != nullptr; }
    double backoff() const { return backoff_; }
    // The database's process serving the connection (0 when not connected).
    int backendPid() const;

  private:
    // What the connection waits for: nothing, its own session settings, a client's command.
    enum class Awaiting { Nothing, Settings, Command };

    void pollConnect();
    void ready();
    void fail(const std::string& reason);
    void scheduleRetry();
    void watch(int events, bool force = false);
    void readResults();
    void finishCommand(pg_result* last, bool failed, const std::string& error);
    void armConnectDeadline();
    void onIo(int events);
    void onConnectDeadline(int events);
    void onRetry(int events);

    struct ev_loop* loop_;
    const PgClientSettings& settings_;
    Events events_;
    std::string conninfo_;  // host names resolved
    pg_conn* conn_ = nullptr;
    State state_ = State::Waiting;
    Awaiting awaiting_ = Awaiting::Nothing;
    int watchedFd_ = -1;
    int watchedEvents_ = 0;
    double backoff_;
    double connectDeadline_ = 0;
    pg_result* currentResult_ = nullptr;  // the result kept so far of the awaited command
    EvIo io_;
    EvTimer connectTimer_;
    EvTimer retryTimer_;
};
