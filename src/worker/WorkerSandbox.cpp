// The proxy workers' system call allow-list, resource limits and user switch.
#include "worker/WorkerSandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>

#include "common/FileDescriptor.h"
#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "server/CommandLine.h"

namespace {

// What a proxy worker calls from the moment it is confined to its end, found with
// `strace -ff` over the relay tests (plain and encrypted, uploads, downloads, cached and
// REST lookups, failures and every way a worker ends):
constexpr const char* kProxyWorkerCalls[] = {
    // pipes to the server, the client socket, the log file (whose position the rolling
    // appenders ask for); a spare worker receives its client's socket with recvmsg (fcntl
    // and sendto: checked below); a forwarding worker ends each direction with shutdown
    "read", "write", "writev", "recvfrom", "recvmsg", "sendmsg", "close", "lseek", "shutdown",
    // the event loop; the event library asks for the kernel version and whether the process
    // runs with changed ids
    "epoll_create1", "epoll_ctl", "epoll_wait", "uname", "getuid", "geteuid", "getgid", "getegid",
    "clock_gettime", "gettimeofday",
    // memory (realloc of large blocks, returning freed pages)
    "brk", "mmap", "munmap", "mremap", "madvise",
    // locks of the logging library under contention; return from a signal handler
    "futex", "rt_sigreturn",
    // initial sequence numbers of the tunnelled connections
    "getrandom",
    // the end
    "exit_group"};

// Refused with EACCES instead of killing the worker: a rolling log appender that rolls over
// inside a worker renames and opens files; its rollover fails there (the worker goes on, its
// lines go to the file it has), as it would for the workers' user anyway.
constexpr const char* kRefusedFileCalls[] = {
    "open", "openat", "creat",      "rename", "renameat",  "renameat2",  "unlink", "unlinkat",
    "stat", "lstat",  "newfstatat", "access", "faccessat", "faccessat2", "mkdir",  "mkdirat"};

#ifdef TAMBLO_SANITIZER_RUNTIME
// Builds with AddressSanitizer and UndefinedBehaviorSanitizer only: what their runtimes call
// inside a confined worker, found with `strace -ff` over the relay tests of such a build and
// over a worker that makes each kind of report. The checks of dynamic types test whether
// memory is readable through a pipe; the alternate signal stack is released at the end; a
// report names the process and asks whether standard error is a terminal (for colours).
constexpr const char* kSanitizerRuntimeCalls[] = {"pipe2", "sigaltstack", "getpid"};
// A report looks up the program's path, which a worker may not: it names no module then.
constexpr const char* kSanitizerRefusedCalls[] = {"readlink"};

void admitSanitizerRuntime(scmp_filter_ctx context) {
    const auto add = [context](const char* name, uint32_t action) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR || seccomp_rule_add(context, action, number, 0) != 0) {
            throw std::runtime_error(std::string("could not add system call ") + name +
                                     " to the workers' filter");
        }
    };
    for (const char* name : kSanitizerRuntimeCalls) {
        add(name, SCMP_ACT_ALLOW);
    }
    for (const char* name : kSanitizerRefusedCalls) {
        add(name, SCMP_ACT_ERRNO(EACCES));
    }
    const scmp_arg_cmp terminalQuery{1, SCMP_CMP_EQ, TCGETS, 0};
    if (seccomp_rule_add(context, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, terminalQuery) != 0) {
        throw std::runtime_error("could not allow system call ioctl in the workers' filter");
    }
}
#endif

// Recording workers run the media framework: more room than a relay needs.
constexpr uint64_t kRecordingMemoryHeadroom = uint64_t{1} << 30;
constexpr uint64_t kRecordingOpenFiles = 1024;

std::vector<sock_filter> buildFilter() {
    std::unique_ptr<void, void (*)(scmp_filter_ctx)> context(seccomp_init(SCMP_ACT_KILL_PROCESS),
                                                             seccomp_release);
    if (!context) {
        throw std::runtime_error("could not create the workers' system call filter");
    }
    // A binary tree over the call numbers: the kernel checks (and caches the answer for) every
    // call number when a worker loads the filter, which is part of the cost of each fork.
    seccomp_attr_set(context.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const char* name : kProxyWorkerCalls) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR ||
            seccomp_rule_add(context.get(), SCMP_ACT_ALLOW, number, 0) != 0) {
            throw std::runtime_error(std::string("could not allow system call ") + name +
                                     " in the workers' filter");
        }
    }
#ifdef TAMBLO_SANITIZER_RUNTIME
    admitSanitizerRuntime(context.get());
#endif
    for (const char* name : kRefusedFileCalls) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR ||
            seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(EACCES), number, 0) != 0) {
            throw std::runtime_error(std::string("could not refuse system call ") + name +
                                     " in the workers' filter");
        }
    }
    // No socket of the worker's own (socket and connect are not on the list): the parent
    // hands it every socket it needs. Sends only on them, to the peer they are connected to.
    const scmp_arg_cmp noAddress{4, SCMP_CMP_EQ, 0, 0};
    // Descriptor and status flags, but no owner, no signal and no O_ASYNC: nothing that would
    // have the kernel signal another process (the server) for the worker.
    const scmp_arg_cmp noAsync{2, SCMP_CMP_MASKED_EQ, O_ASYNC, 0};
    bool added =
        seccomp_rule_add(context.get(), SCMP_ACT_ALLOW, SCMP_SYS(sendto), 1, noAddress) == 0 &&
        seccomp_rule_add(context.get(), SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 2,
                         scmp_arg_cmp{1, SCMP_CMP_EQ, F_SETFL, 0}, noAsync) == 0;
    for (const scmp_datum_t command : {F_GETFD, F_SETFD, F_GETFL}) {
        added = added && seccomp_rule_add(context.get(), SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1,
                                          scmp_arg_cmp{1, SCMP_CMP_EQ, command, 0}) == 0;
    }
    for (const scmp_datum_t command : {F_SETOWN, F_SETOWN_EX, F_SETSIG}) {
        added = added && seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(fcntl), 1,
                                          scmp_arg_cmp{1, SCMP_CMP_EQ, command, 0}) == 0;
    }
    added = added && seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(fcntl), 2,
                                      scmp_arg_cmp{1, SCMP_CMP_EQ, F_SETFL, 0},
                                      scmp_arg_cmp{2, SCMP_CMP_MASKED_EQ, O_ASYNC, O_ASYNC}) == 0;
    if (!added) {
        throw std::runtime_error("could not add the socket and fcntl rules to the workers' filter");
    }
    // The program as the kernel takes it, exported once through a pipe; each worker then
    // loads it with one call instead of compiling the rules again.
    int ends[2];
    if (::pipe(ends) != 0) {
        throw std::runtime_error("could not export the workers' system call filter");
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    if (seccomp_export_bpf(context.get(), writeEnd.get()) != 0) {
        throw std::runtime_error("could not export the workers' system call filter");
    }
    writeEnd.reset();
    std::vector<sock_filter> program;
    sock_filter instruction;
    while (::read(readEnd.get(), &instruction, sizeof instruction) ==
           static_cast<ssize_t>(sizeof instruction)) {
        program.push_back(instruction);
    }
    if (program.empty()) {
        throw std::runtime_error("the workers' system call filter is empty");
    }
    return program;
}

// Landlock, as the kernel's interface defines it (the system's headers may predate the
// network and scope parts). The ruleset's attribute grew with the ABI; an older kernel
// takes the prefix its ABI knows:
//
//   landlock_ruleset_attr             landlock_net_port_attr
//   +0  u64 handled_access_fs (1)     +0  u64 allowed_access
//   +8  u64 handled_access_net (4)    +8  u64 port
//   +16 u64 scoped (6)
struct LandlockRulesetAttr {
    uint64_t handledAccessFs;
    uint64_t handledAccessNet;
    uint64_t scoped;
};
struct LandlockNetPortAttr {
    uint64_t allowedAccess;
    uint64_t port;
};
static_assert(sizeof(LandlockRulesetAttr) == 24 && sizeof(LandlockNetPortAttr) == 16);
constexpr size_t kRulesetSizeAbi1 = 8;
constexpr size_t kRulesetSizeAbi4 = 16;
constexpr size_t kRulesetSizeAbi6 = 24;
constexpr uint32_t kLandlockRuleNetPort = 2;
constexpr uint64_t kLandlockAccessFsTruncate = 1ULL << 14;    // ABI 3
constexpr uint64_t kLandlockAccessFsIoctlDev = 1ULL << 15;    // ABI 5
constexpr uint64_t kLandlockAccessNetBindTcp = 1ULL << 0;     // ABI 4
constexpr uint64_t kLandlockAccessNetConnectTcp = 1ULL << 1;  // ABI 4
constexpr uint64_t kLandlockScopeAbstractUnix = 1ULL << 0;    // ABI 6
constexpr uint64_t kLandlockScopeSignal = 1ULL << 1;          // ABI 6

// Where a recording worker's framework may still read (and map for execution) files: its
// libraries and modules loaded on demand, and the loader's cache that finds them.
constexpr const char* kRecordingReadablePaths[] = {"/usr/lib", "/lib", "/usr/share",
                                                   "/etc/ld.so.cache"};

int landlockAbi() {
    const long abi =
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

// The recording worker's Landlock domain: nothing written or made anywhere, files read only
// beneath kRecordingReadablePaths, TCP connections only to localPort and no TCP listener
// (ABI 4), no signal to a process outside the domain, the server included (ABI 6).
bool restrictRecordingAccess(int abi, uint16_t localPort) {
    uint64_t fs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // every right of ABI 1
    if (abi >= 2) {
        fs |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (abi >= 3) {
        fs |= kLandlockAccessFsTruncate;
    }
    if (abi >= 5) {
        fs |= kLandlockAccessFsIoctlDev;
    }
    LandlockRulesetAttr attributes{fs, 0, 0};
    size_t size = kRulesetSizeAbi1;
    if (abi >= 4) {
        attributes.handledAccessNet = kLandlockAccessNetBindTcp | kLandlockAccessNetConnectTcp;
        size = kRulesetSizeAbi4;
    }
    if (abi >= 6) {
        attributes.scoped = kLandlockScopeAbstractUnix | kLandlockScopeSignal;
        size = kRulesetSizeAbi6;
    }
    UniqueFd ruleset(
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0)));
    if (!ruleset.valid()) {
        return false;
    }
    constexpr uint64_t kRead =
        LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_EXECUTE;
    for (const char* path : kRecordingReadablePaths) {
        UniqueFd beneath(::open(path, O_PATH | O_CLOEXEC));
        if (!beneath.valid()) {
            continue;  // not on this system
        }
        struct stat info;
        landlock_path_beneath_attr rule{};
        // A file (not a folder) takes only the rights that files have.
        rule.allowed_access = ::fstat(beneath.get(), &info) == 0 && S_ISDIR(info.st_mode)
                                  ? kRead
                                  : LANDLOCK_ACCESS_FS_READ_FILE;
        rule.parent_fd = beneath.get();
        if (::syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) !=
            0) {
            return false;
        }
    }
    if (abi >= 4) {
        LandlockNetPortAttr connect{kLandlockAccessNetConnectTcp, localPort};
        if (::syscall(SYS_landlock_add_rule, ruleset.get(), kLandlockRuleNetPort, &connect, 0) !=
            0) {
            return false;
        }
    }
    return ::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

// What a recording worker calls once it is confined, its media framework's threads included,
// found with `strace -f` over the MJPEG and RTSP recordings of the integration tests (every
// way they end, RTP and RTCP over channels too):
constexpr const char* kRecordingWorkerCalls[] = {
    // descriptors: the pipes, the local connections, the recording file, the log file
    "read", "readv", "pread64", "write", "writev", "pwrite64", "close", "lseek", "dup", "dup2",
    "dup3", "pipe2", "eventfd2", "newfstatat", "fstat", "statx",
    // the local relay's sockets (socket itself: checked below)
    "connect", "accept", "accept4", "bind", "getsockname", "getpeername", "getsockopt",
    "setsockopt", "shutdown", "sendto", "recvfrom", "sendmsg", "recvmsg",
    // waiting: the worker's loop and the frameworks' threads
    "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "poll", "ppoll", "futex",
    "clock_gettime", "clock_getres", "clock_nanosleep", "nanosleep", "gettimeofday",
    // memory
    "brk", "mmap", "mprotect", "munmap", "mremap", "madvise",
    // threads (clone: threads only, below) and signals within the process
    "set_robust_list", "rseq", "gettid", "getpid", "sched_getaffinity", "sched_yield",
    "sched_getattr", "sched_setattr", "rt_sigprocmask", "rt_sigaction", "rt_sigreturn",
    "sigaltstack", "tgkill", "alarm", "wait4",
    // what the libraries ask about the system
    "uname", "getuid", "geteuid", "getgid", "getegid", "getrandom", "getrlimit",
    // the end
    "exit", "exit_group"};

// Refused with an error instead of killing the worker: the frameworks try them and go on
// without (a cache folder, a screen-saver helper spawned, terminal checks).
constexpr std::pair<const char*, int> kRecordingRefusedCalls[] = {
    {"mkdir", EACCES},  {"mkdirat", EACCES},  {"unlink", EACCES},    {"unlinkat", EACCES},
    {"rename", EACCES}, {"renameat", EACCES}, {"renameat2", EACCES}, {"ioctl", ENOTTY},
    {"kill", EPERM},    {"clone3", ENOSYS},  // glibc then uses clone, whose flags are checked
};

void addRule(scmp_filter_ctx context, uint32_t action, const char* name,
             std::initializer_list<scmp_arg_cmp> checks = {}) {
    const int number = seccomp_syscall_resolve_name(name);
    if (number == __NR_SCMP_ERROR ||
        seccomp_rule_add_array(context, action, number, static_cast<unsigned>(checks.size()),
                               checks.begin()) != 0) {
        throw std::runtime_error(std::string("could not add system call ") + name +
                                 " to the recording workers' filter");
    }
}

// The recording workers' program. With Landlock (landlock true) file opens are left to it;
// without, only opens for reading pass.
std::vector<sock_filter> buildRecordingFilter(bool landlock) {
    std::unique_ptr<void, void (*)(scmp_filter_ctx)> context(seccomp_init(SCMP_ACT_KILL_PROCESS),
                                                             seccomp_release);
    if (!context) {
        throw std::runtime_error("could not create the recording workers' system call filter");
    }
    seccomp_attr_set(context.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2);
    scmp_filter_ctx c = context.get();
    for (const char* name : kRecordingWorkerCalls) {
        addRule(c, SCMP_ACT_ALLOW, name);
    }
    for (const auto& [name, error] : kRecordingRefusedCalls) {
        addRule(c, SCMP_ACT_ERRNO(static_cast<uint32_t>(error)), name);
    }
    // Sockets: TCP and UDP over IPv4 only, as the local relay has them.
    constexpr uint64_t kTypeMask = 0xf;  // SOCK_NONBLOCK and SOCK_CLOEXEC aside
    for (const scmp_datum_t type : {SOCK_STREAM, SOCK_DGRAM}) {
        addRule(c, SCMP_ACT_ALLOW, "socket",
                {scmp_arg_cmp{0, SCMP_CMP_EQ, AF_INET, 0},
                 SCMP_A1(SCMP_CMP_MASKED_EQ, kTypeMask, type)});
    }
    addRule(c, SCMP_ACT_ERRNO(EAFNOSUPPORT), "socket", {scmp_arg_cmp{0, SCMP_CMP_NE, AF_INET, 0}});
    addRule(c, SCMP_ACT_ERRNO(EPROTONOSUPPORT), "socket",
            {scmp_arg_cmp{0, SCMP_CMP_EQ, AF_INET, 0},
             SCMP_A1(SCMP_CMP_MASKED_EQ, kTypeMask, SOCK_RAW)});
    // Threads, never processes.
    addRule(c, SCMP_ACT_ALLOW, "clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    addRule(c, SCMP_ACT_ERRNO(EPERM), "clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)});
    // fcntl: descriptor flags, status flags without O_ASYNC, duplicates; no owner or signal.
    for (const scmp_datum_t command : {F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC}) {
        addRule(c, SCMP_ACT_ALLOW, "fcntl", {scmp_arg_cmp{1, SCMP_CMP_EQ, command, 0}});
    }
    addRule(c, SCMP_ACT_ALLOW, "fcntl",
            {scmp_arg_cmp{1, SCMP_CMP_EQ, F_SETFL, 0}, SCMP_A2(SCMP_CMP_MASKED_EQ, O_ASYNC, 0)});
    // Thread names; the limits may be read, never set.
    addRule(c, SCMP_ACT_ALLOW, "prctl", {scmp_arg_cmp{0, SCMP_CMP_EQ, PR_SET_NAME, 0}});
    addRule(c, SCMP_ACT_ALLOW, "prctl", {scmp_arg_cmp{0, SCMP_CMP_EQ, PR_GET_NAME, 0}});
    addRule(c, SCMP_ACT_ALLOW, "prlimit64", {scmp_arg_cmp{2, SCMP_CMP_EQ, 0, 0}});
#ifdef TAMBLO_SANITIZER_RUNTIME
    // The sanitizers' other calls are on the list already (or refused: terminal checks); a
    // report looks up the program's path, which a recording worker may not either.
    addRule(c, SCMP_ACT_ERRNO(EACCES), "readlink");
#endif
    // Modules the framework loads on demand are opened for reading.
    constexpr uint64_t kWriting = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    if (landlock) {
        addRule(c, SCMP_ACT_ALLOW, "openat");
        addRule(c, SCMP_ACT_ALLOW, "open");
    } else {
        addRule(c, SCMP_ACT_ALLOW, "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, kWriting, 0)});
        addRule(c, SCMP_ACT_ALLOW, "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, kWriting, 0)});
        for (const uint64_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND}) {
            addRule(c, SCMP_ACT_ERRNO(EACCES), "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag)});
            addRule(c, SCMP_ACT_ERRNO(EACCES), "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag)});
        }
    }
    int ends[2];
    if (::pipe(ends) != 0) {
        throw std::runtime_error("could not export the recording workers' system call filter");
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    if (seccomp_export_bpf(c, writeEnd.get()) != 0) {
        throw std::runtime_error("could not export the recording workers' system call filter");
    }
    writeEnd.reset();
    std::vector<sock_filter> program;
    sock_filter instruction;
    while (::read(readEnd.get(), &instruction, sizeof instruction) ==
           static_cast<ssize_t>(sizeof instruction)) {
        program.push_back(instruction);
    }
    return program;
}

// The address space mapped now, from /proc/self/statm (first field, in pages).
uint64_t mappedBytes() {
    UniqueFd statm(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
    char text[128] = {};
    if (!statm.valid() || ::read(statm.get(), text, sizeof text - 1) <= 0) {
        return 0;
    }
    return std::strtoull(text, nullptr, 10) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool setLimit(int resource, uint64_t value) {
    const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    return ::setrlimit(resource, &limit) == 0;
}

bool limit(uint64_t memoryHeadroom, uint64_t openFiles) {
    const uint64_t mapped = mappedBytes();
    return mapped != 0 && setLimit(RLIMIT_AS, mapped + memoryHeadroom) &&
           setLimit(RLIMIT_NOFILE, openFiles) && setLimit(RLIMIT_CORE, 0);
}

}  // namespace

WorkerSandbox::WorkerSandbox(const ServerSettings& settings)
    : filter_(buildFilter()),
      landlockAbi_(landlockAbi()),
      recordingFilter_(buildRecordingFilter(landlockAbi_ > 0)),
      memoryHeadroom_(uint64_t{settings.workerMemoryMiB} << 20),
      openFiles_(settings.workerOpenFiles) {
    // The crypto library reads its configuration and loads its provider on first use; done
    // here, workers inherit it ready and need not open files for their session tags.
    tamblo::logging::sessionTag({});
}

const std::vector<const char*>& WorkerSandbox::allowedCalls() {
    static const std::vector<const char*> calls(std::begin(kProxyWorkerCalls),
                                                std::end(kProxyWorkerCalls));
    return calls;
}

bool WorkerSandbox::killedByFilter(int waitStatus) {
    return WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == SIGSYS;
}

void WorkerSandbox::reportKilledByFilter(pid_t pid, int waitStatus) {
    static log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);
    if (killedByFilter(waitStatus)) {
        // A system call outside the allow-list: a fault of the worker or an attack on it.
        LOG4CPLUS_WARN(logger,
                       "worker " << pid << " was killed for a forbidden system call (SIGSYS)");
    }
}

bool WorkerSandbox::limitResources() const {
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && limit(memoryHeadroom_, openFiles_);
}

bool WorkerSandbox::confineProxyWorker() const {
    if (!limitResources()) {
        return false;
    }
    sock_fprog program{static_cast<unsigned short>(filter_.size()),
                       const_cast<sock_filter*>(filter_.data())};
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

bool WorkerSandbox::confineRecordingWorker() const {
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           limit(kRecordingMemoryHeadroom, kRecordingOpenFiles);
}

bool WorkerSandbox::filterRecordingWorker(uint16_t localPort) const {
    if (landlockAbi_ > 0 && !restrictRecordingAccess(landlockAbi_, localPort)) {
        return false;
    }
    sock_fprog program{static_cast<unsigned short>(recordingFilter_.size()),
                       const_cast<sock_filter*>(recordingFilter_.data())};
    // Every thread that exists now is filtered too.
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program) ==
           0;
}
