// The server's record of one registered gateway client: where its datagrams go and
// whether they are encrypted, the local ports and channel ids that workers use on its
// LAN side, the tunnels working through it with their channels, and its cache of
// authorised LAN device sessions. Created by registration, owned by the server's client
// table, destroyed by re-registration, a refused keepalive or expiry. It reaches the server
// only through GatewayClientHost (the send batch, the counters, the log limiters).
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "encryption.h"

class GatewayClientHost;

// What a gateway client needs of the tunnels that run through it (Tunnel is one).
class GatewayTunnel {
  public:
    // Asks the tunnel's worker to stop; with the flag set the client record is going away.
    virtual void stopVideoRecording(bool gatewayClientDeleted) = 0;
    // Values the tunnel holds on this client: 0 / -1 when none.
    virtual uint16_t localPort() const = 0;
    virtual int componentId() const = 0;
    // A channel datagram from the gateway for the tunnel's worker.
    virtual void send(uint8_t type, const uint8_t* bytes, uint16_t length) = 0;

  protected:
    ~GatewayTunnel() = default;
};

// The sealed transport of a gateway that registered through the authenticated handshake: the
// record's datagrams leave through it, and it goes with the record (AuthenticatedGateways).
class SealedLink {
  public:
    virtual ~SealedLink() = default;
    virtual void send(const uint8_t* bytes, size_t length) = 0;
};

// One authorised (LAN device, session) pair of the session cache.
struct LanDeviceInfo {
    LanDeviceInfo(uint32_t id, std::string sessionId, std::string ip, uint16_t port,
                  const timeval& now)
        : id(id),
          sessionId(std::move(sessionId)),
          ip(std::move(ip)),
          port(port),
          lastUsageTs(now) {}

    uint32_t id;
    int32_t keyref = -1;
    std::string sessionId;
    std::string ip;
    uint16_t port;
    timeval lastUsageTs;
};

class GatewayClient {
  public:
    static constexpr uint8_t kFirstComponentId = 128;
    static constexpr uint8_t kLastComponentId = 192;  // pairs up to (192, 193)

    // cryptoContext is set (with the peer key installed) for clients that registered
    // with a key; their outgoing datagrams are then wrapped in the envelope.
    GatewayClient(GatewayClientHost* server, std::string key, const sockaddr_in& address,
                  uint32_t localIP, uint16_t localPortStart, uint16_t localPortEnd, uint8_t type,
                  CryptoContextPtr cryptoContext, const timeval& now);
    virtual ~GatewayClient();
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

    const std::string& key() const { return key_; }
    const sockaddr_in& getAddress() const { return address; }
    const uint8_t* getPublicKey() const;  // the server's public key for this client
    uint32_t getLocalIP() const { return localIP; }
    uint32_t id() const { return m_id; }
    void id(uint32_t value) { m_id = value; }
    bool isEncrypted() const { return encrypted != 0; }
    // Registered through the authenticated handshake: its datagrams travel only in its link.
    bool isAuthenticated() const { return link != nullptr; }
    void attachLink(std::unique_ptr<SealedLink> sealed) { link = std::move(sealed); }
    SealedLink* sealedLink() const { return link.get(); }
    // Takes tunnel segments and channel datagrams only inside an envelope or the link.
    bool sealedOnly() const { return isEncrypted() || isAuthenticated(); }

    time_t lastKeepalive() const { return lastKeepaliveTime.tv_sec; }
    // True, and the keepalive time refreshed, when the sender is the registered address.
    bool keepAlive(const sockaddr_in& sender, const timeval& now);

    // The next port of the local range, cycling, passing over ports that a live tunnel of
    // this client still holds; nothing when every port of the range is held.
    std::optional<uint16_t> getNextLocalPort();
    // The next channel id pair (id, id + 1), cycling 128, 130, ..., 192, passing over pairs
    // still held by a live tunnel; nothing when all 33 pairs are held.
    std::optional<uint8_t> getNextComponentId();
    uint32_t tcpWindowSize() const;

    // One datagram to the client, in the envelope when the client registered with a key. It
    // leaves with the server's other datagrams of this pass of the loop.
    void send(const uint8_t* bytes, int length);
    // Decrypts an envelope in place; the plaintext starts 16 bytes into the ciphertext.
    // Nothing (and *outLength 0) when it does not decrypt.
    uint8_t* decrypt(uint8_t* ciphertext, uint32_t length, uint32_t* outLength);

    void registerTunnel(GatewayTunnel* tunnel);
    void deregisterTunnel(GatewayTunnel* tunnel);
    void registerChannel(GatewayTunnel* tunnel, uint8_t channel);
    // Unbinds the channel when this tunnel holds it; another tunnel's binding stays.
    void deregisterChannel(GatewayTunnel* tunnel, uint8_t channel);
    // Routes a channel datagram (first byte = channel id) to the tunnel that owns it.
    void receivedData(const uint8_t* datagram, size_t length);
    const std::set<GatewayTunnel*>& getTunnels() const { return tunnels; }

    // Session cache.
    void addLdInfo(uint32_t ldId, const std::string& ip, uint16_t port,
                   const std::string& sessionId, const timeval& now);
    bool checkForCachedSessionId(uint32_t ldId, const std::string& sessionId) const;
    // Copies address and port of the entry and marks it used; outputs unchanged on a miss.
    bool getCachedData(uint32_t ldId, const std::string& sessionId, std::string* ip, uint16_t* port,
                       const timeval& now);
    void purgeSessionCache(const timeval& now, int timeout);
    const std::deque<LanDeviceInfo>& cachedSessions() const { return cachedLanDevices; }

  private:
    std::deque<LanDeviceInfo>::iterator findCached(uint32_t ldId, const std::string& sessionId);

    GatewayClientHost* server;
    std::string key_;
    sockaddr_in address;
    uint32_t localIP;
    uint16_t localPortStart;
    uint16_t localPortEnd;
    uint16_t localPortIndex = 0;
    uint8_t type;
    timeval lastKeepaliveTime;
    std::set<GatewayTunnel*> tunnels;
    CryptoContextPtr cryptoContext;
    int encrypted = 0;
    std::map<uint8_t, GatewayTunnel*> channels;
    uint32_t m_id = 0;
    std::deque<LanDeviceInfo> cachedLanDevices;
    uint8_t nextComponentId = kFirstComponentId;
    std::unique_ptr<SealedLink> link;
};
