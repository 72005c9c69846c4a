// The gateway directory's rules with two servers, A and B, on one real database: the latest
// registration wins, a batch refresh returns only the server's own keys (so it learns which
// gateways another server took), expired rows are not found, releases and numeric ids, and
// changes made while the database is down are written once it is back. Then the schema:
// several servers creating it at once, and tables newer than the build refused.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "DatabaseSupport.h"
#include "directory/Directory.h"

namespace {

using database_support::TestLoop;

enum class Op { Claim, Refresh, Release, GatewayId, Wait, StopDatabase, StartDatabase };

struct Step {
    char server;  // 'A' or 'B'
    Op op;
    std::vector<std::string> keys;
    double value = 0;  // registration time, numeric id or seconds to wait
};

struct RuleCase {
    const char* name;
    double expiryA;  // seconds a claim or refresh of A holds
    std::vector<Step> steps;
    std::map<std::string, std::string> holders;  // key -> server found by a lookup ("": none)
    std::map<uint32_t, std::string> idHolders;   // numeric id -> server
    std::set<std::string> takenFromA;
};

const RuleCase kRuleCases[] = {
    {"LatestRegistrationWins",
     60,
     {{'A', Op::Claim, {"gw"}, 100}, {'B', Op::Claim, {"gw"}, 200}, {'A', Op::Refresh, {"gw"}}},
     {{"gw", "B"}},
     {},
     {"gw"}},
    {"EarlierRegistrationLoses",
     60,
     {{'B', Op::Claim, {"gw"}, 200}, {'A', Op::Claim, {"gw"}, 100}},
     {{"gw", "B"}},
     {},
     {"gw"}},
    {"ExpiredRowGoesToAnyClaim",
     0.3,
     {{'A', Op::Claim, {"gw"}, 200}, {'A', Op::Wait, {}, 0.5}, {'B', Op::Claim, {"gw"}, 100}},
     {{"gw", "B"}},
     {},
     {}},
    {"RefreshReturnsOnlyOwnKeys",
     60,
     {{'A', Op::Claim, {"k1", "k2", "k3", "k4"}, 100},
      {'B', Op::Claim, {"k2", "k4"}, 200},
      {'A', Op::Refresh, {"k1", "k2", "k3", "k4"}}},
     {{"k1", "A"}, {"k2", "B"}, {"k3", "A"}, {"k4", "B"}},
     {},
     {"k2", "k4"}},
    // The refreshed row holds for a second again, ample for the lookup that follows.
    {"ExpiredRowNotFoundUntilRefreshed",
     1,
     {{'A', Op::Claim, {"gw", "other"}, 100}, {'A', Op::Wait, {}, 1.3}, {'A', Op::Refresh, {"gw"}}},
     {{"gw", "A"}, {"other", ""}},
     {},
     {}},
    {"ReleaseRemoves",
     60,
     {{'A', Op::Claim, {"gw", "kept"}, 100}, {'A', Op::Release, {"gw"}}},
     {{"gw", ""}, {"kept", "A"}},
     {},
     {}},
    {"NumericIds",
     60,
     {{'A', Op::Claim, {"gw"}, 100},
      {'A', Op::GatewayId, {"gw"}, 7},
      {'B', Op::Claim, {"b"}, 100},
      {'B', Op::GatewayId, {"b"}, 8},
      {'A', Op::GatewayId, {"b"}, 9}},
     {},
     {{7, "A"}, {8, "B"}, {9, ""}},
     {}},
    {"ChangesWaitOutAnOutage",
     60,
     {{'A', Op::Claim, {"gw", "gone"}, 100},
      {'A', Op::StopDatabase, {}},
      {'A', Op::Release, {"gone"}},
      {'A', Op::Claim, {"new"}, 100},
      {'A', Op::StartDatabase, {}}},
     {{"gw", "A"}, {"gone", ""}, {"new", "A"}},
     {},
     {}},
};

struct Server {
    Server(TestLoop& loop, const std::string& conninfo, const std::string& id, double expiry) {
        PgClientSettings database;
        database.conninfo = conninfo;
        database.firstBackoff = 0.1;
        database.maxBackoff = 0.2;
        DirectorySettings settings;
        settings.serverId = id;
        settings.peerAddress = id + ".example:1443";
        settings.expirySeconds = expiry;
        directory = std::make_unique<Directory>(loop.get(), database, settings);
        directory->setTakenCallback([this](const std::string& key) { taken.insert(key); });
        directory->start();
    }
    std::unique_ptr<Directory> directory;
    std::set<std::string> taken;
};

void PrintTo(const RuleCase& c, std::ostream* out) {
    *out << c.name;
}

class DirectoryRules : public testing::TestWithParam<RuleCase> {};

TEST_P(DirectoryRules, Hold) {
    REQUIRE_DATABASE();
    const RuleCase& c = GetParam();
    const std::string conninfo = database_support::freshDatabase();
    TestLoop loop;
    Server a(loop, conninfo, "A", c.expiryA);
    Server b(loop, conninfo, "B", 60);
    auto settled = [&] {
        return a.directory->ready() && b.directory->ready() && a.directory->idle() &&
               b.directory->idle();
    };
    ASSERT_TRUE(loop.runUntil(settled, 10));

    bool databaseDown = false;
    for (const Step& step : c.steps) {
        Directory& directory = *(step.server == 'A' ? a : b).directory;
        for (const std::string& key : step.keys) {
            switch (step.op) {
                case Op::Claim:
                    ASSERT_TRUE(directory.claim(key, step.value));
                    break;
                case Op::Refresh:
                    ASSERT_TRUE(directory.refresh(key));
                    break;
                case Op::Release:
                    ASSERT_TRUE(directory.release(key));
                    break;
                case Op::GatewayId:
                    ASSERT_TRUE(directory.recordGatewayId(key, static_cast<uint32_t>(step.value)));
                    break;
                default:
                    break;
            }
        }
        if (step.op == Op::Wait) {
            loop.runFor(step.value);
        } else if (step.op == Op::StopDatabase) {
            database_support::control("stop");
            databaseDown = true;
            ASSERT_TRUE(loop.runUntil([&] { return !directory.ready(); }, 5));
        } else if (step.op == Op::StartDatabase) {
            database_support::control("start");
            databaseDown = false;
        }
        // While the database is down the changes wait; they are written once it is back.
        ASSERT_TRUE(databaseDown || loop.runUntil(settled, 10))
            << "step " << (&step - c.steps.data());
    }

    std::map<std::string, std::string> holders;
    std::map<uint32_t, std::string> idHolders;
    auto record = [](std::string* holder) {
        return [holder](Directory::LookupStatus status, const Directory::Location& location) {
            EXPECT_NE(Directory::LookupStatus::Failed, status);
            *holder = location.serverId;
            if (status == Directory::LookupStatus::Found) {
                EXPECT_EQ(location.serverId + ".example:1443", location.peerAddress);
            }
        };
    };
    for (const auto& expected : c.holders) {
        ASSERT_EQ(PgClient::Submit::Queued,
                  b.directory->lookup(expected.first, record(&holders[expected.first])));
    }
    for (const auto& expected : c.idHolders) {
        ASSERT_EQ(PgClient::Submit::Queued,
                  a.directory->lookupById(expected.first, record(&idHolders[expected.first])));
    }
    ASSERT_TRUE(loop.runUntil(settled, 10));
    EXPECT_EQ(c.holders, holders);
    EXPECT_EQ(c.idHolders, idHolders);
    EXPECT_EQ(c.takenFromA, a.taken);
    EXPECT_TRUE(b.taken.empty());
}

INSTANTIATE_TEST_SUITE_P(Database, DirectoryRules, testing::ValuesIn(kRuleCases),
                         [](const testing::TestParamInfo<RuleCase>& info) {
                             return std::string(info.param.name);
                         });

// Servers bringing the schema up at the same moment all get there; tables of a later version
// than this build knows are left alone and the directory does not start on them.
struct SchemaCase {
    const char* name;
    const char* before;  // SQL run on the fresh database first
    int servers;
    bool ready;
};

const SchemaCase kSchemaCases[] = {
    {"SeveralAtOnce", "", 4, true},
    {"NewerTablesRefused",
     "CREATE TABLE tamblo_directory_version (version integer NOT NULL);"
     "INSERT INTO tamblo_directory_version VALUES (2)",
     1, false},
};

void PrintTo(const SchemaCase& c, std::ostream* out) {
    *out << c.name;
}

class DirectorySchema : public testing::TestWithParam<SchemaCase> {};

TEST_P(DirectorySchema, Applied) {
    REQUIRE_DATABASE();
    const SchemaCase& c = GetParam();
    const std::string conninfo = database_support::freshDatabase();
    if (*c.before != '\0') {
        ASSERT_EQ(PGRES_COMMAND_OK, database_support::execute(conninfo, c.before));
    }
    TestLoop loop;
    std::vector<std::unique_ptr<Server>> servers;
    for (int i = 0; i < c.servers; ++i) {
        servers.push_back(std::make_unique<Server>(loop, conninfo, "S" + std::to_string(i), 60));
    }
    auto allReady = [&] {
        for (const auto& server : servers) {
            if (!server->directory->ready()) {
                return false;
            }
        }
        return true;
    };
    if (c.ready) {
        EXPECT_TRUE(loop.runUntil(allReady, 10));
    } else {
        // Refused at each attempt: the client connects again and again, never ready.
        const PgClient& client = servers[0]->directory->client();
        EXPECT_TRUE(loop.runUntil([&] { return client.stats().connects >= 2; }, 5));
        EXPECT_FALSE(allReady());
    }
}

INSTANTIATE_TEST_SUITE_P(Database, DirectorySchema, testing::ValuesIn(kSchemaCases),
                         [](const testing::TestParamInfo<SchemaCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
