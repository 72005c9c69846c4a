// The worker zygote: the server's side (start, ask, replace) and the zygote's own loop.
#include "worker/WorkerZygote.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "common/Capabilities.h"
#include "common/Logging.h"
#include "server/CommandLine.h"
#include "worker/WorkerSandbox.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_intake.h"

extern char** environ;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);

// The zygote finds its socket by this variable (and at this descriptor).
constexpr const char* kZygoteVariable = "TAMBLO_WORKER_ZYGOTE";
constexpr int kZygoteDescriptor = 3;
// Its name in ps and /proc (its command line names it too); its workers are tamblo-worker.
constexpr const char* kZygoteName = "tamblo-zygote";
// How long the server waits for an answer: a fresh zygote first loads its image.
constexpr int kAnswerMilliseconds = 5000;

// Test-only (kForbiddenCallTestVariable): a call no worker filter allows.
void forbiddenCall() {
    char* const arguments[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve(arguments[0], arguments, nullptr);
}

// The worker's standard streams point at /dev/null instead of being closed, so that no
// descriptor it opens later can become 0, 1 or 2 and receive stray library output.
void silenceStandardStreams() {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) {
        return;
    }
    for (int stream = 0; stream <= 2; ++stream) {
        ::dup2(null, stream);
    }
    if (null > 2) {
        ::close(null);
    }
}

double monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void closeAll(const std::vector<int>& descriptors) {
    for (const int descriptor : descriptors) {
        ::close(descriptor);
    }
}

// ---- the zygote ----

class Zygote {
  public:
    Zygote(int socket, const ServerSettings& settings, RecordingWorkerEntry recorder)
        : socket_(socket),
          settings_(settings),
          recorder_(recorder),
          sandbox_(settings),
          forbiddenCall_(std::getenv(kForbiddenCallTestVariable) != nullptr),
          soleThread_(becomeSoleThread()) {}

    // The workers' user and no capability, for the zygote and all it forks.
    bool giveUpPrivileges() {
        std::string user = "the server's user";
        const bool bounding = capabilities::clearBoundingSet();
        if (capabilities::maySwitchUser()) {
            const passwd* entry = ::getpwnam(settings_.workerUser.c_str());
            if (entry == nullptr || entry->pw_uid == 0) {
                LOG4CPLUS_ERROR(logger, "worker user "
                                            << settings_.workerUser
                                            << (entry == nullptr ? " does not exist" : " is root"));
                return false;
            }
            if (!capabilities::switchUser(entry->pw_uid, entry->pw_gid)) {
                LOG4CPLUS_ERROR(logger, "Could not switch the workers to user "
                                            << settings_.workerUser << ": "
                                            << std::strerror(errno));
                return false;
            }
            user = settings_.workerUser;
        }
        if (!capabilities::dropAll()) {
            LOG4CPLUS_ERROR(logger,
                            "Could not drop the workers' capabilities: " << std::strerror(errno));
            return false;
        }
        LOG4CPLUS_DEBUG(logger, "worker zygote " << ::getpid() << " ready: workers run as " << user
                                                 << " without capabilities"
                                                 << (bounding ? "" : " (bounding set kept)"));
        return true;
    }

    int run() {
        // The server waits for this before it goes on: from then on, every child of the
        // server but this zygote is a worker.
        const int32_t ready = 0;
        if (::send(socket_, &ready, sizeof ready, MSG_NOSIGNAL) != sizeof ready) {
            return 0;
        }
        for (;;) {
            uint8_t bytes[zygote_message::kMaxRequest];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * zygote_message::kDescriptors)];
            iovec vector{bytes, sizeof bytes};
            msghdr message{};
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t length = ::recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
            if (length < 0 && errno == EINTR) {
                continue;
            }
            if (length <= 0) {
                return 0;  // the server is gone or has replaced us
            }
            const std::vector<int> descriptors = receivedDescriptors(message);
            std::optional<ZygoteRequest> request;
            if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                descriptors.size() == zygote_message::kDescriptors) {
                request = zygote_message::decodeRequest(bytes, static_cast<size_t>(length));
            }
            const int32_t answer = request ? spawn(*request, descriptors) : -EINVAL;
            closeAll(descriptors);
            if (::send(socket_, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) {
                return 0;
            }
        }
    }

  private:
    static std::vector<int> receivedDescriptors(msghdr& message) {
        std::vector<int> descriptors;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
                continue;
            }
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int descriptor;
                std::memcpy(&descriptor, CMSG_DATA(c) + i * sizeof(int), sizeof descriptor);
                descriptors.push_back(descriptor);
            }
        }
        return descriptors;
    }

    // The worker becomes a child of the server. A proxy worker is cloned with CLONE_PARENT:
    // one copy of the zygote's address space, and the server is its parent from its first
    // moment. That clone runs none of the libraries' fork handlers, so it is taken only while
    // the zygote is a process of one thread (no other thread can hold a lock that the copy
    // would inherit) and not for recording workers, whose media libraries may rely on their
    // handlers. Otherwise a child forks the worker and exits, and the worker goes to the
    // server, the nearest subreaper above it: two copies of the address space.
    int32_t spawn(const ZygoteRequest& request, const std::vector<int>& descriptors) {
        if (request.kind == WorkerKind::Recording && recorder_ == nullptr) {
            return -ENOTSUP;  // an image without the media libraries
        }
        if (request.kind != WorkerKind::Recording && soleThread_) {
            return cloneWorker(request, descriptors);
        }
        return forkWorkerThroughChild(request, descriptors);
    }

    int32_t cloneWorker(const ZygoteRequest& request, const std::vector<int>& descriptors) {
        // No new stack: the child goes on from here on a copy of this one, as after fork().
        const long worker = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0);
        if (worker < 0) {
            return -errno;
        }
        if (worker == 0) {
            ::prctl(PR_SET_NAME, "tamblo-worker", 0, 0, 0);
            runWorker(request, descriptors);
        }
        return static_cast<int32_t>(worker);
    }

    int32_t forkWorkerThroughChild(const ZygoteRequest& request,
                                   const std::vector<int>& descriptors) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            return -errno;
        }
        const pid_t middle = ::fork();
        if (middle < 0) {
            const int error = errno;
            ::close(report[0]);
            ::close(report[1]);
            return -error;
        }
        if (middle == 0) {
            ::close(report[0]);
            // The worker has its name from its first moment as the server's child.
            ::prctl(PR_SET_NAME, "tamblo-worker", 0, 0, 0);
            const pid_t worker = ::fork();
            if (worker == 0) {
                ::close(report[1]);
                runWorker(request, descriptors);
            }
            const int32_t value = worker < 0 ? -errno : worker;
            const ssize_t written = ::write(report[1], &value, sizeof value);
            ::_exit(written == sizeof value ? 0 : 1);
        }
        ::close(report[1]);
        int32_t value = -ECHILD;
        while (::read(report[0], &value, sizeof value) < 0 && errno == EINTR) {
        }
        ::close(report[0]);
        while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
        return value;
    }

    [[noreturn]] void runWorker(const ZygoteRequest& request, const std::vector<int>& fds) {
        ::close(socket_);
        if (settings_.disableStreams) {
            silenceStandardStreams();
        }
        const int output = fds[0];
        const int input = fds[1];
        const int third = fds[2];
        if (!worker::attachParentRing(fds[3])) {
            LOG4CPLUS_DEBUG(logger, "no ring from the parent: everything comes through the pipe");
        }
        if (request.kind == WorkerKind::Recording) {
            if (!sandbox_.confineRecordingWorker()) {
                LOG4CPLUS_WARN(logger, "Could not confine worker: " << std::strerror(errno));
                ::_exit(1);
            }
            RecordingRequest recording = request.recording;
            recording.outputFd = third;
            const WorkerSandbox* sandbox = &sandbox_;
            const bool makeForbiddenCall = forbiddenCall_;
            recording.confine = [sandbox, makeForbiddenCall](uint16_t localPort) {
                if (!sandbox->filterRecordingWorker(localPort)) {
                    LOG4CPLUS_WARN(logger, "Could not confine worker: " << std::strerror(errno));
                    return false;
                }
                if (makeForbiddenCall) {
                    forbiddenCall();
                }
                return true;
            };
            ::_exit(recorder_(recording, output, input));
        }
        LOG4CPLUS_TRACE(logger, "fork: child process");
        // Everything the worker needs is open now (its pipes, the client socket, the log).
        if (!sandbox_.confineProxyWorker()) {
            LOG4CPLUS_WARN(logger, "Could not confine worker: " << std::strerror(errno));
            ::_exit(1);
        }
        if (forbiddenCall_) {
            forbiddenCall();
        }
        setClientTargets(settings_.clientTargets);
        const uint32_t timeout = settings_.requestHeadTimeout;
        ::_exit(request.kind == WorkerKind::Spare
                    ? ::startSpareTcpProxy(third, output, input, timeout)
                    : ::startTcpProxy(third, output, input, timeout));
    }

    // Stops the threads that libraries started before main; true when this is the only
    // thread of the process (the zygote starts none).
    static bool becomeSoleThread() {
        tamblo::logging::stopLibraryThreads();
        DIR* tasks = ::opendir("/proc/self/task");
        if (tasks == nullptr) {
            return false;
        }
        int threads = 0;
        while (const dirent* entry = ::readdir(tasks)) {
            threads += entry->d_name[0] != '.';
        }
        ::closedir(tasks);
        LOG4CPLUS_DEBUG(logger, "worker zygote: " << threads << " thread(s), proxy workers "
                                                  << (threads == 1 ? "cloned" : "forked"));
        return threads == 1;
    }

    int socket_;
    const ServerSettings& settings_;
    const RecordingWorkerEntry recorder_;
    const WorkerSandbox sandbox_;
    const bool forbiddenCall_;
    const bool soleThread_;
};

}  // namespace

// ---- the server's side ----

WorkerZygote::WorkerZygote(const ServerSettings& settings, std::string image)
    : arguments_(settings.commandLine), image_(std::move(image)) {
    if (capabilities::maySwitchUser()) {
        const passwd* user = ::getpwnam(settings.workerUser.c_str());
        if (user == nullptr) {
            throw std::runtime_error("worker user " + settings.workerUser + " does not exist");
        }
        if (user->pw_uid == 0) {
            throw std::runtime_error("worker user " + settings.workerUser + " is root");
        }
    }
    // Workers forked by the zygote's children come to us when those exit.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0 || !start()) {
        throw std::runtime_error(std::string("could not start the worker zygote: ") +
                                 std::strerror(errno));
    }
}

WorkerZygote::~WorkerZygote() {
    socket_.reset();  // the zygote ends when it reads the end of its socket
}

bool WorkerZygote::start() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    // Everything the child needs is made before the fork: between fork and exec it only
    // moves descriptors.
    static const std::string program = kZygoteName;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& argument : arguments_) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string marker =
        std::string(kZygoteVariable) + "=" + std::to_string(kZygoteDescriptor);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, kZygoteVariable, std::strlen(kZygoteVariable)) != 0) {
            envp.push_back(*entry);
        }
    }
    envp.push_back(const_cast<char*>(marker.c_str()));
    // The zygote binds every symbol of every library when it starts: each worker forked from
    // it would otherwise look up each function it calls first, through all the libraries.
    static char bindNow[] = "LD_BIND_NOW=1";
    envp.push_back(bindNow);
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        // The image of the server is replaced at once: the zygote starts with nothing of it.
        if (theirs.get() == kZygoteDescriptor) {
            ::fcntl(kZygoteDescriptor, F_SETFD, 0);
        } else if (::dup2(theirs.get(), kZygoteDescriptor) != kZygoteDescriptor) {
            ::_exit(127);
        }
        ::close_range(kZygoteDescriptor + 1, ~0U, 0);
        // A session of its own, which its workers inherit: where the kernel groups tasks by
        // session for scheduling, all the workers together weigh as much as the parent, so
        // a thousand busy ones cannot starve the parent that every tunnel's traffic crosses.
        ::setsid();
        ::execve(image_.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    pid_ = pid;
    socket_ = std::move(ours);
    startedAt_ = monotonicSeconds();
    theirs.reset();
    int32_t ready = -1;
    const int waited = awaitAnswer(&ready);
    if (waited != 1 || ready != 0) {
        LOG4CPLUS_ERROR(logger, "worker zygote " << pid_
                                                 << (waited == 0 ? " did not start in time"
                                                                 : " ended at its start"));
        ::kill(pid_, SIGKILL);
        socket_.reset();
        pid_ = -1;
        errno = waited == 0 ? ETIMEDOUT : ECHILD;
        return false;
    }
    return true;
}

int WorkerZygote::awaitAnswer(int32_t* answer) {
    pollfd wait{socket_.get(), POLLIN, 0};
    int ready;
    while ((ready = ::poll(&wait, 1, kAnswerMilliseconds)) < 0 && errno == EINTR) {
    }
    if (ready != 1) {
        return ready;
    }
    return ::recv(socket_.get(), answer, sizeof *answer, 0) == sizeof *answer ? 1 : -1;
}

void WorkerZygote::stop() {
    socket_.reset();
    pid_ = -1;
    startedAt_ = monotonicSeconds();  // no restart from spawn either
}

void WorkerZygote::restart() {
    socket_.reset();
    pid_ = -1;
    if (!start()) {
        LOG4CPLUS_ERROR(logger, "Could not start the worker zygote: " << std::strerror(errno));
    }
}

pid_t WorkerZygote::ask(const std::vector<uint8_t>& bytes, std::initializer_list<int> descriptors,
                        bool* gone) {
    *gone = false;
    if (!socket_.valid()) {
        *gone = true;
        errno = ECHILD;
        return -1;
    }
    iovec vector{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * zygote_message::kDescriptors)] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
    std::memcpy(CMSG_DATA(c), descriptors.begin(), sizeof(int) * descriptors.size());
    if (::sendmsg(socket_.get(), &message, MSG_NOSIGNAL) < 0) {
        *gone = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
        return -1;
    }
    int32_t answer = 0;
    const int waited = awaitAnswer(&answer);
    if (waited == 0) {
        LOG4CPLUS_WARN(logger, "worker zygote " << pid_ << " did not answer within "
                                                << kAnswerMilliseconds << " ms; starting another");
        ::kill(pid_, SIGKILL);
        restart();
        errno = ETIMEDOUT;
        return -1;
    }
    if (waited != 1) {
        *gone = true;
        errno = ECHILD;
        return -1;
    }
    if (answer <= 0) {
        errno = -answer;
        return -1;
    }
    return answer;
}

pid_t WorkerZygote::spawn(const ZygoteRequest& request, std::initializer_list<int> descriptors) {
    const std::optional<std::vector<uint8_t>> bytes = zygote_message::encodeRequest(request);
    if (!bytes || descriptors.size() != zygote_message::kDescriptors) {
        errno = EINVAL;
        return -1;
    }
    bool gone = false;
    const pid_t pid = ask(*bytes, descriptors, &gone);
    if (pid > 0 || !gone) {
        return pid;
    }
    if (monotonicSeconds() - startedAt_ < 1) {
        errno = ECHILD;
        return -1;  // it died at once: the next worker asks again, a second later at most
    }
    LOG4CPLUS_WARN(logger, "worker zygote " << pid_ << " is gone; starting another");
    restart();
    return ask(*bytes, descriptors, &gone);
}

// ---- the server's zygotes ----

namespace {
// The worker image beside the server's own, when it is installed there.
std::string workerImage() {
    std::error_code error;
    const std::filesystem::path server = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    const std::filesystem::path image = server.parent_path() / kWorkerImage;
    return ::access(image.c_str(), X_OK) == 0 ? image.string() : std::string();
}
}  // namespace

WorkerZygotes::WorkerZygotes(const ServerSettings& settings)
    : settings_(settings), workerImage_(workerImage()),
      proxies_(settings, workerImage_.empty() ? kServerImage : workerImage_) {
    LOG4CPLUS_DEBUG(logger, "proxy workers from "
                                << (workerImage_.empty() ? std::string("the server's image")
                                                         : workerImage_));
}

WorkerZygotes::~WorkerZygotes() = default;

pid_t WorkerZygotes::spawn(const ZygoteRequest& request, std::initializer_list<int> descriptors) {
    if (request.kind != WorkerKind::Recording || workerImage_.empty()) {
        return proxies_.spawn(request, descriptors);
    }
    if (!recordings_) {
        if (stopped_) {
            errno = ECHILD;
            return -1;
        }
        try {
            recordings_.emplace(settings_, kServerImage);
        } catch (const std::runtime_error& error) {
            LOG4CPLUS_ERROR(logger, error.what());
            errno = ECHILD;
            return -1;
        }
    }
    return recordings_->spawn(request, descriptors);
}

void WorkerZygotes::restart() {
    proxies_.restart();
    if (recordings_) {
        recordings_->restart();
    }
}

void WorkerZygotes::stop() {
    stopped_ = true;
    proxies_.stop();
    if (recordings_) {
        recordings_->stop();
    }
}

// ---- the zygote's entry ----

std::optional<int> runWorkerZygoteIfAsked(int argc, char** argv, RecordingWorkerEntry recorder) {
    const char* marker = std::getenv(kZygoteVariable);
    if (marker == nullptr) {
        return std::nullopt;
    }
    const int socket = std::atoi(marker);
    ::unsetenv(kZygoteVariable);
    ::prctl(PR_SET_NAME, kZygoteName, 0, 0, 0);
    openClosedStandardStreams();
    // Started from the server's loop: nothing blocked, default dispositions; a write to a
    // peer that is gone must not kill a worker.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int number : {SIGTERM, SIGCHLD, SIGHUP, SIGINT}) {
        signal(number, SIG_DFL);
    }
    signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    tamblo::logging::configureLogging(argv[0], scanEarlyArguments(arguments).logConfig);
    ServerSettings settings;
    try {
        settings = parseCommandLine(arguments, false);
    } catch (const CommandLineError& error) {
        LOG4CPLUS_ERROR(logger, "worker zygote: " << error.what());
        return 2;
    }
    try {
        Zygote zygote(socket, settings, recorder);
        if (!zygote.giveUpPrivileges()) {
            return 1;
        }
        return zygote.run();
    } catch (const std::runtime_error& error) {
        LOG4CPLUS_ERROR(logger, "worker zygote: " << error.what());
        return 1;
    }
}
