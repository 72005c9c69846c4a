// The PostgreSQL client's states against a real database that is down at start, stopped in
// the middle of a statement (SIGSTOP, as a hung host), restarted, slow, or handed more
// statements than the queue holds; in each case the loop never waits for the database and a
// statement afterwards succeeds.
#include <gtest/gtest.h>

#include <map>
#include <ostream>

#include "DatabaseSupport.h"
#include "directory/PgClient.h"

namespace {

using database_support::control;
using database_support::TestLoop;
using Status = PgResult::Status;

enum class Disturbance { None, DownAtStart, PauseMidStatement, RestartWhileIdle };

struct ClientCase {
    const char* name;
    Disturbance disturbance;
    const char* sql;          // the first statement
    double statementTimeout;  // the deadlines of all the others are far from what load delays
    int queued;               // "SELECT 1" submitted right behind it
    double queuedTimeout;     // their deadline (0: the client's)
    size_t queueLimit;
    Status firstStatus;
    const char* sqlState;  // of the first statement when it failed
    Status queuedStatus;   // of each queued statement that was taken
    int rejected;          // queued statements the client refused at once
    uint64_t connects;     // connections made, the final check's included
};

const ClientCase kClientCases[] = {
    {"DownAtStart", Disturbance::DownAtStart, "SELECT 1", 3, 0, 0, 8, Status::Ok, "", Status::Ok, 0,
     1},
    // The database is stopped while it sleeps, well before it would answer.
    {"StoppedMidStatement", Disturbance::PauseMidStatement, "SELECT pg_sleep(1.5)", 2, 2, 5, 8,
     Status::Timeout, "", Status::Unavailable, 0, 2},
    {"Restarted", Disturbance::RestartWhileIdle, "SELECT 1", 3, 0, 0, 8, Status::Ok, "", Status::Ok,
     0, 2},
    {"SlowStatementHitsDeadline", Disturbance::None, "SELECT pg_sleep(5)", 0.5, 1, 3, 8,
     Status::Failed, "57014", Status::Ok, 0, 1},
    {"QueuedPastItsDeadline", Disturbance::None, "SELECT pg_sleep(0.3)", 3, 1, 0.1, 8, Status::Ok,
     "", Status::Timeout, 0, 1},
    {"QueueFull", Disturbance::None, "SELECT pg_sleep(0.2)", 3, 4, 0, 2, Status::Ok, "", Status::Ok,
     2, 1},
};

void PrintTo(const ClientCase& c, std::ostream* out) {
    *out << c.name;
}

class PgClientStates : public testing::TestWithParam<ClientCase> {};

TEST_P(PgClientStates, NeverWaitsAndRecovers) {
    REQUIRE_DATABASE();
    const ClientCase& c = GetParam();
    TestLoop loop;
    PgClientSettings settings;
    settings.conninfo = database_support::environment("TAMBLO_PG_CONNINFO");
    settings.statementTimeout = c.statementTimeout;
    settings.answerGrace = 0.3;
    settings.connectTimeout = 1.0;
    settings.firstBackoff = 0.1;
    settings.maxBackoff = 0.4;
    settings.queueLimit = c.queueLimit;
    PgClient client(loop.get(), settings);

    if (c.disturbance == Disturbance::DownAtStart) {
        control("stop");
        client.start();
        ASSERT_TRUE(loop.runUntil([&] { return client.stats().connectFailures > 0; }, 5));
        EXPECT_EQ(PgClient::Submit::Unavailable,
                  client.submit(PgStatement{"", "SELECT 1"}, {}, [](PgResult&&) {}));
        control("start");
    } else {
        client.start();
    }
    ASSERT_TRUE(loop.runUntil([&] { return client.up(); }, 10));
    if (c.disturbance == Disturbance::RestartWhileIdle) {
        control("stop");
        ASSERT_TRUE(loop.runUntil([&] { return !client.up(); }, 5));
        control("start");
        ASSERT_TRUE(loop.runUntil([&] { return client.up(); }, 10));
    }

    const PgStatement first{"", c.sql};
    const PgStatement one{"one", "SELECT 1"};
    std::map<int, PgResult> results;  // by the order of submission
    int taken = 0;
    auto collect = [&](int index) {
        return [&results, index](PgResult&& result) { results.emplace(index, std::move(result)); };
    };
    ASSERT_EQ(PgClient::Submit::Queued, client.submit(first, {}, collect(0)));
    int rejected = 0;
    for (int i = 0; i < c.queued; ++i) {
        const PgClient::Submit submitted =
            client.submit(one, {}, collect(taken + 1), c.queuedTimeout);
        rejected += submitted == PgClient::Submit::QueueFull ? 1 : 0;
        taken += submitted == PgClient::Submit::Queued ? 1 : 0;
    }
    if (c.disturbance == Disturbance::PauseMidStatement) {
        control("pause");
        ASSERT_TRUE(loop.runUntil([&] { return results.count(0) != 0; }, 5));
        control("resume");
    }
    ASSERT_TRUE(loop.runUntil([&] { return results.size() == size_t(1 + taken); }, 10));

    EXPECT_EQ(c.firstStatus, results.at(0).status()) << results.at(0).error();
    if (c.firstStatus == Status::Failed) {
        EXPECT_EQ(c.sqlState, results.at(0).sqlState());
    }
    for (int i = 1; i <= taken; ++i) {
        EXPECT_EQ(c.queuedStatus, results.at(i).status()) << results.at(i).error();
    }
    EXPECT_EQ(c.rejected, rejected);

    // Whatever happened, the connection is (again) good for a statement.
    bool answered = false;
    ASSERT_TRUE(loop.runUntil([&] { return client.up(); }, 10));
    ASSERT_EQ(PgClient::Submit::Queued, client.submit(one, {}, [&](PgResult&& result) {
        EXPECT_TRUE(result.ok()) << result.error();
        EXPECT_STREQ("1", result.value(0, 0));
        answered = true;
    }));
    ASSERT_TRUE(loop.runUntil([&] { return answered; }, 5));
    EXPECT_EQ(c.connects, client.stats().connects);
    // A database that does not answer for seconds never holds the loop up: only scheduling
    // delays of a loaded machine show, far below the database's silence.
    EXPECT_LT(loop.longestStall(), 1.5);
}

INSTANTIATE_TEST_SUITE_P(Database, PgClientStates, testing::ValuesIn(kClientCases),
                         [](const testing::TestParamInfo<ClientCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
