// tamblo-directory-schema CONNINFO: creates the gateway directory's tables in PostgreSQL or
// brings them up to this build's version, then prints the version. The servers do the same
// whenever they connect; the command lets an operator do it once with a role that may create
// tables, so that the servers can run with one that may only read and write them.
//
// Exit status: 0 when the tables are at this build's version, 1 when the database could not
// be reached or refused the change (the reason is on standard error), 2 for a bad command line.
#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/EventLoop.h"
#include "directory/DirectorySchema.h"
#include "directory/PgClient.h"

namespace {

constexpr double kConnectSeconds = 10;
constexpr double kStatementSeconds = 60;  // another creator may hold the lock meanwhile

void logToStandardError() {
    log4cplus::SharedAppenderPtr appender(new log4cplus::ConsoleAppender(true, true));
    appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout("%m%n")));
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.addAppender(appender);
    root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: %s CONNINFO\n"
                     "Creates or upgrades the gateway directory's tables in the PostgreSQL "
                     "database that the libpq\nconnection string CONNINFO names (the servers' "
                     "--directory value) and prints their version.\n",
                     argv[0]);
        return argc == 2 ? 0 : 2;
    }
    logToStandardError();
    struct ev_loop* loop = ev_default_loop(0);
    PgClientSettings settings;
    settings.conninfo = argv[1];
    settings.connectTimeout = kConnectSeconds;
    settings.statementTimeout = kStatementSeconds;
    std::unique_ptr<PgClient> client;
    try {
        client = std::make_unique<PgClient>(loop, settings);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }

    int status = 1;
    auto finish = [&](int result) {
        status = result;
        ev_break(loop, EVBREAK_ALL);
    };
    client->setStateCallback([&](bool up) {
        if (!up) {
            return;
        }
        client->submit(directory_schema::upgradeStatement(), {}, [&](PgResult&& upgraded) {
            if (!upgraded.ok()) {
                std::fprintf(stderr, "the directory tables were not changed: %s\n",
                             upgraded.error().c_str());
                finish(1);
                return;
            }
            client->submit(directory_schema::versionStatement(), {}, [&](PgResult&& version) {
                if (!version.ok()) {
                    std::fprintf(stderr, "%s\n", version.error().c_str());
                    finish(1);
                    return;
                }
                std::printf("directory tables at version %s\n", version.value(0, 0));
                finish(0);
            });
        });
    });
    // The client would try again after a failed attempt; the command gives up instead.
    EvTimer check;
    ev_init(check.get(), [](struct ev_loop* l, ev_timer* w, int) {
        if (static_cast<PgClient*>(w->data)->stats().connectFailures > 0) {
            ev_break(l, EVBREAK_ALL);
        }
    });
    check.get()->data = client.get();
    ev_timer_set(check.get(), 0.05, 0.05);
    check.start(loop);
    client->start();
    ev_run(loop, 0);
    return status;
}
