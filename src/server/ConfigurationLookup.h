// The parent's lookup at the configuration service (HTTP on 127.0.0.1:--rest-port): the
// request for one target, the rules an answer must pass, and an asynchronous client on the
// parent's loop that never blocks it.
//
// A proxy tunnel owns the lookup of its worker's query (Tunnel.cpp): it makes one on a cache
// miss, and the lookup ends with the tunnel (cancel()), so no answer ever reaches a tunnel
// that is gone. Only what this unit read from the service's own answer authorises a session;
// nothing of it comes from a worker but the ids and the session id, which the pipe decoder
// checked (LanDeviceAuthData.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "protocol/LanDeviceAuthData.h"

// "/hm/ld/<ld>" for a LAN device target, "/hm/gc/<gc>" for the gateway client itself.
std::string restPath(const char* gcId, const char* ldId);
// The body of a raw HTTP answer whose status line is "HTTP/1.x 200": what follows the
// blank line that ends the header block; nullptr for any other answer.
const char* httpAnswerBody(const char* answer);
// Reads the fields of a whole zero-terminated HTTP answer for the target (an empty LD id:
// a gateway lookup); false (with its WARN line) when the lookup fails.
bool parseConfiguration(const char* answer, const char* gcId, const char* ldId, std::string* serial,
                        std::string* deviceAddress, uint16_t* devicePort);

// The ids of a query as the configuration service is asked for them.
struct LookupRequest {
    std::string gcId;  // decimal
    std::string ldId;  // decimal, "-" before ids below 0; empty for the gateway itself
    std::string sessionId;
    bool gatewayLookup() const { return ldId.empty(); }
};
LookupRequest lookupRequestFor(const CachedSessionQuery& query);

class ConfigurationLookup {
  public:
    // A service that stops answering must not hold a connection's set-up for ever.
    static constexpr double kDeadlineSeconds = 30;
    // The answer is read into this much (its last byte kept for the terminator); a longer
    // answer is cut there and parsed as it is.
    static constexpr size_t kAnswerSize = 524288;

    enum class Outcome {
        Found,    // the service's answer passed: the configuration below
        Refused,  // the service answered, and not with a configuration that passes
        Failed,   // the service could not be asked (connect, write, read, deadline)
    };
    struct Configuration {
        std::string serial;                       // the gateway client's key
        std::string deviceAddress = "127.0.0.1";  // device lookups: from the answer
        uint16_t devicePort = 80;
    };
    // Called once, on the loop, unless the lookup was cancelled first. It may cancel the
    // lookup; it must not destroy it.
    using Done = std::function<void(Outcome, const Configuration&)>;

    ConfigurationLookup(struct ev_loop* loop, uint16_t restPort, LookupRequest request, Done done,
                        double deadlineSeconds = kDeadlineSeconds);
    ~ConfigurationLookup();
    ConfigurationLookup(const ConfigurationLookup&) = delete;
    ConfigurationLookup& operator=(const ConfigurationLookup&) = delete;

    // Connects and sends the request; the answer comes through done (never from inside
    // start()).
    void start();
    // Stops everything and forgets done.
    void cancel();
    bool pending() const { return stage_ != Stage::Done; }
    // The connection to the service (-1 when none): a worker forked meanwhile closes it.
    int descriptor() const { return socket_.get(); }

  private:
    enum class Stage { Idle, Connecting, Writing, Reading, Done };

    void io_cb(int revents);
    void deadline_cb(int revents);
    void begin_cb(int revents);
    void connect();
    void connected();
    void writeRequest();
    void readAnswer();
    void answerComplete();
    void failWithError(int error);
    void finish(Outcome outcome, const Configuration& configuration);
    void watch(int events);

    struct ev_loop* loop_;
    uint16_t restPort_;
    LookupRequest request_;
    std::string path_;
    Done done_;
    double deadlineSeconds_;
    Stage stage_ = Stage::Idle;
    UniqueFd socket_;
    EvIo io_;
    EvTimer deadline_;
    EvTimer begin_;  // start() hands the first step to the loop
    std::string requestText_;
    size_t written_ = 0;
    std::string answer_;
};
