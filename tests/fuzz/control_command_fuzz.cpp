// Commands on the control port as the control interface takes them: one read is one command,
// split into fields, checked, answered on the connection. No gateway is registered, so a
// START that passes the grammar ends at the gateway lookup and never forks a worker.
//
// Input: the command text (at most one read's worth).
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string_view>

#include "FuzzTarget.h"
#include "server/ControlInterface.h"
#include "server/TambloServer.h"

namespace {
struct Harness {
    Harness() {
        loop = ev_default_loop(0);
        ServerSettings settings;
        settings.gcPort = 0;
        settings.ctrlPort = 0;
        settings.proxyPort = 0;
        settings.restPort = 0;
        settings.ctrlAddress = "127.0.0.1";
        server = std::make_unique<TambloServer>(settings);
        control = std::make_unique<ControlInterface>(server.get());
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends);
    }
    // What the interface answered is read and dropped, so the socket never fills.
    void drain() const {
        char bytes[4096];
        while (::read(ends[1], bytes, sizeof bytes) > 0) {
        }
    }
    std::unique_ptr<TambloServer> server;
    std::unique_ptr<ControlInterface> control;
    int ends[2] = {-1, -1};
};

Harness& harness() {
    static Harness instance;
    return instance;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    const size_t length = size < control::kReadSize ? size : control::kReadSize;
    h.control->processControlCmd(h.ends[0],
                                 std::string_view(reinterpret_cast<const char*>(data), length));
    h.drain();
    return 0;
}
