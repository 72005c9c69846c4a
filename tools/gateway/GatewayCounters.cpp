// The counters' log line.
#include "GatewayCounters.h"

#include <cstdio>

#include "Log.h"

namespace glog = gateway_log;

void logCounters(const GatewayCounters& c) {
    const struct {
        const char* name;
        uint64_t value;
    } entries[] = {
        {"datagrams_in", c.datagramsIn},           {"segments_to_tun", c.segmentsToTun},
        {"keepalive_answers", c.keepaliveAnswers}, {"accepts", c.accepts},
        {"ignored", c.channelOrUnknown},           {"malformed", c.malformedDatagrams},
        {"undecryptable", c.undecryptable},        {"tun_write_errors", c.tunWriteErrors},
        {"packets_from_tun", c.packetsFromTun},    {"refused", c.packetsRefused},
        {"datagrams_out", c.datagramsOut},         {"send_errors", c.sendErrors},
        {"registrations", c.registrations},        {"keepalives", c.keepalives},
        {"associations_lost", c.associationsLost}, {"plaintext_refused", c.plaintextRefused},
        {"accepts_refused", c.acceptsRefused},     {"destinations_refused", c.destinationsRefused},
        {"tun_packets_out", c.tunPacketsOut},      {"udp_messages_out", c.udpMessagesOut},
        {"server_moves", c.serverMoves},           {"rekeys", c.rekeys},
        {"cookie_replies", c.cookieReplies},
    };
    // name=value pairs on one line, easy to read and to parse.
    char text[1536] = "";
    size_t used = 0;
    for (const auto& entry : entries) {
        const int n = std::snprintf(text + used, sizeof text - used, " %s=%llu", entry.name,
                                    static_cast<unsigned long long>(entry.value));
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - used) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    glog::line("counters:%s", text);
}
