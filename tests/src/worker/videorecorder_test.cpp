// Real forked workers: the stop request, the buffering rule of recordings, the keepalive
// timeout, the exit timer and the worker's reaction to its parent going away.
#include "worker/videorecorder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "protocol/PipeMessage.h"
#include "worker/videorecorder_state.h"

namespace {

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// A worker process forked from the test with the pipes the parent would give it.
class WorkerProcess {
  public:
    using Entry = std::function<int(int client, int output, int input)>;

    explicit WorkerProcess(const Entry& entry) {
        int toWorker[2];
        int fromWorker[2];
        int client[2];
        EXPECT_EQ(::pipe(toWorker), 0);
        EXPECT_EQ(::pipe(fromWorker), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
        started = monotonicSeconds();
        pid = ::fork();
        if (pid == 0) {
            ::close(toWorker[1]);
            ::close(fromWorker[0]);
            ::close(client[1]);
            ::_exit(entry(client[0], fromWorker[1], toWorker[0]));
        }
        ::close(toWorker[0]);
        ::close(fromWorker[1]);
        ::close(client[0]);
        input = toWorker[1];
        output = fromWorker[0];
        clientEnd = client[1];
    }

    ~WorkerProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (int fd : {input, output, clientEnd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    void send(uint8_t type, const void* payload = nullptr, uint16_t length = 0) const {
        ASSERT_EQ(pipe_message::writeFrame(input, type, payload, length), 3 + length);
    }

    // Waits for the finished message; the seconds since the start, or -1 on timeout.
    double waitForFinished(double timeoutSeconds) {
        const double deadline = monotonicSeconds() + timeoutSeconds;
        while (monotonicSeconds() < deadline) {
            pollfd p{output, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            bool finished = false;
            const auto status =
                reader.readAndDispatch(output, [&](uint8_t type, const uint8_t*, uint16_t length) {
                    finished = finished || (type == pipe_message::kFinished && length == 0);
                    return true;
                });
            if (finished) {
                return monotonicSeconds() - started;
            }
            if (status == pipe_message::Reader::Status::EndOfFile) {
                return -1;
            }
        }
        return -1;
    }

    int exitStatus() {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        pid = -1;
        return status;
    }

    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int clientEnd = -1;
    double started = 0;
    pipe_message::Reader reader;
};

int proxyWorker(int client, int output, int input) {
    return startTcpProxy(client, output, input, 10);
}

int recordingWorker(int, int output, int input) {
    RecordingRequest request;
    request.cameraIp = "198.18.11.20";
    request.cameraPort = 80;
    request.user = "user";
    request.pass = "pass";
    request.videoUri = "video";
    request.outputName = "/dev/null";
    request.outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    request.codec = "MJPEG";
    request.localPort = 5000;
    request.firstChannel = 128;
    return videoRecorder(request, output, input);
}

}  // namespace

TEST(ProxyWorker, StopRequestEndsItHalfASecondLaterAndTheLoopEndsBefore254) {
    WorkerProcess worker(proxyWorker);
    worker.send(pipe_message::kStop);
    const double elapsed = worker.waitForFinished(5);
    EXPECT_GT(elapsed, 0.45);
    EXPECT_LT(elapsed, 1.0);
    // The client connection was closed in the teardown, before 254 was written.
    char byte;
    EXPECT_EQ(::recv(worker.clientEnd, &byte, 1, MSG_DONTWAIT), 0);
    EXPECT_TRUE(WIFEXITED(worker.exitStatus()));
}

TEST(ProxyWorker, ASecondStopRequestDoesNotPushTheEndBack) {
    WorkerProcess worker(proxyWorker);
    usleep(200 * 1000);  // the worker runs its loop
    const double first = monotonicSeconds() - worker.started;
    worker.send(pipe_message::kStop);
    usleep(400 * 1000);
    worker.send(pipe_message::kStop);
    // 0.5 s after the first request; a second timer would make it 0.9 s.
    const double elapsed = worker.waitForFinished(5) - first;
    EXPECT_GT(elapsed, 0.45);
    EXPECT_LT(elapsed, 0.8);
}

TEST(ProxyWorker, KeepaliveTimeoutEndsAnIdleWorker) {
    WorkerProcess worker([](int client, int output, int input) {
        worker::state().keepaliveTimeout = 1;
        return proxyWorker(client, output, input);
    });
    // More than one whole second on the clock: between 1 and 2 s, plus a tick.
    const double elapsed = worker.waitForFinished(6);
    EXPECT_GT(elapsed, 0.99);
    EXPECT_LT(elapsed, 2.6);
}

TEST(ProxyWorker, EndsAtOnceWhenTheParentGoesAway) {
    WorkerProcess worker(proxyWorker);
    ::close(worker.input);
    worker.input = -1;
    const double elapsed = worker.waitForFinished(5);
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 1.0);  // at once, not after the 30 s keepalive timeout
}

TEST(ProxyWorker, ClientClosingEndsTheWorker) {
    WorkerProcess worker(proxyWorker);
    ::shutdown(worker.clientEnd, SHUT_WR);
    const double elapsed = worker.waitForFinished(5);
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 1.0);
}

TEST(ProxyWorker, LargestMessagePassesAndAnOverlongOneEndsTheWorker) {
    WorkerProcess worker(proxyWorker);
    std::vector<uint8_t> payload(4096, 0);
    worker.send(130, payload.data(), 4096);     // channel data: ignored by a proxy worker
    EXPECT_LT(worker.waitForFinished(0.3), 0);  // still running

    const uint8_t header[] = {255, 0x01, 0x10};  // announces 4097 bytes
    ASSERT_EQ(::write(worker.input, header, 3), 3);
    const double elapsed = worker.waitForFinished(5);
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 1.0);
}

TEST(RecordingWorker, StopDuringBufferingEndsAtTheFirstTickAfterFiveSeconds) {
    WorkerProcess worker(recordingWorker);
    usleep(200 * 1000);
    worker.send(pipe_message::kStop);
    const double elapsed = worker.waitForFinished(8);
    EXPECT_GT(elapsed, 4.99);
    EXPECT_LT(elapsed, 6.0);
}

TEST(RecordingWorker, StopAfterBufferingUsesTheExitTimer) {
    WorkerProcess worker(recordingWorker);
    usleep(5300 * 1000);
    const double sent = monotonicSeconds() - worker.started;
    worker.send(pipe_message::kStop);
    const double elapsed = worker.waitForFinished(3);
    EXPECT_GT(elapsed - sent, 0.45);
    EXPECT_LT(elapsed - sent, 1.2);
}
