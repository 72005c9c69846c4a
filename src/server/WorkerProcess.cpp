// A worker process as the parent holds it: pipes, start, hand-off, reading, exit.
#include "server/WorkerProcess.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "server/TunnelHost.h"
#include "server/WorkerReaper.h"
#include "worker/WorkerSandbox.h"
#include "worker/WorkerZygote.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);

// A pipe deep enough to hold a whole TCP receive window of tunnel packets, so a worker that
// falls behind for a moment is not mistaken for a dead one.
constexpr int kPipeCapacity = 1 << 20;

// The reader keeps only a partial frame between reads: what it reads goes into the server's
// buffer, which all tunnels share.
constexpr size_t kReaderCarry = 2 * pipe_message::kMaxFrame;

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

// An unprivileged server past the user's pipe quota gets small pipes: tunnels still work
// (a packet that does not fit is dropped and the stack sends it again), only worse under
// load. Said once, with what to raise.
void enlargePipe(int descriptor) {
    static bool warned = false;
    if (fcntl(descriptor, F_SETPIPE_SZ, kPipeCapacity) >= 0 || warned) {
        return;
    }
    warned = true;
    const int error = errno;
    LOG4CPLUS_WARN(logger, "Could not enlarge a worker pipe to "
                               << kPipeCapacity << " bytes (" << std::strerror(error)
                               << "); tunnels go on with smaller pipes and drop packets under "
                                  "load. Raise fs.pipe-user-pages-soft (and fs.pipe-max-size) "
                                  "with sysctl, or run the server with CAP_SYS_RESOURCE");
}

bool setNonBlocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}
}  // namespace

WorkerProcess::WorkerProcess(TunnelHost* server, Owner& processOwner)
    : host(server), owner(processOwner), reader(kReaderCarry) {
    static bool ringWarned = false;  // said once: the same refusal would repeat per worker
    if (!ring_.create() && !ringWarned) {
        ringWarned = true;
        LOG4CPLUS_WARN(logger, "Could not create the shared ring for a worker ("
                                   << std::strerror(errno)
                                   << "); workers without one get everything through their pipe");
    }
    if (::pipe(pipeOut) != 0 || ::pipe(pipeIn) != 0) {
        LOG4CPLUS_WARN(logger, "Could not create pipes for worker: " << std::strerror(errno));
    }
    if (pipeOut[1] >= 0 && !setNonBlocking(pipeOut[1])) {
        LOG4CPLUS_WARN(logger,
                       "Could not set socket non-blocking, error string: " << std::strerror(errno));
    }
    // The parent never waits on a worker: its read end is non-blocking as well.
    if (pipeIn[0] >= 0) {
        setNonBlocking(pipeIn[0]);
    }
    if (pipeOut[1] >= 0) {
        enlargePipe(pipeOut[1]);
    }
    ev_io_init(pipeReadable.get(),
               (evMemberCallback<WorkerProcess, ev_io, &WorkerProcess::readable>), pipeIn[0],
               EV_READ);
    pipeReadable.get()->data = this;
    if (pipeIn[0] >= 0) {
        pipeReadable.start(loop);
    }
}

WorkerProcess::~WorkerProcess() {
    // A worker that libev already reaped has its status in the watcher, pending or not.
    if (childWatcher.get()->rpid != 0) {
        reaped = true;
        host->counters().workerExits.count(childWatcher.get()->rstatus);
    }
    childWatcher.stop();
    pipeReadable.stop();
    closeIfOpen(pipeIn[0]);
    closeIfOpen(pipeIn[1]);
    closeIfOpen(pipeOut[0]);
    closeIfOpen(pipeOut[1]);
    closeIfOpen(handoff[0]);
    closeIfOpen(handoff[1]);
    if (childPid <= 0 || reaped) {
        return;
    }
    // The worker sees end of file on its pipe and ends; the reaper makes sure of it without
    // the loop ever waiting.
    LOG4CPLUS_DEBUG(logger, "waiting for child process to terminate");
    // A recording worker completes its file on the termination signal: it gets that long.
    host->reaper().adopt(childPid, recording ? WorkerReaper::kRecordingKillAfterSeconds
                                             : WorkerReaper::kKillAfterSeconds);
}

bool WorkerProcess::spawn(const ZygoteRequest& request, int socket, const char* failureText) {
    recording = request.kind == WorkerKind::Recording;
    const pid_t started =
        host->workerZygote().spawn(request, {pipeIn[1], pipeOut[0], socket,
                                            ring_.valid() ? ring_.descriptor() : pipeOut[0]});
    if (started < 0) {
        ++host->counters().forkFailures;
        LOG4CPLUS_WARN(logger, failureText);
        return false;
    }
    if (!recording) {
        LOG4CPLUS_TRACE(logger, "fork: parent process");
    }
    childPid = started;
    ++(recording ? host->counters().recordingWorkersStarted : host->counters().proxyWorkersStarted);
    // The worker's ends belong to the worker: end of file then means it is gone.
    closeIfOpen(pipeOut[0]);
    closeIfOpen(pipeIn[1]);
    closeIfOpen(handoff[1]);
    ring_.closeDescriptor();
    ev_child_init(childWatcher.get(),
                  (evMemberCallback<WorkerProcess, ev_child, &WorkerProcess::exited>), started, 0);
    childWatcher.get()->data = this;
    childWatcher.start(loop);
    return true;
}

int WorkerProcess::openHandoff() {
    if (!ready() || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, handoff) != 0) {
        return -1;
    }
    return handoff[1];
}

bool WorkerProcess::handOver(int socket, bool keep) {
    // One byte with the descriptor: the worker's receive returns with both or with nothing.
    char byte = 0;
    iovec vector{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof socket)] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof socket);
    std::memcpy(CMSG_DATA(c), &socket, sizeof socket);
    if (handoff[0] < 0 || ::sendmsg(handoff[0], &message, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        return false;
    }
    // The message stays readable after our end is gone; the worker keeps its own end.
    if (!keep) {
        closeIfOpen(handoff[0]);
    }
    return true;
}

void WorkerProcess::closeHandoff() {
    closeIfOpen(handoff[0]);
}

void WorkerProcess::stopReading() {
    pipeReadable.stop();
}

void WorkerProcess::exited(int) {
    const int status = childWatcher.get()->rstatus;
    LOG4CPLUS_DEBUG(logger,
                    "process " << childPid << " exited with status " << ((status >> 8) & 0xff));
    WorkerSandbox::reportKilledByFilter(childPid, status);
    reaped = true;
    childWatcher.stop();
    // The exit may be seen before the pipe is read: what the worker wrote last (the ACK of
    // the device's FIN, its end message) is read before the tunnel goes. The pipe holds at
    // most its capacity, and nobody writes to it any more.
    for (int reads = 0; pipeReadable.active() && reads < kDrainReadsAtExit; ++reads) {
        if (!readOnce()) {
            break;
        }
    }
    owner.workerGone();
}

void WorkerProcess::readable(int) {
    readOnce();
}

bool WorkerProcess::readOnce() {
    using Status = pipe_message::Reader::Status;
    const Status status = reader.readAndDispatch(
        pipeIn[0], host->pipeReadBuffer(), TunnelHost::kPipeReadBytes + pipe_message::kMaxFrame,
        [this](uint8_t type, const uint8_t* payload, uint16_t length) {
            return owner.workerMessage(type, payload, length);
        });
    switch (status) {
        case Status::Ok:
            return true;
        case Status::WouldBlock:
        case Status::Stopped:
            return false;
        case Status::Overlong:
            // The stream cannot be resynchronised: the worker is ended with its tunnel.
            LOG4CPLUS_WARN(
                logger, "worker " << childPid << " sent a message over 4096 bytes, closing tunnel");
            owner.workerGone();
            return false;
        case Status::EndOfFile:
        case Status::Error:
            // The worker closed its end: it is gone or going; its exit is reaped separately.
            LOG4CPLUS_DEBUG(logger, "pipe from worker " << childPid << " closed");
            owner.workerGone();
            return false;
    }
    return false;
}
