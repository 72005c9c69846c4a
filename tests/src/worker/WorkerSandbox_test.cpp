// What the proxy workers' filter lets through: each call is made in a forked child that has
// confined itself as a worker does; the parent reads how the child ended.
#include "worker/WorkerSandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "common/Capabilities.h"
#include "server/CommandLine.h"

namespace {

// How a confined child ended: exit status 0 (the call worked), its errno (refused), or 256
// (killed by the filter).
constexpr int kKilled = 256;

int outcomeOf(const WorkerSandbox& sandbox, const std::function<int()>& call) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (!sandbox.confineProxyWorker()) {
            ::_exit(255);
        }
        errno = 0;
        const int result = call();
        ::_exit(result < 0 ? errno : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WorkerSandbox::killedByFilter(status) ? kKilled : WEXITSTATUS(status);
}

TEST(WorkerSandbox, ProxyWorkersOwnNoSocketAndCannotHaveTheServerSignalled) {
    const WorkerSandbox sandbox{ServerSettings{}};
    const pid_t server = ::getpid();
    sockaddr_in somewhere{};
    somewhere.sin_family = AF_INET;
    somewhere.sin_port = htons(8500);
    somewhere.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto to = reinterpret_cast<const sockaddr*>(&somewhere);
    struct Case {
        const char* what;
        std::function<int()> call;
        int outcome;
    };
    const Case cases[] = {
        {"fcntl F_SETOWN", [&] { return ::fcntl(1, F_SETOWN, server); }, EPERM},
        {"fcntl F_SETSIG", [] { return ::fcntl(1, F_SETSIG, SIGKILL); }, EPERM},
        {"fcntl O_ASYNC", [] { return ::fcntl(1, F_SETFL, O_ASYNC | O_NONBLOCK); }, EPERM},
        {"fcntl O_NONBLOCK", [] { return ::fcntl(1, F_SETFL, O_NONBLOCK); }, 0},
        {"fcntl F_GETFL", [] { return ::fcntl(1, F_GETFL); }, 0},
        {"an IPv4 socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0); }, kKilled},
        {"a local socket", [] { return ::socket(AF_UNIX, SOCK_DGRAM, 0); }, kKilled},
        {"connect", [&] { return ::connect(1, to, sizeof somewhere); }, kKilled},
        {"sendto an address",
         [&] { return static_cast<int>(::sendto(1, "x", 1, 0, to, sizeof somewhere)); }, kKilled},
        {"send on a socket it has", [] { return static_cast<int>(::send(1, "x", 1, 0)); }, 0},
        {"kill the server", [&] { return ::kill(server, SIGTERM); }, kKilled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Descriptor 1 is a socket for the calls above: the child's end of a pair.
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const int saved = ::dup(1);
        ::dup2(pair[0], 1);
        const int outcome = outcomeOf(sandbox, c.call);
        ::dup2(saved, 1);
        ::close(saved);
        ::close(pair[0]);
        ::close(pair[1]);
        EXPECT_EQ(outcome, c.outcome);
    }
}

// The hexadecimal value of a capability set in /proc/self/status ("CapEff", ...).
unsigned long long capabilitySet(const char* name) {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    unsigned long long value = ~0ULL;
    const size_t length = std::strlen(name);
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            value = std::strtoull(line + length + 1, nullptr, 16);
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    return value;
}

TEST(WorkerSandbox, DroppingCapabilitiesLeavesNoneInAnySet) {
    const pid_t child = ::fork();
    if (child == 0) {
        const bool bounding = capabilities::clearBoundingSet();
        const bool dropped = capabilities::dropAll();
        // Root may clear its bounding set (it holds CAP_SETPCAP); others keep it, which is
        // harmless under NO_NEW_PRIVS.
        const bool none = capabilitySet("CapEff") == 0 && capabilitySet("CapPrm") == 0 &&
                          capabilitySet("CapInh") == 0 && capabilitySet("CapAmb") == 0 &&
                          (::geteuid() != 0 || (bounding && capabilitySet("CapBnd") == 0)) &&
                          capabilitySet("NoNewPrivs") == 1;
        ::_exit(dropped && none ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
