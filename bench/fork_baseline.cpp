// Bare fork costs of a process the size of a running TambloServer, the baseline of the worker
// benchmarks.
//
// The helper links the server's libraries, then grows its own resident memory with touched
// heap pages until it matches the resident size it is given (the live server parent's VmRSS),
// so that its fork copies as many page-table entries as the server's fork of a worker. It
// then measures, one after the other:
//   fork_exit_wait  fork(); the child calls _exit(0) at once; the parent's waitpid returns
//   fork_to_child   fork(); the child writes one byte to a pipe; the parent's read returns
//                   (what a worker has before it runs its first line of its own)
//   child_uss       the private memory (Private_Clean + Private_Dirty of smaps_rollup) of a
//                   forked child that only waits, after it wrote its byte
// and prints one JSON object with the percentiles in microseconds. Bounded by --count.
#include <ev.h>
#include <log4cplus/logger.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

long statusField(const std::string& path, const char* name) {
    std::ifstream in(path);
    std::string line;
    const size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') {
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
        }
    }
    return -1;
}

long privateKib(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    const long clean = statusField(path, "Private_Clean");
    const long dirty = statusField(path, "Private_Dirty");
    return clean < 0 || dirty < 0 ? -1 : clean + dirty;
}

long mappingCount() {
    std::ifstream in("/proc/self/maps");
    std::string line;
    long count = 0;
    while (std::getline(in, line)) {
        ++count;
    }
    return count;
}

struct Summary {
    double p50, p99, mean, max;
};

Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        const size_t i =
            static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
        return values[std::min(values.size(), std::max<size_t>(i, 1)) - 1];
    };
    double total = 0;
    for (double v : values) {
        total += v;
    }
    return {rank(50), rank(99), total / static_cast<double>(values.size()), values.back()};
}

void printSummary(const char* name, const Summary& s, bool comma) {
    std::printf(
        "\"%s\": {\"p50_us\": %.1f, \"p99_us\": %.1f, \"mean_us\": %.1f, \"max_us\": %.1f}%s\n",
        name, s.p50, s.p99, s.mean, s.max, comma ? "," : "");
}

}  // namespace

int main(int argc, char** argv) {
    long targetKib = 0;
    int count = 1000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rss-kib=", 10) == 0) {
            targetKib = std::strtol(argv[i] + 10, nullptr, 10);
        } else if (std::strncmp(argv[i], "--count=", 8) == 0) {
            count = std::max(1, std::min(100000, std::atoi(argv[i] + 8)));
        } else {
            std::fprintf(stderr, "usage: fork-baseline [--rss-kib=N] [--count=N]\n");
            return 2;
        }
    }
    // The same libraries as the server, in use: a default loop and the logging hierarchy.
    struct ev_loop* loop = ev_default_loop(0);
    log4cplus::Logger::getInstance("TambloServer.bench");

    // Grow to the server's resident size with touched pages (64 KiB blocks, like a heap).
    std::vector<char*> blocks;
    const long ownKib = statusField("/proc/self/status", "VmRSS");
    for (long have = ownKib; have < targetKib && blocks.size() < 1'000'000; have += 64) {
        char* block = static_cast<char*>(std::malloc(64 * 1024));
        if (block == nullptr) {
            break;
        }
        std::memset(block, 0x5a, 64 * 1024);
        blocks.push_back(block);
    }
    const long rssKib = statusField("/proc/self/status", "VmRSS");

    std::vector<double> exitWait;
    std::vector<double> toChild;
    exitWait.reserve(static_cast<size_t>(count));
    toChild.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int64_t start = nowNs();
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(0);
        }
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        exitWait.push_back(static_cast<double>(nowNs() - start) / 1000.0);
    }
    long childUss = -1;
    for (int i = 0; i < count; ++i) {
        int ready[2];
        int hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) {
            std::perror("pipe");
            return 1;
        }
        const int64_t start = nowNs();
        const pid_t pid = fork();
        if (pid == 0) {
            char byte = 1;
            close(ready[0]);
            close(hold[1]);
            (void)!write(ready[1], &byte, 1);
            (void)!read(hold[0], &byte, 1);  // waits until the parent closes its end
            _exit(0);
        }
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        close(ready[1]);
        close(hold[0]);
        char byte;
        (void)!read(ready[0], &byte, 1);
        toChild.push_back(static_cast<double>(nowNs() - start) / 1000.0);
        if (i == count - 1) {
            childUss = privateKib(pid);
        }
        close(hold[1]);
        close(ready[0]);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    std::printf("{\n\"rss_kib\": %ld, \"maps\": %ld, \"count\": %d, \"child_uss_kib\": %ld,\n",
                rssKib, mappingCount(), count, childUss);
    printSummary("fork_exit_wait", summarise(exitWait), true);
    printSummary("fork_to_child", summarise(toChild), false);
    std::printf("}\n");
    for (char* block : blocks) {
        std::free(block);
    }
    ev_loop_destroy(loop);
    return 0;
}
