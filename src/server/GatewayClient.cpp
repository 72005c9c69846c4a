// The gateway client record: addressing, encryption, local ports, channels, session cache.
#include "server/GatewayClient.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "server/TunnelHost.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kGatewayClient);

// A worker hands over at most one pipe message, so the largest plaintext is a whole
// datagram of the receive buffer's size.
constexpr size_t kMaxPlainDatagram = gateway_datagram::kMaxDatagramSize;
constexpr size_t kMaxEnvelopeDatagram = 1 + cryptoSizeWithPadding(kMaxPlainDatagram);

void logUnencryptable(GatewayClientHost& server, const std::string& key, int length) {
    tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, server.floodLogs().unencryptable,
                                server.nowSeconds(), [&](auto& line) {
                                    line << "Could not encrypt datagram of " << length
                                         << " bytes for GC " << key << ", dropping it";
                                });
}
}  // namespace

GatewayClient::GatewayClient(GatewayClientHost* server, std::string key, const sockaddr_in& address,
                             uint32_t localIP, uint16_t localPortStart, uint16_t localPortEnd,
                             uint8_t type, CryptoContextPtr cryptoContext, const timeval& now)
    : server(server),
      key_(std::move(key)),
      address(address),
      localIP(localIP),
      localPortStart(localPortStart),
      localPortEnd(localPortEnd),
      type(type),
      lastKeepaliveTime(now),
      cryptoContext(std::move(cryptoContext)) {
    encrypted = this->cryptoContext ? 1 : 0;
}

GatewayClient::~GatewayClient() {
    // The tunnels outlive the record: they forget it and their workers are told to stop.
    const std::set<GatewayTunnel*> copy = tunnels;
    for (GatewayTunnel* tunnel : copy) {
        tunnel->stopVideoRecording(true);
    }
}

const uint8_t* GatewayClient::getPublicKey() const {
    return cryptoContext ? cryptoGetPublicKey(cryptoContext.get()) : nullptr;
}

bool GatewayClient::keepAlive(const sockaddr_in& sender, const timeval& now) {
    if (sender.sin_addr.s_addr != address.sin_addr.s_addr || sender.sin_port != address.sin_port) {
        return false;
    }
    lastKeepaliveTime = now;
    return true;
}

std::optional<uint16_t> GatewayClient::getNextLocalPort() {
    std::vector<uint16_t> held;
    for (const GatewayTunnel* tunnel : tunnels) {
        if (tunnel->localPort() != 0) {
            held.push_back(tunnel->localPort());
        }
    }
    std::sort(held.begin(), held.end());
    // Every tunnel holds at most one port, so held.size() + 1 candidates always reach a free
    // one when the range has one.
    for (size_t attempt = 0; attempt <= held.size(); ++attempt) {
        const uint16_t port = static_cast<uint16_t>(localPortStart + localPortIndex);
        ++localPortIndex;
        if (static_cast<uint32_t>(localPortStart) + localPortIndex >= localPortEnd) {
            localPortIndex = 0;
        }
        if (!std::binary_search(held.begin(), held.end(), port)) {
            return port;
        }
    }
    return std::nullopt;
}

std::optional<uint8_t> GatewayClient::getNextComponentId() {
    std::vector<int> held;
    for (const GatewayTunnel* tunnel : tunnels) {
        if (tunnel->componentId() >= 0) {
            held.push_back(tunnel->componentId());
        }
    }
    constexpr int kPairs = (kLastComponentId - kFirstComponentId) / 2 + 1;
    for (int attempt = 0; attempt < kPairs; ++attempt) {
        const uint8_t id = nextComponentId;
        nextComponentId = static_cast<uint8_t>(nextComponentId + 2);
        if (nextComponentId > kLastComponentId) {
            nextComponentId = kFirstComponentId;
        }
        if (std::find(held.begin(), held.end(), id) == held.end()) {
            return id;
        }
    }
    return std::nullopt;
}

uint32_t GatewayClient::tcpWindowSize() const {
    switch (type) {
        case 1:
            return 2796;
        case 2:
        case 16:
            return 196607;
        default:
            return 0;  // the worker's stack keeps its default window
    }
}

void GatewayClient::send(const uint8_t* bytes, int length) {
    if (length < 0) {
        return;
    }
    if (link) {
        link->send(bytes, static_cast<size_t>(length));
        return;
    }
    // What a worker sends: tunnel packets, or channel datagrams under their channel id.
    const DatagramKind kind = length > 0 && bytes[0] == TAMBLO_MT_TCPOVERUDP
                                  ? DatagramKind::Tunnel
                                  : DatagramKind::Channel;
    if (!encrypted) {
        uint8_t* datagram = server->reserveDatagram(static_cast<size_t>(length));
        std::memcpy(datagram, bytes, static_cast<size_t>(length));
        server->commitDatagram(static_cast<size_t>(length), address, kind);
        return;
    }
    if (static_cast<size_t>(length) > kMaxPlainDatagram) {
        logUnencryptable(*server, key_, length);
        return;
    }
    // The envelope is made where it leaves from.
    uint8_t* envelope = server->reserveDatagram(kMaxEnvelopeDatagram);
    uint32_t cipherLength = 0;
    envelope[0] = TAMBLO_MT_ENCRYPTED;
    if (cryptoProcessBuf(cryptoContext.get(), CryptoEncrypt, bytes, static_cast<uint32_t>(length),
                         envelope + 1, &cipherLength) == nullptr) {
        // Never fall back to plain text for a client that asked for encryption.
        logUnencryptable(*server, key_, length);
        return;  // nothing committed: the room is handed out again
    }
    server->commitDatagram(cipherLength + 1, address, kind);
}

uint8_t* GatewayClient::decrypt(uint8_t* ciphertext, uint32_t length, uint32_t* outLength) {
    *outLength = 0;
    if (!cryptoContext) {
        return nullptr;
    }
    return cryptoProcessBuf(cryptoContext.get(), CryptoDecrypt, ciphertext, length,
                            ciphertext + kCryptoIvSize, outLength);
}

void GatewayClient::registerTunnel(GatewayTunnel* tunnel) {
    tunnels.insert(tunnel);
}

void GatewayClient::deregisterTunnel(GatewayTunnel* tunnel) {
    LOG4CPLUS_TRACE(logger, "deregister tunnel " << static_cast<const void*>(tunnel));
    tunnels.erase(tunnel);
    for (auto it = channels.begin(); it != channels.end();) {
        it = (it->second == tunnel) ? channels.erase(it) : std::next(it);
    }
}

void GatewayClient::registerChannel(GatewayTunnel* tunnel, uint8_t channel) {
    LOG4CPLUS_DEBUG(logger, "registering channel " << static_cast<char>(channel) << " for tunnel "
                                                   << static_cast<const void*>(tunnel));
    channels.emplace(channel, tunnel);  // an existing binding stays
}

void GatewayClient::deregisterChannel(GatewayTunnel* tunnel, uint8_t channel) {
    LOG4CPLUS_DEBUG(logger, "deregistering channel " << static_cast<char>(channel) << " for tunnel "
                                                     << static_cast<const void*>(tunnel));
    // Only the tunnel that holds a channel lets it go.
    const auto it = channels.find(channel);
    if (it != channels.end() && it->second == tunnel) {
        channels.erase(it);
    }
}

void GatewayClient::receivedData(const uint8_t* datagram, size_t length) {
    const uint8_t channel = datagram[0];
    const auto it = channels.find(channel);
    if (it == channels.end()) {
        ++server->counters().unknownChannelDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, server->floodLogs().unknownChannel,
            server->nowSeconds(),
            [&](auto& line) { line << "cannot find channel for " << static_cast<char>(channel); });
        return;
    }
    it->second->send(channel, datagram, static_cast<uint16_t>(length));
}

std::deque<LanDeviceInfo>::iterator GatewayClient::findCached(uint32_t ldId,
                                                              const std::string& sessionId) {
    return std::find_if(
        cachedLanDevices.begin(), cachedLanDevices.end(),
        [&](const LanDeviceInfo& info) { return info.id == ldId && info.sessionId == sessionId; });
}

void GatewayClient::addLdInfo(uint32_t ldId, const std::string& ip, uint16_t port,
                              const std::string& sessionId, const timeval& now) {
    if (findCached(ldId, sessionId) == cachedLanDevices.end()) {
        cachedLanDevices.emplace_back(ldId, sessionId, ip, port, now);
    }
}

bool GatewayClient::checkForCachedSessionId(uint32_t ldId, const std::string& sessionId) const {
    return std::any_of(
        cachedLanDevices.begin(), cachedLanDevices.end(),
        [&](const LanDeviceInfo& info) { return info.id == ldId && info.sessionId == sessionId; });
}

bool GatewayClient::getCachedData(uint32_t ldId, const std::string& sessionId, std::string* ip,
                                  uint16_t* port, const timeval& now) {
    const auto it = findCached(ldId, sessionId);
    if (it == cachedLanDevices.end()) {
        return false;
    }
    *ip = it->ip;
    *port = it->port;
    it->lastUsageTs = now;
    return true;
}

void GatewayClient::purgeSessionCache(const timeval& now, int timeout) {
    for (auto it = cachedLanDevices.begin(); it != cachedLanDevices.end();) {
        const int64_t idle = static_cast<int64_t>(now.tv_sec) - it->lastUsageTs.tv_sec;
        if (idle > timeout) {
            LOG4CPLUS_DEBUG(
                logger, "Removing cached session ID: " << tamblo::logging::sessionTag(it->sessionId)
                                                       << ", ld: " << it->id);
            it = cachedLanDevices.erase(it);
        } else {
            ++it;
        }
    }
}
