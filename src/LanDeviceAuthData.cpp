// Building and reading the authorisation record of the pipe protocol.
#include "LanDeviceAuthData.h"

LanDeviceAuthData makeLanDeviceAuthData() {
    LanDeviceAuthData record;
    std::memset(&record, 0, sizeof record);
    return record;
}

std::optional<LanDeviceAuthData> decodeLanDeviceAuthData(const uint8_t* bytes, size_t length) {
    if (length != kLanDeviceAuthDataSize) {
        return std::nullopt;
    }
    LanDeviceAuthData record;
    std::memcpy(&record, bytes, sizeof record);
    // A writer that filled a field to the brim must not make readers run past it.
    record.mac[sizeof record.mac - 1] = '\0';
    record.sessionId[sizeof record.sessionId - 1] = '\0';
    record.ipAddress[sizeof record.ipAddress - 1] = '\0';
    record.ipOverride[sizeof record.ipOverride - 1] = '\0';
    return record;
}
