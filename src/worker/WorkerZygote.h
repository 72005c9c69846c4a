// The worker zygote: the process that forks every worker. The server starts it before the
// first registration (fork, then exec of a worker image, so it holds nothing of the server's
// memory: no gateway key, session id or client's data), and asks it for each worker
// over a socket pair (ZygoteRequest.h), handing over only that worker's descriptors. The
// zygote takes the workers' user and gives up every capability once, at its start; each
// worker it forks then confines itself further (WorkerSandbox).
//
// Every worker is a child of the server, which watches and reaps its workers: a proxy worker
// is cloned with CLONE_PARENT, a recording worker forked by a child of the zygote that exits
// at once (the server is a child subreaper). Tunnel calls spawn; TambloServer owns the
// zygotes and replaces them on SIGHUP (their logging then follows the new configuration);
// main and the unit tests' main call runWorkerZygoteIfAsked first thing.
//
// Two images: proxy workers come from tamblo-zygote, installed beside the server, which holds
// the worker's code without the media, database and metrics libraries (a fork then copies a
// fraction of the mappings, and an exit tears down as few); recording workers come from a
// zygote of the server's own image, started with the first recording. Without tamblo-zygote
// beside it (the unit tests' binaries) one zygote of the server's image makes every worker.
// WorkerZygotes is that pair; TambloServer owns it.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "common/FileDescriptor.h"
#include "protocol/ZygoteRequest.h"
#include "server/CommandLine.h"

// The worker image's file name, and the server's own image.
inline constexpr const char* kWorkerImage = "tamblo-zygote";
inline constexpr const char* kServerImage = "/proc/self/exe";

// The recording worker's entry (videoRecorder), which only the server's image links.
using RecordingWorkerEntry = int (*)(const RecordingRequest& request, int fdOutput, int fdInput);

class WorkerZygote {
  public:
    // settings.commandLine: what the zygote reads again for the settings of its workers;
    // image: the program it runs. Starts the zygote; throws std::runtime_error when it cannot,
    // or when the workers' user does not exist (or is root) where the server may switch users.
    WorkerZygote(const ServerSettings& settings, std::string image);
    ~WorkerZygote();
    WorkerZygote(const WorkerZygote&) = delete;
    WorkerZygote& operator=(const WorkerZygote&) = delete;

    // Forks a worker with these descriptors (in the order ZygoteRequest.h gives; they stay
    // open here). The worker's pid, or -1 (errno set) when none was forked. Waits for the
    // zygote's answer (a bounded time); a zygote that is gone is replaced and asked again.
    pid_t spawn(const ZygoteRequest& request, std::initializer_list<int> descriptors);

    // Ends the zygote and starts another (SIGHUP, or a zygote that stopped answering).
    void restart();
    // Ends the zygote (it reads the end of its socket and exits); spawn fails from now on.
    void stop();

    pid_t pid() const { return pid_; }

  private:
    // Starts the zygote and waits (bounded) for its word that it is ready.
    bool start();
    // Waits, bounded, for the zygote's next answer: 1 with it, 0 on time-out, -1 when the
    // zygote is gone.
    int awaitAnswer(int32_t* answer);
    pid_t ask(const std::vector<uint8_t>& message, std::initializer_list<int> descriptors,
              bool* gone);

    std::vector<std::string> arguments_;
    const std::string image_;
    UniqueFd socket_;
    pid_t pid_ = -1;
    double startedAt_ = 0;  // monotonic seconds: a zygote that keeps dying is not restarted
                            // more than once a second
};

// The proxy workers' zygote, of the worker image when there is one, and the recording
// workers' (see above). Same calls as one WorkerZygote; spawn picks by the request's kind.
class WorkerZygotes {
  public:
    explicit WorkerZygotes(const ServerSettings& settings);
    ~WorkerZygotes();
    WorkerZygotes(const WorkerZygotes&) = delete;
    WorkerZygotes& operator=(const WorkerZygotes&) = delete;

    pid_t spawn(const ZygoteRequest& request, std::initializer_list<int> descriptors);
    void restart();
    void stop();

  private:
    const ServerSettings& settings_;
    const std::string workerImage_;  // empty: the server's image makes every worker
    WorkerZygote proxies_;
    std::optional<WorkerZygote> recordings_;
    bool stopped_ = false;
};

// In a process started as the zygote (marked in its environment): runs the zygote and
// returns its exit status. Otherwise empty: the caller goes on as what it is. recorder: the
// recording worker's entry, or nullptr in an image without it (such a zygote refuses
// recording workers).
std::optional<int> runWorkerZygoteIfAsked(int argc, char** argv, RecordingWorkerEntry recorder);

// Test-only: with this variable in the server's environment every worker makes, once it is
// confined, a call that no worker filter allows.
inline constexpr const char* kForbiddenCallTestVariable = "TAMBLO_TEST_WORKER_FORBIDDEN_CALL";
