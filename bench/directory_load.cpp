// The gateway directory under the load of several servers: statements per second, gateways per
// second and the CPU of each server's parent (its directory client) and of the database, with
// 100,000 gateways spread over three servers sharing one PostgreSQL (bench/directory_load
// starts a private one and runs this program against it).
//
// Each server is a process of its own with its own loop and Directory, as a server's parent
// would run it. The phases run on all servers at once, one after the other:
//   claim            every server claims its share of the gateways (a registration storm);
//   refresh          every server refreshes all its gateways, in batches (one keepalive
//                    period of a server's sweep);
//   refresh per key  the same with one statement per gateway, for a bounded time: the baseline
//                    that batching is measured against, in the same run;
//   lookup           lookups of random gateways of all servers, 32 waiting per server.
// Statements are counted by each client (answered Ok); CPU is the process's own (getrusage)
// and, for the database, that of the backend serving the connection (/proc/PID/stat).
#include <fcntl.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "directory/Directory.h"

namespace {

// ---- tuning (not protocol) constants ---------------------------------------------------------

constexpr int kDefaultGateways = 100000;
constexpr int kDefaultServers = 3;
constexpr size_t kDefaultBatch = 1000;
constexpr double kDefaultPerKeySeconds = 10;  // the per-key baseline is cut off after this
constexpr int kDefaultLookups = 20000;        // per server
constexpr int kLookupsWaiting = 32;
constexpr double kPhaseLimitSeconds = 300;  // a phase that takes longer is a failure
constexpr double kReadySeconds = 30;
constexpr double kKeepalivePeriod = 60;  // the servers' sweep, for the steady-state figure

struct Options {
    std::string conninfo;
    int gateways = kDefaultGateways;
    int servers = kDefaultServers;
    size_t batch = kDefaultBatch;
    double perKeySeconds = kDefaultPerKeySeconds;
    int lookups = kDefaultLookups;
};

std::string keyOf(int server, int index) {
    return "bench-" + std::to_string(server) + "-" + std::to_string(index);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs a loop until done() holds, checked before each wait for events; false at the limit.
bool runUntil(struct ev_loop* loop, const std::function<bool()>& done, double seconds) {
    if (done()) {
        return true;
    }
    ev_prepare check;
    ev_prepare_init(&check, [](struct ev_loop* l, ev_prepare* w, int) {
        if ((*static_cast<const std::function<bool()>*>(w->data))()) {
            ev_break(l, EVBREAK_ALL);
        }
    });
    check.data = const_cast<std::function<bool()>*>(&done);
    ev_timer limit;
    ev_timer_init(
        &limit, [](struct ev_loop* l, ev_timer*, int) { ev_break(l, EVBREAK_ALL); }, seconds, 0);
    ev_now_update(loop);
    ev_prepare_start(loop, &check);
    ev_timer_start(loop, &limit);
    ev_run(loop, 0);
    ev_prepare_stop(loop, &check);
    ev_timer_stop(loop, &limit);
    return done();
}

// What one server measured in one phase, sent to the coordinator as one line.
struct Figures {
    uint64_t statements = 0;
    uint64_t gateways = 0;
    double seconds = 0;
    double cpu = 0;
    double databaseCpu = 0;
};

// ---- one server ------------------------------------------------------------------------------

class BenchServer {
  public:
    BenchServer(const Options& options, int index) : options_(options), index_(index) {
        loop_ = ev_loop_new(EVFLAG_AUTO);
        directory_ = makeDirectory(options.batch);
    }
    ~BenchServer() {
        directory_.reset();
        ev_loop_destroy(loop_);
    }

    bool ready() {
        return runUntil(
            loop_, [this] { return directory_->ready() && directory_->idle(); }, kReadySeconds);
    }

    Figures run(const std::string& phase) {
        const int count = options_.gateways / options_.servers +
                          (index_ < options_.gateways % options_.servers ? 1 : 0);
        Directory* directory = directory_.get();
        std::unique_ptr<Directory> perKey;
        if (phase == "refresh-per-key") {
            perKey = makeDirectory(1);
            if (!runUntil(
                    loop_, [&] { return perKey->ready() && perKey->idle(); }, kReadySeconds)) {
                return {};
            }
            directory = perKey.get();
        }
        const int backend = directory->client().backendPid();
        const uint64_t completedBefore = directory->client().stats().completed;
        const DirectoryStats statsBefore = directory->stats();
        const double cpuBefore = cpuSeconds();
        const double databaseBefore = processCpuSeconds(backend);
        const double start = ev_time();
        double limit = kPhaseLimitSeconds;
        uint64_t lookups = 0;
        if (phase == "claim") {
            for (int i = 0; i < count; ++i) {
                directory->claim(keyOf(index_, i), ev_time());
            }
        } else if (phase == "refresh" || phase == "refresh-per-key") {
            for (int i = 0; i < count; ++i) {
                directory->refresh(keyOf(index_, i));
            }
            if (phase == "refresh-per-key") {
                limit = options_.perKeySeconds;
            }
        } else if (phase == "lookup") {
            startLookups(&lookups);
        }
        const bool finished = runUntil(
            loop_,
            [&] {
                return phase == "lookup"
                           ? lookups >= static_cast<uint64_t>(options_.lookups) && directory->idle()
                           : directory->idle();
            },
            limit);
        Figures figures;
        figures.seconds = ev_time() - start;
        figures.cpu = cpuSeconds() - cpuBefore;
        figures.databaseCpu = processCpuSeconds(backend) - databaseBefore;
        figures.statements = directory->client().stats().completed - completedBefore;
        const DirectoryStats& after = directory->stats();
        figures.gateways = phase == "lookup"  ? after.lookups - statsBefore.lookups
                           : phase == "claim" ? after.claimed - statsBefore.claimed
                                              : after.refreshed - statsBefore.refreshed;
        if (!finished && phase != "refresh-per-key") {
            std::fprintf(stderr,
                         "directory-load: server %d: phase %s not finished in %.0f s (%.1f s, "
                         "%zu pending, ready %d, idle %d, connection %d)\n",
                         index_, phase.c_str(), limit, ev_time() - start, directory->pending(),
                         directory->ready(), directory->idle(),
                         static_cast<int>(directory->client().state()));
            figures.statements = 0;
        }
        return figures;
    }

  private:
    std::unique_ptr<Directory> makeDirectory(size_t batch) {
        PgClientSettings database;
        database.conninfo = options_.conninfo;
        database.statementTimeout = 30;
        DirectorySettings settings;
        settings.serverId = "bench-" + std::to_string(index_);
        settings.peerAddress = "127.0.0." + std::to_string(index_ + 1) + ":1443";
        settings.batchLimit = batch;
        settings.lookupLimit = kLookupsWaiting;
        auto directory = std::make_unique<Directory>(loop_, database, settings);
        directory->start();
        return directory;
    }

    void startLookups(uint64_t* answered) {
        for (int i = 0; i < kLookupsWaiting; ++i) {
            lookupOne(answered);
        }
    }

    void lookupOne(uint64_t* answered) {
        if (issued_ >= options_.lookups) {
            return;
        }
        ++issued_;
        std::uniform_int_distribution<int> server(0, options_.servers - 1);
        std::uniform_int_distribution<int> index(0, options_.gateways / options_.servers - 1);
        directory_->lookup(keyOf(server(random_), index(random_)),
                           [this, answered](Directory::LookupStatus, const Directory::Location&) {
                               ++*answered;
                               lookupOne(answered);
                           });
    }

    const Options& options_;
    int index_;
    struct ev_loop* loop_;
    std::unique_ptr<Directory> directory_;
    std::mt19937 random_{12345};
    int issued_ = 0;
};

// A server process: reads a phase name per line, answers with its figures.
int serverMain(const Options& options, int index, int commands, int results) {
    BenchServer server(options, index);
    const bool ready = server.ready();
    const char status = ready ? 'R' : 'F';
    if (write(results, &status, 1) != 1 || !ready) {
        return 1;
    }
    FILE* in = fdopen(commands, "r");
    char line[64];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string phase(line);
        phase.erase(phase.find_last_not_of('\n') + 1);
        const Figures f = server.run(phase);
        char answer[256];
        const int length =
            std::snprintf(answer, sizeof answer, "%" PRIu64 " %" PRIu64 " %f %f %f\n", f.statements,
                          f.gateways, f.seconds, f.cpu, f.databaseCpu);
        if (write(results, answer, static_cast<size_t>(length)) != length) {
            return 1;
        }
    }
    return 0;
}

// ---- the coordinator -------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int commands = -1;
    FILE* results = nullptr;
};

bool readFigures(Child& child, Figures* out) {
    char line[256];
    if (std::fgets(line, sizeof line, child.results) == nullptr) {
        return false;
    }
    return std::sscanf(line, "%" SCNu64 " %" SCNu64 " %lf %lf %lf", &out->statements,
                       &out->gateways, &out->seconds, &out->cpu, &out->databaseCpu) == 5;
}

struct Total {
    uint64_t statements = 0;
    uint64_t gateways = 0;
    double seconds = 0;  // the slowest server's
    double cpu = 0;
    double databaseCpu = 0;
};

bool runPhase(std::vector<Child>& children, const std::string& phase, Total* total) {
    for (Child& child : children) {
        const std::string line = phase + "\n";
        if (write(child.commands, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return false;
        }
    }
    *total = Total{};
    for (Child& child : children) {
        Figures f;
        if (!readFigures(child, &f) || f.statements == 0) {
            return false;
        }
        total->statements += f.statements;
        total->gateways += f.gateways;
        total->seconds = std::max(total->seconds, f.seconds);
        total->cpu += f.cpu;
        total->databaseCpu += f.databaseCpu;
    }
    return true;
}

void printRow(const char* label, const Total& t) {
    std::printf("  %-16s %10" PRIu64 " %11.0f %12" PRIu64 " %12.0f %14.1f %14.1f\n", label,
                t.statements, t.statements / t.seconds, t.gateways, t.gateways / t.seconds,
                t.cpu * 1000, t.databaseCpu * 1000);
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* prefix) -> const char* {
            return arg.rfind(prefix, 0) == 0 ? argv[i] + std::strlen(prefix) : nullptr;
        };
        if (const char* v = value("--conninfo=")) {
            options->conninfo = v;
        } else if (const char* v = value("--gateways=")) {
            options->gateways = std::clamp(std::atoi(v), 3, 1000000);
        } else if (const char* v = value("--servers=")) {
            options->servers = std::clamp(std::atoi(v), 1, 16);
        } else if (const char* v = value("--batch=")) {
            options->batch = static_cast<size_t>(std::clamp(std::atoi(v), 1, 100000));
        } else if (const char* v = value("--per-key-seconds=")) {
            options->perKeySeconds = std::clamp(std::atof(v), 1.0, 120.0);
        } else if (const char* v = value("--lookups=")) {
            options->lookups = std::clamp(std::atoi(v), 1, 1000000);
        } else {
            return false;
        }
    }
    return !options->conninfo.empty();
}

}  // namespace

int main(int argc, char** argv) {
    // The clients' warnings (a lost connection, a failed batch) go to standard error.
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true)));
    root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s --conninfo=CONNINFO [--gateways=N] [--servers=N] [--batch=N] "
                     "[--per-key-seconds=S] [--lookups=N]\n",
                     argv[0]);
        return 2;
    }
    std::vector<Child> children;
    for (int index = 0; index < options.servers; ++index) {
        int commands[2];
        int results[2];
        if (pipe(commands) != 0 || pipe(results) != 0) {
            std::perror("pipe");
            return 1;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(commands[1]);
            close(results[0]);
            for (const Child& other : children) {
                close(other.commands);
                std::fclose(other.results);
            }
            _exit(serverMain(options, index, commands[0], results[1]));
        }
        close(commands[0]);
        close(results[1]);
        children.push_back({pid, commands[1], fdopen(results[0], "r")});
    }
    bool ok = true;
    for (Child& child : children) {
        ok = ok && std::fgetc(child.results) == 'R';
    }
    const int perServer = options.gateways / options.servers;
    std::printf(
        "directory_load: %d gateways over %d servers sharing one PostgreSQL, batches of up to "
        "%zu gateways\n"
        "  each server a process with its own loop and directory client; CPU in ms summed over "
        "the servers\n"
        "  (client) and over the database backends serving them (database)\n",
        options.gateways, options.servers, options.batch);
    std::printf("  %-16s %10s %11s %12s %12s %14s %14s\n", "phase", "statements", "stmt/s",
                "gateways", "gateways/s", "client CPU ms", "database ms");
    Total claim, refresh, perKey, lookup;
    ok = ok && runPhase(children, "claim", &claim);
    if (ok) {
        printRow("claim", claim);
    }
    ok = ok && runPhase(children, "refresh", &refresh);
    if (ok) {
        printRow("refresh", refresh);
    }
    ok = ok && runPhase(children, "refresh-per-key", &perKey);
    if (ok) {
        printRow("refresh per key", perKey);
    }
    ok = ok && runPhase(children, "lookup", &lookup);
    if (ok) {
        printRow("lookup", lookup);
    }
    for (Child& child : children) {
        close(child.commands);
    }
    for (Child& child : children) {
        int status = 0;
        waitpid(child.pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::fclose(child.results);
    }
    if (!ok) {
        std::printf("directory_load: FAILED (a server did not start or finish a phase)\n");
        return 1;
    }
    const double batchedRate = refresh.gateways / refresh.seconds;
    const double perKeyRate = perKey.gateways / perKey.seconds;
    const double batchedCpu = refresh.cpu / refresh.gateways;
    const double perKeyCpu = perKey.cpu / std::max<uint64_t>(perKey.gateways, 1);
    std::printf(
        "  batched refresh beside one statement per gateway: %.1fx the gateways per "
        "second, %.1fx less client CPU per gateway\n",
        batchedRate / perKeyRate, perKeyCpu / batchedCpu);
    std::printf(
        "  steady state: refreshing its %d gateways once per %.0f s keepalive sweep costs "
        "a server %.1f ms of CPU (%.3f%% of a core) and %.0f statements\n",
        perServer, kKeepalivePeriod, refresh.cpu * 1000 / options.servers,
        refresh.cpu / options.servers / kKeepalivePeriod * 100,
        static_cast<double>(refresh.statements) / options.servers);
    return 0;
}
