// The directory's tables, step by step (see DirectorySchema.h).
#include "directory/DirectorySchema.h"

#include <string>

namespace directory_schema {

namespace {

// Taken by every creator of the tables for the length of its transaction ("Tamblo" in ASCII).
constexpr const char* kAdvisoryLock = "92802131798127";

// Step N brings the tables from version N - 1 to N. A step is never changed once released:
// later changes are new steps.
const char* const kSteps[kVersion] = {
    // 1: servers and the gateways they hold. A refresh changes only expires_at, which no index
    // covers, and the room fillfactor leaves in each page lets it update in place.
    R"SQL(
    CREATE TABLE tamblo_servers (
        server_id text PRIMARY KEY,
        peer_address text NOT NULL,
        last_seen timestamptz NOT NULL
    );
    CREATE TABLE tamblo_gateways (
        key bytea PRIMARY KEY,
        gateway_id bigint,
        server_id text NOT NULL,
        registered_at timestamptz NOT NULL,
        expires_at timestamptz NOT NULL
    ) WITH (fillfactor = 80);
    CREATE INDEX tamblo_gateways_gateway_id ON tamblo_gateways (gateway_id)
        WHERE gateway_id IS NOT NULL;
    )SQL",
};

std::string upgradeSql() {
    std::string sql = R"SQL(DO $tamblo$
DECLARE
    current integer := 0;
BEGIN
    PERFORM pg_advisory_xact_lock()SQL";
    sql += kAdvisoryLock;
    sql += R"SQL();
    IF to_regclass('tamblo_directory_version') IS NULL THEN
        CREATE TABLE tamblo_directory_version (version integer NOT NULL);
    ELSE
        SELECT coalesce(max(version), 0) INTO current FROM tamblo_directory_version;
    END IF;
    IF current > )SQL";
    sql += std::to_string(kVersion);
    sql += R"SQL( THEN
        RAISE EXCEPTION 'the directory tables are at version %, newer than this server knows (%)',
            current, )SQL";
    sql += std::to_string(kVersion);
    sql += ";\n    END IF;\n";
    for (int step = 1; step <= kVersion; ++step) {
        const std::string number = std::to_string(step);
        sql += "    IF current < " + number + " THEN\n" + kSteps[step - 1] +
               "\n        INSERT INTO tamblo_directory_version VALUES (" + number +
               ");\n    END IF;\n";
    }
    return sql + "END\n$tamblo$";
}

}  // namespace

const PgStatement& upgradeStatement() {
    static const PgStatement statement{"", upgradeSql()};
    return statement;
}

const PgStatement& versionStatement() {
    static const PgStatement statement{
        "", "SELECT coalesce(max(version), 0) FROM tamblo_directory_version"};
    return statement;
}

}  // namespace directory_schema
