// Keepalive rate and memory of TambloServer with 10,000 gateway clients, beside a UDP echo loop.
//
// What one run does, all on loopback and bounded in count and time:
//   1. starts build/TambloServer in a temporary directory (WARN-level log to a file) on free
//      ports, and forks a minimal blocking recvfrom/sendto echo process beside it;
//   2. registers the clients, each from its own UDP socket: half with CONNECT, half with
//      CONNECTTLS and a fresh X25519 key (the AES key comes from the ACCEPTTLS answer);
//   3. reads the server's VmRSS;
//   4. drives three kinds of traffic with one generator (a window of requests in flight,
//      spread round robin over the clients in small per-client bursts, epoll over their
//      sockets, lost requests refilled after a timeout): plain keepalives to the echo process,
//      plain keepalives to the server, and encrypted keepalives (252 + envelope) from the
//      keyed clients to the server. The three alternate in short slices, so that whatever
//      else the machine does at the time weighs on all three alike;
//   5. prints answers per second, the ratios to the echo loop, the CPU each side used and the
//      server's RSS, and stops the server with SIGTERM, expecting exit status 0.
// The server and the echo process run on one CPU and the generator on another (when the
// machine has two), so the answering side always has a core of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "encryption.h"
#include "protocol/GatewayDatagram.h"

namespace {

namespace gd = gateway_datagram;

// ---- tuning (not protocol) constants ------------------------------------------------------

constexpr int kDefaultClients = 10000;
// A window of 192 stays below the ~256 small datagrams that a default-sized socket receive
// buffer holds, so neither the server nor the echo process drops for want of room; bursts of
// 4 per client take most of the system call overhead off the generator, which otherwise
// sets the pace of the echo loop.
constexpr int kDefaultWindow = 192;  // requests in flight during a phase
constexpr int kDefaultBurst = 4;     // requests per client per sendmmsg
constexpr int kMaxBurst = 64;
constexpr double kDefaultPhaseSeconds = 10.0;       // measured time of each kind of traffic
constexpr int kDefaultSlices = 10;                  // the kinds alternate in this many rounds
constexpr double kWarmupSeconds = 0.2;              // run before each measured slice, not counted
constexpr int64_t kRequestTimeoutNs = 100'000'000;  // a lost request frees its slot after this
constexpr int64_t kSweepPeriodNs = 10'000'000;      // how often timed-out requests are looked for
constexpr int64_t kDrainNs = 300'000'000;           // wait for stragglers after a phase
constexpr int kRegistrationWindow = 128;            // registrations in flight
constexpr int kRegistrationAttempts = 5;
constexpr int64_t kRegistrationTimeoutNs = 1'000'000'000;
constexpr int64_t kRegistrationPhaseLimitNs = 60'000'000'000;  // per attempt, as a safety net
constexpr int kMaxEvents = 1024;
constexpr int kMaxReadsPerEvent = 4;
constexpr double kServerStartSeconds = 10.0;
constexpr double kServerStopSeconds = 20.0;
constexpr int kStartAttempts = 3;
constexpr double kPlainTarget = 0.60;  // plain keepalive rate / echo rate
constexpr double kRssTargetMiB = 64.0;
constexpr int kServerCpu = 0;
constexpr int kGeneratorCpu = 1;
// The echo process ends by itself when its parent is gone, after this lifetime, or after
// this many datagrams, whichever comes first.
constexpr int64_t kEchoLifetimeNs = 900'000'000'000;
constexpr uint64_t kEchoMaxDatagrams = 4'000'000'000ULL;

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double seconds(int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

void sleepNs(int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    nanosleep(&ts, nullptr);
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "gateway-keepalive: %s\n", what.c_str());
    std::exit(2);
}

std::string errnoText() {
    return std::strerror(errno);
}

// ---- command line ---------------------------------------------------------------------------

struct Options {
    std::string serverPath;
    int clients = kDefaultClients;
    int window = kDefaultWindow;
    int burst = kDefaultBurst;
    double phaseSeconds = kDefaultPhaseSeconds;
    int slices = kDefaultSlices;
    bool pin = true;
    bool keepDirectory = false;
};

void usage() {
    std::printf(
        "usage: gateway-keepalive [PATH/TO/TambloServer] [--clients=N] [--window=N]\n"
        "                         [--burst=N] [--seconds=S] [--slices=N] [--no-pin] [--keep]\n"
        "  --clients  gateway clients to register, half plain, half keyed (default %d)\n"
        "  --window   requests in flight during a phase (default %d)\n"
        "  --burst    requests a client sends at once with one sendmmsg (default %d)\n"
        "  --seconds  measured time of each kind of traffic (default %.0f)\n"
        "  --slices   rounds in which echo, plain and encrypted traffic alternate, so that\n"
        "             other load on the machine hits all three alike (default %d)\n"
        "  --no-pin   leave CPU placement to the scheduler\n"
        "  --keep     keep the server's temporary directory (log, config)\n",
        kDefaultClients, kDefaultWindow, kDefaultBurst, kDefaultPhaseSeconds, kDefaultSlices);
}

bool optionValue(std::string_view argument, std::string_view name, std::string_view* value) {
    if (argument.size() > name.size() && argument.substr(0, name.size()) == name) {
        *value = argument.substr(name.size());
        return true;
    }
    return false;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string ownDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    return directoryOf(std::string(path, static_cast<size_t>(n)));
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        std::string_view value;
        if (argument == "-h" || argument == "--help") {
            usage();
            std::exit(0);
        } else if (optionValue(argument, "--clients=", &value)) {
            options.clients = std::atoi(std::string(value).c_str());
        } else if (optionValue(argument, "--window=", &value)) {
            options.window = std::atoi(std::string(value).c_str());
        } else if (optionValue(argument, "--burst=", &value)) {
            options.burst = std::atoi(std::string(value).c_str());
        } else if (optionValue(argument, "--slices=", &value)) {
            options.slices = std::atoi(std::string(value).c_str());
        } else if (optionValue(argument, "--seconds=", &value)) {
            options.phaseSeconds = std::atof(std::string(value).c_str());
        } else if (argument == "--no-pin") {
            options.pin = false;
        } else if (argument == "--keep") {
            options.keepDirectory = true;
        } else if (!argument.empty() && argument[0] != '-' && options.serverPath.empty()) {
            options.serverPath = std::string(argument);
        } else {
            usage();
            die("unknown argument " + std::string(argument));
        }
    }
    if (options.clients < 2 || options.clients > 60000) {
        die("--clients must be between 2 and 60000");
    }
    if (options.burst < 1 || options.burst > kMaxBurst) {
        die("--burst must be between 1 and " + std::to_string(kMaxBurst));
    }
    if (options.window < options.burst || options.window / options.burst > options.clients / 2) {
        die("--window must be at least --burst and at most --burst times half the clients");
    }
    if (options.phaseSeconds <= 0 || options.phaseSeconds > 300) {
        die("--seconds must be in (0, 300]");
    }
    if (options.slices < 1 || options.slices > 1000 ||
        options.phaseSeconds / options.slices < 0.05) {
        die("--slices must be between 1 and 1000, and slices at least 50 ms long");
    }
    if (options.serverPath.empty()) {
        // build/bench/gateway-keepalive -> build/TambloServer
        options.serverPath = ownDirectory() + "/../TambloServer";
    }
    if (access(options.serverPath.c_str(), X_OK) != 0) {
        die("server binary not found: " + options.serverPath);
    }
    char resolved[PATH_MAX];
    if (realpath(options.serverPath.c_str(), resolved) != nullptr) {
        options.serverPath = resolved;
    }
    return options;
}

// ---- process helpers ------------------------------------------------------------------------

bool pinToCpu(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(pid, sizeof set, &set) == 0;
}

int usableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return CPU_COUNT(&set);
}

bool cpuUsable(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(cpu, &set);
}

void raiseDescriptorLimit(int needed) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        die("getrlimit: " + errnoText());
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            die("setrlimit: " + errnoText());
        }
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < static_cast<rlim_t>(needed)) {
        die("descriptor limit " + std::to_string(limit.rlim_cur) + " is below the " +
            std::to_string(needed) + " that this run needs; lower --clients");
    }
}

// VmRSS of a process in KiB, or -1.
long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// User plus system CPU time of a process in seconds (clock ticks of /proc/<pid>/stat).
double processCpuSeconds(pid_t pid) {
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    for (int index = 3; index <= 15 && (fields >> field); ++index) {
        if (index == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (index == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time from /proc/stat in seconds: machine-wide sums and the busy time of the two cores
// that the benchmark pins to (interrupt and softirq time included: on loopback the sender's
// core does the receiving side's protocol work).
struct MachineCpu {
    double tasks = 0;          // user + nice + system over all CPUs: what processes ran
    double total = 0;          // everything over all CPUs, idle included
    double peerCore = 0;       // busy time of kServerCpu
    double generatorCore = 0;  // busy time of kGeneratorCpu
};

MachineCpu machineCpu() {
    std::ifstream statFile("/proc/stat");
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::string peerLabel = "cpu" + std::to_string(kServerCpu);
    const std::string generatorLabel = "cpu" + std::to_string(kGeneratorCpu);
    MachineCpu sample;
    std::string line;
    while (std::getline(statFile, line) && line.compare(0, 3, "cpu") == 0) {
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        // user nice system idle iowait irq softirq steal
        unsigned long long value[8] = {};
        for (unsigned long long& field : value) {
            fields >> field;
        }
        const double busy =
            static_cast<double>(value[0] + value[1] + value[2] + value[5] + value[6]) / tick;
        if (label == "cpu") {
            sample.tasks = static_cast<double>(value[0] + value[1] + value[2]) / tick;
            for (unsigned long long field : value) {
                sample.total += static_cast<double>(field) / tick;
            }
        } else if (label == peerLabel) {
            sample.peerCore = busy;
        } else if (label == generatorLabel) {
            sample.generatorCore = busy;
        }
    }
    return sample;
}

double ownCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port that nothing holds right now for the given socket type (bound to any address).
uint16_t freePort(int type, std::vector<int>* held) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        die("cannot find a free port: " + errnoText());
    }
    held->push_back(fd);  // held until all ports are chosen, so that they differ
    return ntohs(address.sin_port);
}

// ---- the server under test ------------------------------------------------------------------

// Owns the TambloServer child and its temporary working directory.
class ServerProcess {
  public:
    ServerProcess(const Options& options, bool pin) : options_(options), pin_(pin) {}
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        removeDirectory();
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    void start() {
        char pattern[] = "/tmp/tamblo-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            die("mkdtemp: " + errnoText());
        }
        directory_ = pattern;
        writeLogConfiguration();
        for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
            if (tryStart()) {
                return;
            }
            std::fprintf(stderr,
                         "gateway-keepalive: server did not come up (attempt %d), "
                         "retrying on other ports\n",
                         attempt);
        }
        die("the server did not start; see " + directory_ + "/server.err");
    }

    // SIGTERM, then wait; the exit status (or -1 when it had to be killed).
    int stop() {
        if (pid_ <= 0) {
            return -1;
        }
        kill(pid_, SIGTERM);
        const int64_t deadline = nowNs() + static_cast<int64_t>(kServerStopSeconds * 1e9);
        int status = 0;
        while (nowNs() < deadline) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            sleepNs(10'000'000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

    pid_t pid() const { return pid_; }
    uint16_t gatewayPort() const { return gcPort_; }
    const std::string& directory() const { return directory_; }

    // Log lines other than the expected one about SIGTERM.
    std::vector<std::string> unexpectedLogLines() const {
        std::vector<std::string> lines;
        for (const char* name : {"/server.log", "/server.err"}) {
            std::ifstream log(directory_ + name);
            std::string line;
            while (std::getline(log, line)) {
                if (!line.empty() && line.find("SIGTERM received") == std::string::npos) {
                    lines.push_back(line);
                }
            }
        }
        return lines;
    }

  private:
    void writeLogConfiguration() {
        std::ofstream conf(directory_ + "/TambloServer_log.conf");
        conf << "# Benchmark logging: warnings and errors only, to a file.\n"
                "log4cplus.rootLogger=WARN, file\n"
                "log4cplus.appender.file=log4cplus::FileAppender\n"
                "log4cplus.appender.file.File=server.log\n"
                "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
                "log4cplus.appender.file.layout.ConversionPattern="
                "%D{%Y-%m-%d %H:%M:%S.%q} %-5p %c - %m%n\n";
        if (!conf) {
            die("cannot write the log configuration in " + directory_);
        }
    }

    bool tryStart() {
        std::vector<int> held;
        gcPort_ = freePort(SOCK_DGRAM, &held);
        ctrlPort_ = freePort(SOCK_STREAM, &held);
        proxyPort_ = freePort(SOCK_STREAM, &held);
        restPort_ = freePort(SOCK_STREAM, &held);
        for (int fd : held) {
            close(fd);
        }
        const std::vector<std::string> arguments = {
            options_.serverPath,
            "--gc-port=" + std::to_string(gcPort_),
            "--ctrl-port=" + std::to_string(ctrlPort_),
            "--proxy-port=" + std::to_string(proxyPort_),
            "--rest-port=" + std::to_string(restPort_),
            // Every simulated gateway registers from loopback: the per-address limits of a
            // real deployment would keep all but the first thousand out.
            "--max-gateways-per-address=1000000",
            "--key-agreements-per-second=1000000",
            // The control port listens on loopback only, so the start is quiet.
            "--ctrl-address=127.0.0.1",
        };
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) {
            die("fork: " + errnoText());
        }
        if (pid_ == 0) {
            execServer(arguments, parent);
        }
        // Ready once the control listener accepts: it is bound after the gateway socket.
        const int64_t deadline = nowNs() + static_cast<int64_t>(kServerStartSeconds * 1e9);
        while (nowNs() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in control = loopback(ctrlPort_);
            const bool up =
                connect(probe, reinterpret_cast<const sockaddr*>(&control), sizeof control) == 0;
            close(probe);
            if (up) {
                return true;
            }
            sleepNs(10'000'000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }

    [[noreturn]] void execServer(const std::vector<std::string>& arguments, pid_t parent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        if (pin_) {
            pinToCpu(0, kServerCpu);
        }
        if (chdir(directory_.c_str()) != 0) {
            _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = open("server.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open("server.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    void removeDirectory() {
        if (directory_.empty() || options_.keepDirectory) {
            return;
        }
        for (const char* name :
             {"/TambloServer_log.conf", "/server.log", "/server.out", "/server.err"}) {
            unlink((directory_ + name).c_str());
        }
        rmdir(directory_.c_str());
    }

    const Options& options_;
    bool pin_;
    pid_t pid_ = -1;
    std::string directory_;
    uint16_t gcPort_ = 0;
    uint16_t ctrlPort_ = 0;
    uint16_t proxyPort_ = 0;
    uint16_t restPort_ = 0;
};

// ---- the echo baseline ----------------------------------------------------------------------

// A separate single-threaded process: one blocking recvfrom/sendto loop echoing every datagram.
class EchoProcess {
  public:
    ~EchoProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void start(bool pin) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            die("echo socket: " + errnoText());
        }
        port_ = ntohs(address.sin_port);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) {
            die("fork: " + errnoText());
        }
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (pin) {
                pinToCpu(0, kServerCpu);
            }
            echoLoop(fd, parent);
        }
        close(fd);
    }

    bool stop() {
        if (pid_ <= 0) {
            return false;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
    }

    pid_t pid() const { return pid_; }
    uint16_t port() const { return port_; }

  private:
    [[noreturn]] static void echoLoop(int fd, pid_t parent) {
        // The timeout only lets the loop notice that its parent is gone.
        const timeval wake{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        const int64_t deadline = nowNs() + kEchoLifetimeNs;
        uint8_t buffer[gd::kMaxDatagramSize];
        for (uint64_t count = 0; count < kEchoMaxDatagrams; ++count) {
            sockaddr_in from;
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if ((errno == EAGAIN || errno == EINTR) && getppid() == parent &&
                    nowNs() < deadline) {
                    continue;
                }
                break;
            }
            sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                   fromLength);
        }
        _exit(0);
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// ---- the clients and the generator -----------------------------------------------------------

constexpr size_t kMaxPayload = 64;

struct Client {
    int fd = -1;
    bool keyed = false;
    bool registered = false;
    int outstanding = 0;  // requests sent and not yet answered or given up
    uint8_t mac[gd::kMacSize] = {};
    CryptoContextPtr crypto;
    uint8_t registration[gd::kConnectTlsMinSize] = {};
    uint8_t registrationLength = 0;
    uint8_t plainKeepalive[gd::kKeepaliveMinSize] = {};
    uint8_t encryptedKeepalive[kMaxPayload] = {};
    uint8_t encryptedLength = 0;
    int64_t sentAt = 0;
};

struct PhaseResult {
    uint64_t sent = 0;
    uint64_t answers = 0;   // valid answers inside the measured interval
    uint64_t timedOut = 0;  // requests given up after kRequestTimeoutNs (whole phase)
    uint64_t late = 0;      // answers that came after their request was given up
    uint64_t wrong = 0;     // answers of the wrong kind
    uint64_t sendErrors = 0;
    double seconds = 0;
    double targetCpu = 0;  // CPU seconds of the answering process in the measured interval
    double generatorCpu = 0;
    double otherCpu = 0;       // CPU seconds of everything else on the machine meanwhile
    double peerCore = 0;       // busy seconds of the peer's core (meaningful when pinned)
    double generatorCore = 0;  // busy seconds of the generator's core
    double bestSliceRate = 0;
    std::vector<double> sliceRates;  // in round order
    double rate() const { return seconds > 0 ? static_cast<double>(answers) / seconds : 0; }

    void add(const PhaseResult& slice) {
        sent += slice.sent;
        answers += slice.answers;
        timedOut += slice.timedOut;
        late += slice.late;
        wrong += slice.wrong;
        sendErrors += slice.sendErrors;
        seconds += slice.seconds;
        targetCpu += slice.targetCpu;
        generatorCpu += slice.generatorCpu;
        otherCpu += slice.otherCpu;
        peerCore += slice.peerCore;
        generatorCore += slice.generatorCore;
        bestSliceRate = std::max(bestSliceRate, slice.rate());
        sliceRates.push_back(slice.rate());
    }
};

enum class Payload { Plain, Encrypted };
enum class Answer { KeepaliveResponse, Echo };

// All client sockets, one epoll set over them, and the request window.
class Generator {
  public:
    explicit Generator(int clients) : clients_(static_cast<size_t>(clients)) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            die("epoll_create1: " + errnoText());
        }
        // Message vectors are set up once: every datagram of a burst is the same bytes, and
        // the receive slots only need their buffers.
        std::memset(sendMessages_, 0, sizeof sendMessages_);
        std::memset(receiveMessages_, 0, sizeof receiveMessages_);
        for (int m = 0; m < kMaxBurst; ++m) {
            sendMessages_[m].msg_hdr.msg_iov = &sendData_;
            sendMessages_[m].msg_hdr.msg_iovlen = 1;
            receiveData_[m].iov_base = receiveBuffers_[m];
            receiveData_[m].iov_len = kAnswerRoom;
            receiveMessages_[m].msg_hdr.msg_iov = &receiveData_[m];
            receiveMessages_[m].msg_hdr.msg_iovlen = 1;
        }
    }
    ~Generator() {
        for (Client& client : clients_) {
            if (client.fd >= 0) {
                close(client.fd);
            }
        }
        close(epoll_);
    }
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    // Sockets bound to 127.0.0.1:0; even indices register plain, odd ones with a key.
    void createClients() {
        for (size_t i = 0; i < clients_.size(); ++i) {
            Client& client = clients_[i];
            client.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in local = loopback(0);
            if (client.fd < 0 ||
                bind(client.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
                die("client socket " + std::to_string(i) + ": " + errnoText());
            }
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = static_cast<uint32_t>(i);
            if (epoll_ctl(epoll_, EPOLL_CTL_ADD, client.fd, &event) != 0) {
                die("epoll_ctl: " + errnoText());
            }
            client.keyed = (i % 2) == 1;
            // Locally administered unicast MACs: 02:bb and the index in four bytes.
            const uint8_t mac[gd::kMacSize] = {0x02,
                                               0xbb,
                                               static_cast<uint8_t>(i >> 24),
                                               static_cast<uint8_t>(i >> 16),
                                               static_cast<uint8_t>(i >> 8),
                                               static_cast<uint8_t>(i)};
            std::memcpy(client.mac, mac, sizeof mac);
            gd::RegistrationFields fields;
            std::memcpy(fields.mac, mac, sizeof mac);
            const uint8_t lanSide[4] = {198, 19, 1, 1};
            std::memcpy(&fields.localIP, lanSide, sizeof lanSide);
            fields.localPortStart = 20000;
            fields.localPortEnd = 30000;
            fields.type = 2;
            if (client.keyed) {
                client.crypto.reset(cryptoNew());
                if (!client.crypto) {
                    die("cryptoNew failed");
                }
                fields.publicKey = cryptoGetPublicKey(client.crypto.get());
            }
            uint8_t encoded[gd::kRegistrationMaxSize];
            const size_t length = gd::encodeRegistration(fields, encoded);
            if (length > sizeof client.registration) {
                die("unexpected registration length");
            }
            std::memcpy(client.registration, encoded, length);
            client.registrationLength = static_cast<uint8_t>(length);
            gd::encodeKeepalive(client.mac, {}, client.plainKeepalive);
        }
    }

    // Points client sockets at one peer (all of them, or the plain ones only, which also talk
    // to the echo process); the local port, the client's identity, stays.
    void connectClients(uint16_t port, bool plainOnly) {
        const sockaddr_in peer = loopback(port);
        for (Client& client : clients_) {
            if (plainOnly && client.keyed) {
                continue;
            }
            if (connect(client.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
                die("connect: " + errnoText());
            }
        }
        drainSockets();
    }

    struct RegistrationResult {
        int registered = 0;
        int attempts = 0;
        uint64_t sent = 0;
        int badKeys = 0;
        double seconds = 0;
    };

    // Registers every client, re-sending lost registrations up to kRegistrationAttempts times.
    RegistrationResult registerAll() {
        RegistrationResult result;
        const int64_t start = nowNs();
        std::vector<uint32_t> pending;
        for (size_t i = 0; i < clients_.size(); ++i) {
            pending.push_back(static_cast<uint32_t>(i));
        }
        for (int attempt = 1; attempt <= kRegistrationAttempts && !pending.empty(); ++attempt) {
            result.attempts = attempt;
            registrationRound(pending, &result);
            std::vector<uint32_t> left;
            for (uint32_t index : pending) {
                if (!clients_[index].registered) {
                    left.push_back(index);
                }
            }
            pending.swap(left);
        }
        // A late second answer to a re-sent registration carries the key that now counts;
        // take anything still on the way before the clients start sending.
        sleepNs(50'000'000);
        pollRegistrationAnswers(0, nullptr, &result);
        result.seconds = seconds(nowNs() - start);
        for (const Client& client : clients_) {
            result.registered += client.registered ? 1 : 0;
        }
        prepareEncryptedKeepalives();
        return result;
    }

    // One measured slice: a short warm-up, then `measuredSeconds` of requests with `window`
    // in flight, sent `burst` at a time per client.
    PhaseResult runSlice(Payload payload, Answer answer, pid_t target, int window, int burst,
                         double measuredSeconds) {
        members_.clear();
        for (size_t i = 0; i < clients_.size(); ++i) {
            if (clients_[i].keyed == (payload == Payload::Encrypted)) {
                members_.push_back(static_cast<uint32_t>(i));
            }
        }
        cursor_ = 0;
        inFlight_ = 0;
        PhaseResult result;
        const int64_t start = nowNs();
        const int64_t measureFrom = start + static_cast<int64_t>(kWarmupSeconds * 1e9);
        const int64_t end = measureFrom + static_cast<int64_t>(measuredSeconds * 1e9);
        bool measuring = false;
        int64_t measureStart = 0;
        double targetCpuStart = 0;
        double ownCpuStart = 0;
        MachineCpu machineStart;
        int64_t lastSweep = start;
        epoll_event events[kMaxEvents];
        int64_t now = start;
        // Bounded by time; the iteration cap is a safety net far above any real rate.
        for (uint64_t iteration = 0; iteration < 2'000'000'000ULL; ++iteration) {
            now = nowNs();
            if (!measuring && now >= measureFrom) {
                measuring = true;
                measureStart = now;
                result.answers = 0;
                targetCpuStart = processCpuSeconds(target);
                ownCpuStart = ownCpuSeconds();
                machineStart = machineCpu();
            }
            if (now >= end) {
                break;
            }
            if (now - lastSweep >= kSweepPeriodNs) {
                result.timedOut += expireRequests(now);
                lastSweep = now;
            }
            refill(payload, window, burst, now, &result);
            const int ready = epoll_wait(epoll_, events, kMaxEvents, 5);
            for (int e = 0; e < ready; ++e) {
                receiveAnswers(clients_[events[e].data.u32], payload, answer, &result);
            }
        }
        result.seconds = seconds(now - measureStart);
        result.targetCpu = processCpuSeconds(target) - targetCpuStart;
        result.generatorCpu = ownCpuSeconds() - ownCpuStart;
        const MachineCpu machineEnd = machineCpu();
        result.otherCpu = std::max(
            0.0, machineEnd.tasks - machineStart.tasks - result.targetCpu - result.generatorCpu);
        result.peerCore = machineEnd.peerCore - machineStart.peerCore;
        result.generatorCore = machineEnd.generatorCore - machineStart.generatorCore;
        finishPhase(&result);
        return result;
    }

    const std::vector<Client>& clients() const { return clients_; }

  private:
    void registrationRound(const std::vector<uint32_t>& pending, RegistrationResult* result) {
        size_t next = 0;
        int inFlight = 0;
        std::vector<uint32_t> waiting;  // in send order, so the oldest is at the front
        size_t oldest = 0;
        const int64_t limit = nowNs() + kRegistrationPhaseLimitNs;
        while ((next < pending.size() || inFlight > 0) && nowNs() < limit) {
            while (next < pending.size() && inFlight < kRegistrationWindow) {
                Client& client = clients_[pending[next++]];
                if (send(client.fd, client.registration, client.registrationLength, 0) < 0) {
                    continue;  // counts as lost; the next round sends it again
                }
                ++result->sent;
                client.outstanding = 1;
                client.sentAt = nowNs();
                waiting.push_back(static_cast<uint32_t>(&client - clients_.data()));
                ++inFlight;
            }
            pollRegistrationAnswers(5, &inFlight, result);
            const int64_t now = nowNs();
            while (oldest < waiting.size()) {
                Client& client = clients_[waiting[oldest]];
                if (client.outstanding > 0 && now - client.sentAt < kRegistrationTimeoutNs) {
                    break;
                }
                if (client.outstanding > 0) {
                    client.outstanding = 0;  // lost; retried in the next round
                    --inFlight;
                }
                ++oldest;
            }
        }
        for (uint32_t index : waiting) {
            clients_[index].outstanding = 0;
        }
    }

    void pollRegistrationAnswers(int timeoutMs, int* inFlight, RegistrationResult* result) {
        epoll_event events[kMaxEvents];
        uint8_t buffer[gd::kMaxDatagramSize];
        const int ready = epoll_wait(epoll_, events, kMaxEvents, timeoutMs);
        for (int e = 0; e < ready; ++e) {
            Client& client = clients_[events[e].data.u32];
            for (int read = 0; read < kMaxReadsPerEvent; ++read) {
                const ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0) {
                    break;
                }
                bool good = false;
                if (client.keyed && static_cast<size_t>(n) == gd::kAcceptTlsSize &&
                    buffer[0] == TAMBLO_MT_ACCEPTTLS) {
                    // Each answer carries a fresh server key; the newest one is the one held.
                    good = cryptoSetRemoteKey(client.crypto.get(), buffer + 1);
                    if (!good) {
                        ++result->badKeys;
                    }
                } else if (!client.keyed && n == 1 && buffer[0] == TAMBLO_MT_ACCEPT) {
                    good = true;
                }
                if (good) {
                    client.registered = true;
                }
                if (client.outstanding > 0) {
                    client.outstanding = 0;
                    if (inFlight != nullptr) {
                        --*inFlight;
                    }
                }
            }
        }
    }

    // The generator's cost is not what is measured: every keyed client's envelope is made
    // once, with its own vector, and sent again and again.
    void prepareEncryptedKeepalives() {
        for (Client& client : clients_) {
            if (!client.keyed || !client.registered) {
                continue;
            }
            uint32_t length = 0;
            client.encryptedKeepalive[0] = TAMBLO_MT_ENCRYPTED;
            static_assert(1 + cryptoSizeWithPadding(gd::kKeepaliveMinSize) <= kMaxPayload);
            if (cryptoProcessBuf(client.crypto.get(), CryptoEncrypt, client.plainKeepalive,
                                 sizeof client.plainKeepalive, client.encryptedKeepalive + 1,
                                 &length) == nullptr) {
                die("cannot encrypt a keepalive");
            }
            client.encryptedLength = static_cast<uint8_t>(1 + length);
        }
    }

    static bool isExpectedAnswer(Answer answer, const Client& client, Payload payload,
                                 const uint8_t* data, size_t length) {
        if (answer == Answer::KeepaliveResponse) {
            return length == 1 && data[0] == TAMBLO_MT_KEEPALIVERESP;
        }
        if (payload == Payload::Plain) {
            return length == sizeof client.plainKeepalive &&
                   std::memcmp(data, client.plainKeepalive, length) == 0;
        }
        return length == client.encryptedLength &&
               std::memcmp(data, client.encryptedKeepalive, length) == 0;
    }

    // Sends bursts from the next idle clients in round robin until `window` requests are in
    // flight. One sendmmsg per client: the server still gets one datagram per request.
    void refill(Payload payload, int window, int burst, int64_t now, PhaseResult* result) {
        const size_t count = members_.size();
        size_t skipped = 0;
        while (inFlight_ + burst <= window && skipped < count) {
            Client& client = clients_[members_[cursor_]];
            cursor_ = (cursor_ + 1) % count;
            if (client.outstanding > 0 || !client.registered) {
                ++skipped;
                continue;
            }
            sendData_.iov_base =
                payload == Payload::Plain ? client.plainKeepalive : client.encryptedKeepalive;
            sendData_.iov_len =
                payload == Payload::Plain ? sizeof client.plainKeepalive : client.encryptedLength;
            const int sent = sendmmsg(client.fd, sendMessages_, static_cast<unsigned>(burst), 0);
            if (sent <= 0) {
                ++result->sendErrors;
                return;  // try again after the next wait
            }
            result->sent += static_cast<uint64_t>(sent);
            client.outstanding = sent;
            client.sentAt = now;
            inFlight_ += sent;
        }
    }

    // Takes every answer waiting on one client's socket.
    void receiveAnswers(Client& client, Payload payload, Answer answer, PhaseResult* result) {
        for (int read = 0; read < kMaxReadsPerEvent; ++read) {
            mmsghdr* const messages = receiveMessages_;
            const int n = recvmmsg(client.fd, messages, kMaxBurst, MSG_DONTWAIT, nullptr);
            if (n <= 0) {
                return;  // EAGAIN, or a refused earlier send reported here
            }
            for (int m = 0; m < n; ++m) {
                const bool valid = (messages[m].msg_hdr.msg_flags & MSG_TRUNC) == 0 &&
                                   isExpectedAnswer(answer, client, payload, receiveBuffers_[m],
                                                    messages[m].msg_len);
                if (client.outstanding == 0) {
                    ++result->late;
                    continue;
                }
                --client.outstanding;
                --inFlight_;
                if (valid) {
                    ++result->answers;
                } else {
                    ++result->wrong;
                }
            }
            if (n < kMaxBurst) {
                return;
            }
        }
    }

    // Gives up requests older than the timeout so that lost datagrams do not shrink the window.
    uint64_t expireRequests(int64_t now) {
        uint64_t expired = 0;
        for (uint32_t index : members_) {
            Client& client = clients_[index];
            if (client.outstanding > 0 && now - client.sentAt >= kRequestTimeoutNs) {
                expired += static_cast<uint64_t>(client.outstanding);
                inFlight_ -= client.outstanding;
                client.outstanding = 0;
            }
        }
        return expired;
    }

    // Lets the last answers arrive (they are not counted), then forgets what is left.
    void finishPhase(PhaseResult* result) {
        epoll_event events[kMaxEvents];
        uint8_t buffer[gd::kMaxDatagramSize];
        const int64_t deadline = nowNs() + kDrainNs;
        while (inFlight_ > 0 && nowNs() < deadline) {
            const int ready = epoll_wait(epoll_, events, kMaxEvents, 5);
            for (int e = 0; e < ready; ++e) {
                Client& client = clients_[events[e].data.u32];
                for (int read = 0;
                     read < kMaxBurst && recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
                     ++read) {
                    if (client.outstanding > 0) {
                        --client.outstanding;
                        --inFlight_;
                    }
                }
            }
        }
        for (uint32_t index : members_) {
            result->timedOut += static_cast<uint64_t>(clients_[index].outstanding);
            clients_[index].outstanding = 0;
        }
        inFlight_ = 0;
        drainSockets();
    }

    void drainSockets() {
        uint8_t buffer[gd::kMaxDatagramSize];
        for (Client& client : clients_) {
            for (int read = 0; read < 64; ++read) {
                if (recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT) < 0) {
                    break;
                }
            }
        }
    }

    static constexpr size_t kAnswerRoom = 64;  // more than any right answer: longer ones are wrong

    std::vector<Client> clients_;
    int epoll_ = -1;
    iovec sendData_{};
    mmsghdr sendMessages_[kMaxBurst];
    uint8_t receiveBuffers_[kMaxBurst][kAnswerRoom];
    iovec receiveData_[kMaxBurst];
    mmsghdr receiveMessages_[kMaxBurst];
    std::vector<uint32_t> members_;
    size_t cursor_ = 0;
    int inFlight_ = 0;
};

// ---- report ---------------------------------------------------------------------------------

double mib(long kib) {
    return static_cast<double>(kib) / 1024.0;
}

double percentOf(double part, double whole) {
    return whole > 0 ? 100.0 * part / whole : 0;
}

// The median over the rounds of (this slice's rate / the echo slice's rate of the same round):
// slices of one round lie a few seconds apart, so passing load on the machine mostly cancels.
double medianRoundRatio(const PhaseResult& result, const PhaseResult& echo) {
    std::vector<double> ratios;
    for (size_t i = 0; i < result.sliceRates.size() && i < echo.sliceRates.size(); ++i) {
        if (echo.sliceRates[i] > 0) {
            ratios.push_back(result.sliceRates[i] / echo.sliceRates[i]);
        }
    }
    if (ratios.empty()) {
        return 0;
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t middle = ratios.size() / 2;
    return ratios.size() % 2 == 1 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
}

void printRates(const char* name, const PhaseResult& result, const PhaseResult& echo) {
    std::printf("  %-20s %10.0f %7.1f %% %7.1f %% %10.0f %7.1f %% %10" PRIu64 " %7" PRIu64
                " %6" PRIu64 "\n",
                name, result.rate(), percentOf(result.rate(), echo.rate()),
                100.0 * medianRoundRatio(result, echo), result.bestSliceRate,
                percentOf(result.bestSliceRate, echo.bestSliceRate), result.sent, result.timedOut,
                result.wrong);
}

// Peer core time per answer in microseconds: what one answer costs the answering side,
// whichever side limited the rate.
double peerCostUs(const PhaseResult& result) {
    return result.answers > 0 ? 1e6 * result.peerCore / static_cast<double>(result.answers) : 0;
}

void printCpu(const char* name, const PhaseResult& result, const PhaseResult& echo, bool pinned) {
    std::printf(
        "  %-20s %8.0f %% %8.0f %% %8.0f %%", name, percentOf(result.targetCpu, result.seconds),
        percentOf(result.generatorCpu, result.seconds), percentOf(result.otherCpu, result.seconds));
    if (pinned) {
        std::printf(" %9.0f %% %9.0f %% %10.2f %9.1f %%",
                    percentOf(result.peerCore, result.seconds),
                    percentOf(result.generatorCore, result.seconds), peerCostUs(result),
                    percentOf(peerCostUs(echo), peerCostUs(result)));
    }
    std::printf("\n");
}

// Share of all CPUs that processes used over a short look before the run starts.
double backgroundLoad() {
    const MachineCpu before = machineCpu();
    sleepNs(500'000'000);
    const MachineCpu after = machineCpu();
    return percentOf(after.tasks - before.tasks, after.total - before.total);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = parseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit(options.clients + 64);

    const bool pin =
        options.pin && usableCpus() >= 2 && cpuUsable(kServerCpu) && cpuUsable(kGeneratorCpu);
    const double sliceSeconds = options.phaseSeconds / options.slices;
    std::printf(
        "gateway keepalive benchmark: %d clients (%d plain, %d keyed), window %d in "
        "bursts of %d per client, loopback\n",
        options.clients, (options.clients + 1) / 2, options.clients / 2, options.window,
        options.burst);
    std::printf(
        "each kind of traffic runs %.1f s in total: %d round(s) of echo, plain and "
        "encrypted slices of %.2f s (plus %.1f s warm-up each), order rotating\n",
        options.phaseSeconds, options.slices, sliceSeconds, kWarmupSeconds);
    if (pin) {
        pinToCpu(0, kGeneratorCpu);
        std::printf("pinning: server and echo process on CPU %d, generator on CPU %d\n", kServerCpu,
                    kGeneratorCpu);
    } else {
        std::printf("pinning: none (%s)\n",
                    options.pin ? "fewer than two usable CPUs" : "--no-pin");
    }
    const double load = backgroundLoad();
    std::printf("other load before the start: %.0f %% of all CPUs%s\n", load,
                load > 10 ? " -- WARNING: the machine is busy, figures will be noisy" : "");

    ServerProcess server(options, pin);
    server.start();
    EchoProcess echo;
    echo.start(pin);
    std::printf("server: %s (pid %d, gateway port %u); echo process pid %d, port %u\n",
                options.serverPath.c_str(), static_cast<int>(server.pid()), server.gatewayPort(),
                static_cast<int>(echo.pid()), echo.port());
    const long rssIdle = rssKiB(server.pid());

    Generator generator(options.clients);
    generator.createClients();
    generator.connectClients(server.gatewayPort(), false);
    const Generator::RegistrationResult registration = generator.registerAll();
    const long rssRegistered = rssKiB(server.pid());
    std::printf("registration: %d of %d clients answered in %.2f s (%" PRIu64
                " datagrams, %d round(s), %.0f registrations/s)%s\n",
                registration.registered, options.clients, registration.seconds, registration.sent,
                registration.attempts,
                registration.seconds > 0 ? registration.registered / registration.seconds : 0,
                registration.badKeys > 0 ? ", SOME SERVER KEYS REFUSED" : "");
    std::printf("server RSS: %.1f MiB idle, %.1f MiB with %d clients registered\n", mib(rssIdle),
                mib(rssRegistered), registration.registered);
    bool ok = registration.registered == options.clients && registration.badKeys == 0;

    // The three kinds alternate; the order rotates so that none always follows another.
    enum Kind { kEcho, kPlain, kEncrypted, kKinds };
    PhaseResult totals[kKinds];
    uint16_t plainTarget = server.gatewayPort();
    for (int round = 0; round < options.slices; ++round) {
        for (int step = 0; step < kKinds; ++step) {
            const int kind = (round + step) % kKinds;
            const uint16_t wanted = kind == kEcho ? echo.port() : server.gatewayPort();
            if (kind != kEncrypted && wanted != plainTarget) {
                generator.connectClients(wanted, true);
                plainTarget = wanted;
            }
            const Payload payload = kind == kEncrypted ? Payload::Encrypted : Payload::Plain;
            const Answer answer = kind == kEcho ? Answer::Echo : Answer::KeepaliveResponse;
            const pid_t peer = kind == kEcho ? echo.pid() : server.pid();
            totals[kind].add(generator.runSlice(payload, answer, peer, options.window,
                                                options.burst, sliceSeconds));
        }
    }
    const bool echoStopped = echo.stop();
    const long rssEnd = rssKiB(server.pid());

    const PhaseResult& echoTotal = totals[kEcho];
    std::printf("\n  %-20s %10s %9s %9s %10s %9s %10s %7s %6s\n", "traffic", "answers/s", "vs echo",
                "median", "best slice", "vs echo", "sent", "lost", "wrong");
    printRates("UDP echo baseline", echoTotal, echoTotal);
    printRates("plain keepalive", totals[kPlain], echoTotal);
    printRates("encrypted keepalive", totals[kEncrypted], echoTotal);

    std::printf("\n  %-20s %10s %10s %10s", "CPU while measuring", "peer proc", "gen proc",
                "other");
    if (pin) {
        std::printf(" %11s %11s %10s %11s", "peer core", "gen core", "us/answer", "efficiency");
    }
    std::printf("\n");
    printCpu("UDP echo baseline", echoTotal, echoTotal, pin);
    printCpu("plain keepalive", totals[kPlain], echoTotal, pin);
    printCpu("encrypted keepalive", totals[kEncrypted], echoTotal, pin);

    const double plainRatio = echoTotal.rate() > 0 ? totals[kPlain].rate() / echoTotal.rate() : 0;
    const double encryptedRatio =
        echoTotal.rate() > 0 ? totals[kEncrypted].rate() / echoTotal.rate() : 0;
    std::printf(
        "\n  plain / echo          %6.1f %%   (median of the rounds %.1f %%; target >= %.0f "
        "%%: %s)\n",
        100 * plainRatio, 100 * medianRoundRatio(totals[kPlain], echoTotal), 100 * kPlainTarget,
        plainRatio >= kPlainTarget ? "met" : "MISSED");
    std::printf("  encrypted / echo      %6.1f %%   (median of the rounds %.1f %%)\n",
                100 * encryptedRatio, 100 * medianRoundRatio(totals[kEncrypted], echoTotal));
    const bool rssMet = mib(rssRegistered) <= kRssTargetMiB && mib(rssEnd) <= kRssTargetMiB;
    std::printf(
        "  server RSS            %6.1f MiB with %d clients registered, %.1f MiB at the "
        "end (target <= %.0f MiB: %s)\n",
        mib(rssRegistered), registration.registered, mib(rssEnd), kRssTargetMiB,
        rssMet ? "met" : "MISSED");
    std::printf(
        "\n  answers/s: valid answers per measured second over all slices; median: of the\n"
        "    per-round ratios to the echo slice of the same round; best slice: the fastest\n"
        "    single slice. lost: unanswered after %.0f ms (their slots were refilled).\n"
        "  CPU, as a share of one core over the measured time: peer proc / gen proc: the echo\n"
        "    process or the server / this generator (process time, softirq excluded); other:\n"
        "    all other processes.",
        static_cast<double>(kRequestTimeoutNs) / 1e6);
    if (pin) {
        std::printf(
            " peer core / gen core: busy time of CPU %d / CPU %d,\n"
            "    softirq included (on loopback the sending core does the receive path).\n"
            "    us/answer: peer core time per answer; efficiency: echo's us/answer divided by\n"
            "    this one (the ratio as it would be if the peer alone set the pace).\n",
            kServerCpu, kGeneratorCpu);
    } else {
        std::printf("\n");
    }

    const std::vector<std::string> logLines = server.unexpectedLogLines();
    const int exitStatus = server.stop();
    std::printf("\nserver stopped with SIGTERM: exit status %d (%s); echo process %s\n", exitStatus,
                exitStatus == 0 ? "ok" : "FAILED",
                echoStopped ? "stopped" : "did NOT stop as expected");
    if (!logLines.empty()) {
        std::printf("server logged %zu unexpected line(s), first ones:\n", logLines.size());
        for (size_t i = 0; i < logLines.size() && i < 5; ++i) {
            std::printf("  %s\n", logLines[i].c_str());
        }
    }
    ok = ok && exitStatus == 0 && echoStopped && echoTotal.answers > 0 &&
         totals[kPlain].answers > 0 && totals[kEncrypted].answers > 0;
    if (!ok) {
        std::printf("gateway-keepalive: FAILED (see above)\n");
        return 1;
    }
    return 0;
}
