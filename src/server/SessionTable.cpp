// The session table: tunnels by session key, recordings by camera.
#include "server/SessionTable.h"

#include "common/Logging.h"
#include "server/Tunnel.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

std::string SessionTable::recordingKeyOf(const std::string& key) {
    const size_t slash = key.rfind('/');
    return slash == std::string::npos ? key : key.substr(0, slash);
}

void SessionTable::registerSession(Tunnel* tunnel, const std::string& key) {
    LOG4CPLUS_DEBUG(
        logger, "Setting session id " << key << " for tunnel " << static_cast<const void*>(tunnel));
    // A tunnel that changes target must not leave its old key pointing at it.
    const std::string& previous = tunnel->sessionKeyRef();
    if (!previous.empty() && previous != key) {
        const auto it = sessions.find(previous);
        if (it != sessions.end() && it->second == tunnel) {
            sessions.erase(it);
        }
    }
    tunnel->setSessionKey(key);
    sessions[key] = tunnel;
}

void SessionTable::addRecording(Tunnel* tunnel, const std::string& key) {
    sessions[key] = tunnel;
    recordingSessions.emplace(recordingKeyOf(key), tunnel);
}

Tunnel* SessionTable::find(std::string_view key) const {
    const auto it = sessions.find(key, TextKeyHash(), TextKeyEqual());
    return it != sessions.end() ? it->second : nullptr;
}

std::vector<Tunnel*> SessionTable::recordingsOf(const std::string& recordingKey) const {
    std::vector<Tunnel*> tunnels;
    const auto range = recordingSessions.equal_range(recordingKey);
    for (auto entry = range.first; entry != range.second; ++entry) {
        tunnels.push_back(entry->second);
    }
    return tunnels;
}

void SessionTable::remove(Tunnel* tunnel) {
    const std::string& key = tunnel->sessionKeyRef();
    LOG4CPLUS_DEBUG(logger, "removing tunnel with key " << key);
    const auto it = sessions.find(key);
    if (it != sessions.end() && it->second == tunnel) {
        sessions.erase(it);
    }
    const auto range = recordingSessions.equal_range(recordingKeyOf(key));
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == tunnel) {
            recordingSessions.erase(entry);
            break;
        }
    }
}

void SessionTable::clear() {
    sessions.clear();
    recordingSessions.clear();
}
