// One worker process as the parent holds it: the two pipes to it (the parent's ends
// non-blocking, the one to the worker enlarged), its start by the worker zygote with exactly
// the descriptors it gets, a spare's hand-off socket pair, the reading of its frames and the
// watch for its exit.
//
// A Tunnel holds one as a member and is its Owner: it gets each whole message, and hears once
// the worker is gone or going (its pipe closed, it sent a frame that cannot be read, it
// exited). The destructor closes every descriptor and hands a worker that still runs to the
// reaper, so the loop never waits on a worker.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "common/EventLoop.h"
#include "protocol/PipeMessage.h"
#include "protocol/WorkerRing.h"
#include "protocol/ZygoteRequest.h"

class TunnelHost;

class WorkerProcess {
  public:
    class Owner {
      public:
        // One whole message from the worker; false stops reading for this pass.
        virtual bool workerMessage(uint8_t type, const uint8_t* bytes, uint16_t length) = 0;
        // The worker is gone or going; nothing more will be read.
        virtual void workerGone() = 0;

      protected:
        ~Owner() = default;
    };

    // Makes the pipes and starts reading the worker's end; ready() says whether that worked.
    WorkerProcess(TunnelHost* host, Owner& owner);
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    bool ready() const { return pipeIn[0] >= 0 && pipeOut[1] >= 0; }
    // The shared ring to the worker, for what the gateway sends it; nullptr where the system
    // refused the memory (the pipe then carries everything).
    worker_ring::RingWriter* ring() { return ring_.valid() ? &ring_ : nullptr; }
    // The parent's non-blocking write end of the pipe to the worker, or -1.
    int toWorker() const { return pipeOut[1]; }
    pid_t pid() const { return childPid; }

    // Has the zygote fork the worker with its pipe ends and socket (the client's, the
    // hand-off pair's or the recording file); false (logged with failureText) when it failed.
    bool spawn(const ZygoteRequest& request, int socket, const char* failureText);
    // A spare's socket pair; the worker's end for spawn(), or -1 when none could be made.
    int openHandoff();
    // Passes a socket to the worker on the hand-off pair: a spare's client, or the connection
    // to the next server for a worker that forwards its client. keep: the pair stays open for
    // another socket. False when the worker is gone.
    bool handOver(int socket, bool keep = false);
    bool holdsHandoff() const { return handoff[0] >= 0; }
    void closeHandoff();
    // No more reading (the tunnel ends).
    void stopReading();

    // The worker's pipe ends (read end of parent -> worker, write end of worker -> parent),
    // open until the fork hands them over; tests play the worker through them.
    int workerInput() const { return pipeOut[0]; }
    int workerOutput() const { return pipeIn[1]; }
    int workerRing() const { return ring_.descriptor(); }

  private:
    void exited(int revents);
    void readable(int revents);
    // One read of the pipe, its messages dispatched; true when more may follow.
    bool readOnce();
    // Reads of the pipe at the worker's exit, at most: a full pipe takes a few.
    static constexpr int kDrainReadsAtExit = 64;

    TunnelHost* host;
    Owner& owner;
    int pipeOut[2] = {-1, -1};  // parent -> worker: [0] worker reads, [1] parent writes
    int pipeIn[2] = {-1, -1};   // worker -> parent: [0] parent reads, [1] worker writes
    worker_ring::RingWriter ring_;
    // A spare worker's socket pair: [0] the parent passes the client's socket, [1] the
    // worker receives it.
    int handoff[2] = {-1, -1};
    pid_t childPid = -1;
    bool recording = false;
    bool reaped = false;
    EvChild childWatcher;
    EvIo pipeReadable;
    pipe_message::Reader reader;
};
