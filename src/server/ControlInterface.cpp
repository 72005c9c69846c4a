// The control port: connections, the command language and the server's recording operations.
#include "server/ControlInterface.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/Logging.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/ServerCounters.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

constexpr std::string_view kApplication = "VIDEORECORDER";
constexpr std::string_view kStart = "START";
constexpr std::string_view kStop = "STOP";
constexpr std::string_view kNoRtcp = "NORTCP";

// Positions of a command's fields (what operators call field 1 is position 0).
enum Field : size_t {
    kFieldApplication = 0,
    kFieldCommand,
    kFieldMac,
    kFieldCameraIp,
    kFieldCameraPort,
    kFieldUser,
    kFieldPassword,
    kFieldUrl,
    kFieldOutputFile,
    kFieldCodec,
    kFieldRtcp,
};
constexpr size_t kAddressFields = kFieldCameraPort + 1;  // a STOP needs no more
constexpr size_t kStartFields = kFieldOutputFile + 1;

std::string trimLineEnds(const char* bytes, size_t length) {
    while (length > 0 && (bytes[length - 1] == '\r' || bytes[length - 1] == '\n')) {
        --length;
    }
    return std::string(bytes, length);
}

// atoi kept to 16 bits, as the port fields have always been read.
uint16_t portField(std::string_view text) {
    const std::string copy(text);
    return static_cast<uint16_t>(std::atoi(copy.c_str()));
}

}  // namespace

namespace control {

std::vector<std::string_view> splitFields(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::vector<std::string_view> fields;
    size_t position = 0;
    while (position < text.size()) {
        const size_t start = text.find_first_not_of(':', position);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(text.find(':', start), text.size());
        fields.push_back(text.substr(start, end - start));
        position = end;
    }
    return fields;
}

std::optional<std::string> statusLine(std::string_view mac, std::string_view ip, uint16_t port,
                                      std::string_view status) {
    char line[kStatusLineSize];
    const int length =
        std::snprintf(line, sizeof line, "VIDEORECORDER:STATUS:%.*s:%.*s:%d:%.*s\n",
                      static_cast<int>(mac.size()), mac.data(), static_cast<int>(ip.size()),
                      ip.data(), port, static_cast<int>(status.size()), status.data());
    if (length < 0 || static_cast<size_t>(length) >= sizeof line) {
        return std::nullopt;
    }
    return std::string(line, static_cast<size_t>(length));
}

namespace {
// Creating flags of every output open: never blocks on a FIFO, never becomes a terminal.
constexpr int kOutputFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr mode_t kOutputMode = 0666;

// The name inside the directory that `name` means, or nothing when it lies outside.
std::optional<std::string> relativeToDirectory(const std::string& directory,
                                               const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.front() != '/') {
        return name;
    }
    const std::string prefix = directory == "/" ? "/" : directory + "/";
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    return name.substr(prefix.size());
}

// Where the kernel has no openat2: one O_NOFOLLOW open per component from the directory.
int openBeneathByWalk(int directory, const std::string& relative) {
    std::vector<std::string> parts;
    size_t position = 0;
    while (position <= relative.size()) {
        const size_t slash = std::min(relative.find('/', position), relative.size());
        const std::string part = relative.substr(position, slash - position);
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        position = slash + 1;
    }
    if (parts.empty()) {
        errno = EISDIR;
        return -1;
    }
    UniqueFd current(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i + 1 < parts.size() && current.valid(); ++i) {
        // O_PATH with O_NOFOLLOW would open a link itself: the directory check refuses it.
        UniqueFd next(::openat(current.get(), parts[i].c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (next.valid() && (::fstat(next.get(), &info) != 0 || !S_ISDIR(info.st_mode))) {
            errno = ELOOP;
            next.reset();
        }
        current = std::move(next);
    }
    if (!current.valid()) {
        return -1;
    }
    return ::openat(current.get(), parts.back().c_str(), kOutputFlags | O_NOFOLLOW, kOutputMode);
}

int openBeneath(int directory, const std::string& relative, bool forceWalk) {
    // A trailing "/", "." or ".." names a directory, never a recording.
    const size_t slash = relative.rfind('/');
    const std::string leaf = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        errno = EISDIR;
        return -1;
    }
    if (forceWalk) {
        return openBeneathByWalk(directory, relative);
    }
    open_how how{};
    how.flags = kOutputFlags;
    how.mode = kOutputMode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long opened = ::syscall(SYS_openat2, directory, relative.c_str(), &how, sizeof how);
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM)) {
        return static_cast<int>(opened);
    }
    return openBeneathByWalk(directory, relative);
}
}  // namespace

UniqueFd openOutputFile(const std::string& recordingsDir, const std::string& name, bool forceWalk) {
    UniqueFd file;
    if (recordingsDir.empty()) {
        if (name.empty()) {
            errno = ENOENT;
            return file;
        }
        // Any file the server may write, as named; a final link could lead anywhere.
        file.reset(::open(name.c_str(), kOutputFlags | O_NOFOLLOW, kOutputMode));
    } else {
        const std::optional<std::string> relative = relativeToDirectory(recordingsDir, name);
        if (!relative) {
            errno = EXDEV;
            return file;
        }
        UniqueFd directory(::open(recordingsDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) {
            return file;
        }
        file.reset(openBeneath(directory.get(), *relative, forceWalk));
        struct stat info;
        // A second link to the file may name one outside the directory.
        if (file.valid() &&
            (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1)) {
            file.reset();
            errno = EPERM;
        }
    }
    if (!file.valid()) {
        return file;
    }
    if (file.get() <= STDERR_FILENO) {
        // A server started with closed standard streams: a worker points those at /dev/null.
        file.reset(::fcntl(file.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (!file.valid()) {
            return file;
        }
    }
    struct stat info;
    const int flags = ::fcntl(file.get(), F_GETFL);
    // Emptied only now that it is known to be a file of ours; writes to it block as usual.
    if (::fstat(file.get(), &info) != 0 || (S_ISREG(info.st_mode) && ::ftruncate(file.get(), 0)) ||
        flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        file.reset();
    }
    return file;
}

}  // namespace control

ControlInterface::ControlInterface(ControlHost* owner) : server(owner) {
    const ServerSettings& settings = server->serverSettings();
    if (!settings.ctrlAddress.empty()) {
        LOG4CPLUS_INFO(logger, "Control port bound to address: " << settings.ctrlAddress);
    }
    if (!settings.recordingsDir.empty()) {
        LOG4CPLUS_INFO(logger, "Recordings are kept in " << settings.recordingsDir);
    } else if (settings.ctrlAddress.empty()) {
        LOG4CPLUS_WARN(logger, "The control port "
                                   << server->boundControlPort()
                                   << " listens on all addresses without a recordings directory: "
                                      "anyone who reaches it can record into any file. Use "
                                   << "--ctrl-address= and --recordings-dir=");
    }
}

ControlInterface::~ControlInterface() = default;

int ControlInterface::acceptConnection(int listener) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    UniqueFd socket(
        ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC));
    if (!socket.valid()) {
        return errno;
    }
    const uint32_t limit = server->serverSettings().maxControlConnections;
    if (connections.size() >= limit) {
        tamblo::logging::refuseOverLimit(
            &server->counters().controlConnectionsRefused, logger, log4cplus::WARN_LOG_LEVEL,
            server->floodLogs().controlLimit, server->nowSeconds(), "--max-control-connections",
            limit, [&](auto& line) {
                line << "Refusing control connection from " << addressKeyText(peer);
            });
        return 0;  // closed here, before it is read
    }
    const int descriptor = socket.get();
    auto connection = std::make_unique<Connection>();
    connection->owner = this;
    connection->socket = std::move(socket);
    ev_io_init(connection->watcher.get(), readableCb, descriptor, EV_READ);
    connection->watcher.get()->data = connection.get();
    connection->watcher.start(loop);
    ev_init(connection->idle.get(), idleCb);
    connection->idle.get()->data = connection.get();
    restartIdleTimer(connection.get());
    // A descriptor number comes back only after its connection was closed and erased here.
    connections[descriptor] = std::move(connection);
    LOG4CPLUS_DEBUG(logger, "controlInterface: accepted connection (fdListen: "
                                << listener << "), socket: " << descriptor << ")");
    return 0;
}

void ControlInterface::readableCb(struct ev_loop*, ev_io* watcher, int) {
    Connection* connection = static_cast<Connection*>(watcher->data);
    connection->owner->readCommand(connection);
}

void ControlInterface::restartIdleTimer(Connection* connection) const {
    connection->idle.stop();
    ev_timer_set(connection->idle.get(),
                 static_cast<double>(server->serverSettings().controlIdleTimeout), 0.);
    connection->idle.start(loop);
}

void ControlInterface::idleCb(struct ev_loop*, ev_timer* timer, int) {
    Connection* connection = static_cast<Connection*>(timer->data);
    ControlInterface* self = connection->owner;
    const int socket = connection->socket.get();
    if (self->server->recordingReportsTo(socket)) {
        self->restartIdleTimer(connection);  // it waits for its "STOPPED" line
        return;
    }
    ++self->server->counters().controlConnectionsIdleClosed;
    LOG4CPLUS_DEBUG(logger, "controlInterface: closing idle connection: " << socket);
    self->closeConnection(socket);
}

void ControlInterface::readCommand(Connection* connection) {
    const int socket = connection->socket.get();
    char buffer[control::kReadSize + 1];
    const ssize_t received = ::recv(socket, buffer, control::kReadSize, MSG_DONTWAIT);
    if (received > 0) {
        restartIdleTimer(connection);
        const std::string text = trimLineEnds(buffer, static_cast<size_t>(received));
        LOG4CPLUS_DEBUG(logger, "controlInterface: got '" << text << "', from socket: " << socket);
        if (!processControlCmd(socket, text)) {
            closeConnection(socket);
        }
        return;
    }
    if (received == 0) {
        LOG4CPLUS_DEBUG(logger, "controlInterface: disconnected  socket: " << socket);
        closeConnection(socket);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "controlInterface: connection error: " << socket);
    closeConnection(socket);
}

void ControlInterface::closeConnection(int socket) {
    // The recordings it started must not write their stop report to whoever gets this
    // descriptor number next.
    server->forgetControlConnection(socket);
    connections.erase(socket);  // stops the watcher, then closes the socket
}

void ControlInterface::reply(int socket, std::string_view text) const {
    if (::send(socket, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        LOG4CPLUS_DEBUG(logger, "controlInterface: could not reply on socket "
                                    << socket << ": " << std::strerror(errno));
    }
}

bool ControlInterface::processControlCmd(int socket, std::string_view text) {
    const std::vector<std::string_view> fields = control::splitFields(text);
    if (fields.empty()) {
        reply(socket, "ERROR:Missing application\n");
        return false;
    }
    if (fields[kFieldApplication] != kApplication) {
        reply(socket, "ERROR:Invalid application\n");
        return false;
    }
    if (fields.size() <= kFieldCommand) {
        reply(socket, "VIDEORECORDER:ERROR:Missing command\n");
        return false;
    }
    const std::string_view command = fields[kFieldCommand];
    if (command != kStart && command != kStop) {
        reply(socket, "VIDEORECORDER:ERROR:Invalid command\n");
        return false;
    }
    if (fields.size() < kAddressFields) {
        reply(socket, "VIDEORECORDER:ERROR:Insufficient parameters\n");
        return false;
    }
    LOG4CPLUS_DEBUG(logger, "VIDEORECORDER got '" << fields[kFieldMac] << "' '"
                                                  << fields[kFieldCameraIp] << "' '"
                                                  << fields[kFieldCameraPort]);
    if (command == kStop) {
        server->stopVideoRecording(std::string(fields[kFieldMac]),
                                   std::string(fields[kFieldCameraIp]),
                                   portField(fields[kFieldCameraPort]));
        return true;  // the "STOPPED" lines come later, each on its own connection
    }
    return startRecording(socket, fields);
}

bool ControlInterface::startRecording(int socket, const std::vector<std::string_view>& fields) {
    if (fields.size() < kStartFields) {
        return false;
    }
    const std::string_view mac = fields[kFieldMac];
    const std::string_view ip = fields[kFieldCameraIp];
    const uint16_t port = portField(fields[kFieldCameraPort]);
    // Every status line of this recording, the later "STOPPED" included, must fit whole.
    if (!control::statusLine(mac, ip, port, "RECORDING")) {
        LOG4CPLUS_INFO(logger, "controlInterface: MAC and camera address of "
                                   << mac.size() + ip.size()
                                   << " characters do not fit a status line, refusing START");
        reply(socket, "VIDEORECORDER:ERROR:Parameter too long\n");
        return false;
    }
    const std::string codec(fields.size() > kFieldCodec ? fields[kFieldCodec] : "");
    const bool useRtcpOverRtsp = !(fields.size() > kFieldRtcp && fields[kFieldRtcp] == kNoRtcp);
    RecordingRequest request;
    request.cameraIp = std::string(ip);
    request.cameraPort = port;
    request.user = std::string(fields[kFieldUser]);
    request.pass = std::string(fields[kFieldPassword]);
    request.videoUri = std::string(fields[kFieldUrl]);
    request.outputName = std::string(fields[kFieldOutputFile]);
    request.codec = codec;
    request.useRtcpOverRtsp = useRtcpOverRtsp;
    request.fragments = server->serverSettings().recordingFragments;
    const bool started = server->startVideoRecording(std::string(mac), std::move(request), socket);
    const std::string line = *control::statusLine(mac, ip, port, started ? "RECORDING" : "ERROR");
    reply(socket, line);
    LOG4CPLUS_DEBUG(logger, "processControlCmd() outbuf: " << line);
    return started;
}
