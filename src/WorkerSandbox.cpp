// The proxy workers' system call allow-list, resource limits and user switch.
#include "WorkerSandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "CommandLine.h"
#include "FileDescriptor.h"
#include "LogRedaction.h"
#include "Logging.h"

namespace {

// What a proxy worker calls from the moment it is confined to its end, found with
// `strace -ff` over the relay tests (plain and encrypted, uploads, downloads, cached and
// REST lookups, failures and every way a worker ends):
constexpr const char* kProxyWorkerCalls[] = {
    // pipes to the server, the client socket, the log file (whose position the rolling
    // appenders ask for); a spare worker receives its client's socket with recvmsg
    "read", "write", "writev", "recvfrom", "recvmsg", "sendmsg", "close", "fcntl", "lseek",
    // the configuration lookup (the socket itself: AF_INET only, below)
    "setsockopt", "connect", "sendto",
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
constexpr const char* kRefusedFileCalls[] = {"open",     "openat",    "creat",  "rename",
                                             "renameat", "renameat2", "unlink", "unlinkat",
                                             "stat",     "lstat",     "newfstatat", "access",
                                             "faccessat", "faccessat2", "mkdir", "mkdirat"};

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
    // Sockets only of the kind the configuration lookup opens.
    const scmp_arg_cmp inetOnly{0, SCMP_CMP_EQ, AF_INET, 0};
    if (seccomp_rule_add(context.get(), SCMP_ACT_ALLOW, SCMP_SYS(socket), 1, inetOnly) != 0) {
        throw std::runtime_error("could not allow system call socket in the workers' filter");
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
      memoryHeadroom_(uint64_t{settings.workerMemoryMiB} << 20),
      openFiles_(settings.workerOpenFiles) {
    // The crypto library reads its configuration and loads its provider on first use; done
    // here, workers inherit it ready and need not open files for their session tags.
    tamblo::logging::sessionTag({});
    if (::geteuid() != 0) {
        return;
    }
    const passwd* user = ::getpwnam(settings.workerUser.c_str());
    if (user == nullptr) {
        throw std::runtime_error("worker user " + settings.workerUser + " does not exist");
    }
    if (user->pw_uid == 0) {
        throw std::runtime_error("worker user " + settings.workerUser + " is root");
    }
    uid_ = user->pw_uid;
    gid_ = user->pw_gid;
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
    if (uid_ && (::setgroups(0, nullptr) != 0 || ::setresgid(gid_, gid_, gid_) != 0 ||
                 ::setresuid(*uid_, *uid_, *uid_) != 0)) {
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
