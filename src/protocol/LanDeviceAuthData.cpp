// Building and reading the cached-session query of the pipe protocol.
#include "protocol/LanDeviceAuthData.h"

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

const char* queryFaultText(QueryFault fault) {
    switch (fault) {
        case QueryFault::Length:
            return "not a query record";
        case QueryFault::Target:
            return "no such target";
        case QueryFault::Service:
            return "no such service";
        case QueryFault::SessionId:
            return "session id unfit for the configuration request";
    }
    return "refused";
}

bool validSessionId(std::string_view sessionId) {
    for (const char c : sessionId) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == ';' || c == ',' || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

LanDeviceAuthData encodeCachedSessionQuery(const CachedSessionQuery& query) {
    LanDeviceAuthData record = makeLanDeviceAuthData();
    record.gcId = query.gcId;
    record.ldId = query.ldId;
    setAuthText(record.sessionId, query.sessionId);
    record.target = static_cast<uint8_t>(query.target);
    record.service = static_cast<uint8_t>(query.service);
    return record;
}

std::optional<CachedSessionQuery> decodeCachedSessionQuery(const uint8_t* bytes, size_t length,
                                                           QueryFault* fault) {
    const std::optional<LanDeviceAuthData> record = decodeLanDeviceAuthData(bytes, length);
    if (!record) {
        *fault = QueryFault::Length;
        return std::nullopt;
    }
    CachedSessionQuery query;
    query.gcId = record->gcId;
    query.ldId = record->ldId;
    switch (record->target) {
        case static_cast<uint8_t>(TargetKind::Device):
            if (record->ldId == 0) {
                *fault = QueryFault::Target;  // device 0 is asked of the service, not the cache
                return std::nullopt;
            }
            query.target = TargetKind::Device;
            break;
        case static_cast<uint8_t>(TargetKind::Gateway):
            if (record->ldId != 0) {
                *fault = QueryFault::Target;
                return std::nullopt;
            }
            query.target = TargetKind::Gateway;
            break;
        case static_cast<uint8_t>(TargetKind::DeviceNotAboveZero):
            query.target = TargetKind::DeviceNotAboveZero;
            break;
        default:
            *fault = QueryFault::Target;
            return std::nullopt;
    }
    const std::optional<RelayService> service = serviceFromByte(record->service);
    if (!service) {
        *fault = QueryFault::Service;
        return std::nullopt;
    }
    query.service = *service;
    query.sessionId = record->sessionId;
    if (!validSessionId(query.sessionId)) {
        *fault = QueryFault::SessionId;
        return std::nullopt;
    }
    return query;
}
