// Confinement of worker processes. The worker zygote builds the system call filters once at
// its start (WorkerSandbox); each worker it forks, once it holds everything it needs open,
// confines itself with them (confineProxyWorker or confineRecordingWorker). The zygote has
// already taken the workers' user and given up every capability (WorkerZygote.h): the parent
// stays the only process with privileges.
//
// Every worker: PR_SET_NO_NEW_PRIVS, no core dumps, an address-space limit (what it inherits
// from the zygote plus a headroom) and an open-files limit.
// Proxy workers also: the seccomp allow-list, under which any other call kills the worker
// with SIGSYS: no socket of their own, fcntl without owners, signals or O_ASYNC.
// Recording workers get the same limits (wider) right after the fork; once their media
// framework is loaded and before it starts its threads, the worker calls
// filterRecordingWorker (through RecordingRequest::confine): Landlock where the kernel has it
// (files only read beneath the library folders, TCP only to the worker's own endpoint, no
// signal outside), then the recording workers' allow-list for every thread.
#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ServerSettings;

class WorkerSandbox {
  public:
    // Builds the allow-lists. Throws std::runtime_error when a filter cannot be built.
    explicit WorkerSandbox(const ServerSettings& settings);

    // In a forked worker. False (with errno) when a step failed: the worker must not run.
    bool confineProxyWorker() const;
    // A recording worker right after the fork: the limits and NO_NEW_PRIVS.
    bool confineRecordingWorker() const;
    // A recording worker once its media framework has loaded its modules, before the
    // framework's threads start (any thread that exists already is filtered too): the
    // recording workers' allow-list, and where the kernel has Landlock, files only for
    // reading beneath the library folders and TCP connections only to localPort (the
    // worker's own endpoint for the framework).
    bool filterRecordingWorker(uint16_t localPort) const;

    // Whether a worker's wait status says that its filter killed it.
    static bool killedByFilter(int waitStatus);
    // The WARN line for such a worker (from whichever side reaps it).
    static void reportKilledByFilter(pid_t pid, int waitStatus);

    // The system calls that proxy workers may make, by name.
    static const std::vector<const char*>& allowedCalls();

  private:
    bool limitResources() const;

    std::vector<sock_filter> filter_;
    int landlockAbi_ = 0;  // 0: the kernel has no Landlock
    std::vector<sock_filter> recordingFilter_;
    uint64_t memoryHeadroom_;
    uint64_t openFiles_;
};
