// Support of the unit tests that need a real PostgreSQL. ctest runs their binary inside
// tests/integration/tamblo_postgres.py run, which starts a private instance and passes its
// connection string and a control command in the environment; without them the tests skip.
#pragma once

#include <ev.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace database_support {

inline std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

#define REQUIRE_DATABASE()                                                                   \
    if (database_support::environment("TAMBLO_PG_CONNINFO").empty()) {                       \
        GTEST_SKIP() << "no database: run through tests/integration/tamblo_postgres.py run"; \
    }

// pause, resume, stop or start the instance (blocks until done).
inline void control(const std::string& action) {
    const std::string command = environment("TAMBLO_PG_CONTROL") + " " + action;
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

// Runs SQL with a blocking connection of the test's own; returns the result's status.
inline ExecStatusType execute(const std::string& conninfo, const std::string& sql) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    PQclear(result);
    PQfinish(conn);
    return status;
}

// A new empty database of the instance; returns its connection string.
inline std::string freshDatabase() {
    static int counter = 0;
    const std::string base = environment("TAMBLO_PG_CONNINFO");
    const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    EXPECT_EQ(PGRES_COMMAND_OK, execute(base, "CREATE DATABASE " + name));
    return base + " dbname=" + name;
}

// A loop of the test's own, run until a condition holds or a deadline passes. A tick every
// 10 ms checks the condition and measures how long the loop went without running: a call
// that blocked on the database would show as a stall as long as the database's silence.
class TestLoop {
  public:
    TestLoop() : loop_(ev_loop_new(EVFLAG_AUTO)) {
        static const bool logging = [] {  // the clients' WARN lines show with a failure
            log4cplus::Logger root = log4cplus::Logger::getRoot();
            root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true)));
            root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
            return true;
        }();
        (void)logging;
        ev_timer_init(&tick_, onTick, 0.01, 0.01);
        tick_.data = this;
    }
    ~TestLoop() { ev_loop_destroy(loop_); }
    TestLoop(const TestLoop&) = delete;
    TestLoop& operator=(const TestLoop&) = delete;

    struct ev_loop* get() {
        return loop_;
    }

    bool runUntil(const std::function<bool()>& done, double seconds) {
        done_ = done;
        ev_now_update(loop_);
        deadline_ = ev_time() + seconds;
        last_ = ev_time();
        if (done_()) {
            return true;
        }
        ev_timer_start(loop_, &tick_);
        ev_run(loop_, 0);
        ev_timer_stop(loop_, &tick_);
        return done_();
    }
    void runFor(double seconds) {
        runUntil([] { return false; }, seconds);
    }
    double longestStall() const { return longestStall_; }

  private:
    static void onTick(struct ev_loop* loop, ev_timer* timer, int) {
        auto* self = static_cast<TestLoop*>(timer->data);
        const double now = ev_time();
        self->longestStall_ = std::max(self->longestStall_, now - self->last_);
        self->last_ = now;
        if (self->done_() || now >= self->deadline_) {
            ev_break(loop, EVBREAK_ALL);
        }
    }

    struct ev_loop* loop_;
    ev_timer tick_;
    std::function<bool()> done_;
    double deadline_ = 0;
    double last_ = 0;
    double longestStall_ = 0;
};

}  // namespace database_support
