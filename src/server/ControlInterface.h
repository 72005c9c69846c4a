// The control port: the operators' connections, the "VIDEORECORDER" command language and
// its replies, and where recordings may be written.
//
// Owned by the server (one per process), which hands it every readiness event of the control
// listener. Each accepted connection has its own read watcher on the default loop and lives
// until end of stream, a read error, a command that closes it, or an idle time-out: one that
// has sent nothing for --control-idle-timeout seconds is closed unless a recording it started
// still runs (that one stays for its "STOPPED" line). Beyond --max-control-connections a new
// connection is closed as soon as it is accepted, so operators' connections cannot use up the
// server's descriptors. It reaches the server only through ControlHost: its settings, counters
// and the recording operations; recording tunnels write their "STOPPED" line to the
// connection that started them, which tells them when it closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "protocol/RecordingRequest.h"
#include "server/ServerCounters.h"

struct ServerSettings;

// What the control interface needs of the server.
class ControlHost {
  public:
    virtual const ServerSettings& serverSettings() const = 0;
    virtual uint16_t boundControlPort() const = 0;
    virtual ServerCounters& counters() = 0;
    virtual FloodLogs& floodLogs() = 0;
    virtual double nowSeconds() const = 0;
    // A START: false when the recording did not start (the reply is "ERROR").
    virtual bool startVideoRecording(const std::string& mac, RecordingRequest request,
                                     int ctrlSocket) = 0;
    virtual void stopVideoRecording(const std::string& mac, const std::string& cameraIp,
                                    uint16_t cameraPort) = 0;
    // Whether a running recording will report its end on this control connection.
    virtual bool recordingReportsTo(int socket) const = 0;
    // A control connection was closed: the recordings it started report to nobody.
    virtual void forgetControlConnection(int socket) = 0;

  protected:
    ~ControlHost() = default;
};

namespace control {

inline constexpr size_t kReadSize = 4096;  // one read is one command
// The status lines are formatted into a buffer of this size, terminator included.
inline constexpr size_t kStatusLineSize = 256;

// The fields of a command as strtok_r with ":" finds them: runs of separators count as one,
// no field is empty. The text ends at its first zero byte.
std::vector<std::string_view> splitFields(std::string_view text);

// "VIDEORECORDER:STATUS:<mac>:<ip>:<port>:<status>\n"; nothing when it would not fit the
// status line buffer.
std::optional<std::string> statusLine(std::string_view mac, std::string_view ip, uint16_t port,
                                      std::string_view status);

// Opens the recording file `name` for the worker: created when missing (mode 0666 less the
// umask), emptied when it exists. Without a recordings directory the name is taken as given
// (relative to the working directory) and only a final symbolic link is refused. With one
// (absolute and canonical), a relative name is taken inside it and an absolute name must lie
// inside it; the name is resolved beneath the directory without following any symbolic link
// (openat2 RESOLVE_BENEATH|RESOLVE_NO_SYMLINKS, or a walk of O_NOFOLLOW opens where the
// kernel lacks it), and only a regular file with no other link to it is taken. An invalid
// descriptor (errno set) when the file is refused. forceWalk (tests): the walk even where the
// kernel has openat2.
UniqueFd openOutputFile(const std::string& recordingsDir, const std::string& name,
                        bool forceWalk = false);

}  // namespace control

class ControlInterface {
  public:
    explicit ControlInterface(ControlHost* server);
    ~ControlInterface();
    ControlInterface(const ControlInterface&) = delete;
    ControlInterface& operator=(const ControlInterface&) = delete;

    // The listener is readable: accepts one connection and starts reading it.
    // Accepts one connection; the error of a failed accept, else 0.
    int acceptConnection(int listener);
    // One command; false when the connection is to be closed. Replies go to socket.
    bool processControlCmd(int socket, std::string_view text);
    size_t connectionCount() const { return connections.size(); }

  private:
    struct Connection {
        ControlInterface* owner = nullptr;
        UniqueFd socket;
        EvIo watcher;
        EvTimer idle;  // restarted by every command
    };
    static void readableCb(struct ev_loop*, ev_io* watcher, int);
    static void idleCb(struct ev_loop*, ev_timer* timer, int);
    void restartIdleTimer(Connection* connection) const;
    void readCommand(Connection* connection);
    void closeConnection(int socket);
    bool startRecording(int socket, const std::vector<std::string_view>& fields);
    void reply(int socket, std::string_view text) const;

    ControlHost* server;
    std::map<int, std::unique_ptr<Connection>> connections;
};
