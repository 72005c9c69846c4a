// Confinement of worker processes. The server builds the proxy workers' system call filter
// once at start (WorkerSandbox); each forked worker, once it holds everything it needs open,
// confines itself with it (Tunnel::forkWorker calls confineProxyWorker or
// confineRecordingWorker). The parent stays the only process with privileges.
//
// Every worker: PR_SET_NO_NEW_PRIVS, no core dumps, an address-space limit (what it inherits
// from the server plus a headroom) and an open-files limit.
// Proxy workers also: when the server runs as root, the switch to an unprivileged user; then
// the seccomp allow-list, under which any other call kills the worker with SIGSYS.
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
    // Builds the allow-list and, when the process runs as root, looks the worker user up.
    // Throws std::runtime_error when the user does not exist or the filter cannot be built.
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
    std::optional<uid_t> uid_;  // present when the server runs as root
    gid_t gid_ = 0;
};
