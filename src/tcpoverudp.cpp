// The tunnel transport without a TCP stack: every connect fails, every send reports the
// missing connection.
#include "tcpoverudp.h"

#include "Logging.h"
#include "videorecorder.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTcpOverUdp);
}

int tunnelConnect(uint32_t, uint16_t, uint32_t, uint16_t, uint32_t) {
    LOG4CPLUS_WARN(logger, "tunnelConnect: no TCP stack in this build");
    return -1;
}

void tunnelTransportInput(const uint8_t*, uint16_t) {}

uint32_t tunnelSendData(const uint8_t*, uint32_t) {
    LOG4CPLUS_WARN(logger, "tunnelSendData: tcp == NULL");
    tunnelClosed();
    return 0;
}

void tunnelClose() {}

void tunnelIdleTimer() {}
