// The PostgreSQL client's connection string: host names become addresses once, when the client
// is made, so that no connection attempt on the loop waits for a name lookup.
#include "directory/PgClient.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Host names are looked up once, when the client is made; sockets and addresses need none.
struct ConninfoCase {
    const char* conninfo;
    const char* resolved;
};

const ConninfoCase kConninfoCases[] = {
    {"host=/run/postgresql dbname=x", "host=/run/postgresql dbname=x"},
    {"host=127.0.0.1 port=5", "host=127.0.0.1 port=5"},
    {"host=localhost hostaddr=127.0.0.9", "host=localhost hostaddr=127.0.0.9"},
    {"postgresql://localhost:7/db", "dbname='db' host='localhost' port='7' hostaddr='127.0.0.1'"},
    {"host=/tmp,localhost dbname=x", "dbname='x' host='/tmp,localhost' hostaddr=',127.0.0.1'"},
    {"host=localhost password='a b\\'c'",
     "password='a b\\'c' host='localhost' hostaddr='127.0.0.1'"},
};

TEST(PgClientConninfo, NamesResolvedOnce) {
    for (const ConninfoCase& c : kConninfoCases) {
        EXPECT_EQ(c.resolved, PgClient::resolvedConninfo(c.conninfo)) << c.conninfo;
    }
    EXPECT_THROW(PgClient::resolvedConninfo("hots=x"), std::invalid_argument);
}

}  // namespace
