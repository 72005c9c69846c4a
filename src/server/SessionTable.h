// The session table: which tunnel serves which session key ("gateway address/device/local
// port"), the key a tunnel segment from a gateway names, and the recordings by camera
// ("gateway address/camera"), which a STOP names without a port.
//
// The server object owns one; tunnels register their key through the server when a session
// is authorised and leave in their destructor, recordings are entered at their start.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/AddressKey.h"

class Tunnel;

class SessionTable {
  public:
    // A session key without its local port: the recordings of one camera.
    static std::string recordingKeyOf(const std::string& key);

    // The tunnel's session is key now; a key it had before no longer names it.
    void registerSession(Tunnel* tunnel, const std::string& key);
    // A recording's tunnel under its key, and under its camera.
    void addRecording(Tunnel* tunnel, const std::string& key);
    Tunnel* find(std::string_view key) const;
    std::vector<Tunnel*> recordingsOf(const std::string& recordingKey) const;
    // Only this tunnel's own entries: another live tunnel may have registered the same key.
    void remove(Tunnel* tunnel);
    void clear();
    size_t size() const { return sessions.size(); }

  private:
    TextTable<Tunnel*> sessions;
    TextMultiTable<Tunnel*> recordingSessions;
};
