#include "server/wire/server_error.h"

#include <array>

namespace sonavert::cloud {

namespace {

struct CodeInfo {
    ServerErrorCode code;
    const char* name;
    int httpStatus;
};

// Per-item codes (NOT_FOUND, CHANGE_TOKEN_EXPIRED, USER_DELETED_ZONE) still need a status for
// the rare case where one ends a whole request; they take the closest HTTP meaning.
constexpr std::array<CodeInfo, 13> kCodes{{
    {ServerErrorCode::InternalError, "INTERNAL_ERROR", 500},
    {ServerErrorCode::TryAgainLater, "TRY_AGAIN_LATER", 503},
    {ServerErrorCode::Throttled, "THROTTLED", 429},
    {ServerErrorCode::AuthenticationRequired, "AUTHENTICATION_REQUIRED", 401},
    {ServerErrorCode::AccessDenied, "ACCESS_DENIED", 403},
    {ServerErrorCode::NotFound, "NOT_FOUND", 404},
    {ServerErrorCode::BadRequest, "BAD_REQUEST", 400},
    {ServerErrorCode::ServerRecordChanged, "SERVER_RECORD_CHANGED", 409},
    {ServerErrorCode::ChangeTokenExpired, "CHANGE_TOKEN_EXPIRED", 410},
    {ServerErrorCode::QuotaExceeded, "QUOTA_EXCEEDED", 413},
    {ServerErrorCode::ZoneNotFound, "ZONE_NOT_FOUND", 404},
    {ServerErrorCode::LimitExceeded, "LIMIT_EXCEEDED", 413},
    {ServerErrorCode::UserDeletedZone, "USER_DELETED_ZONE", 404},
}};

struct ReasonInfo {
    ServerErrorReason reason;
    ServerErrorCode code;
    const char* name;
};

constexpr std::array<ReasonInfo, 1> kReasons{{
    {ServerErrorReason::DeviceNameTaken, ServerErrorCode::BadRequest, "DEVICE_NAME_TAKEN"},
}};

const ReasonInfo* reasonInfoOf(const Error& error) {
    if (error.domain != QLatin1String(kCloudErrorDomain))
        return nullptr;
    for (const auto& info : kReasons) {
        if (static_cast<int>(info.reason) == error.code)
            return &info;
    }
    return nullptr;
}

const CodeInfo& infoOf(ServerErrorCode code) {
    for (const auto& info : kCodes) {
        if (info.code == code)
            return info;
    }
    return kCodes.front();
}

} // namespace

Error cloudError(ServerErrorCode code, const QString& reason) {
    return makeError(QString::fromLatin1(kCloudErrorDomain), static_cast<int>(code), reason);
}

Error cloudError(ServerErrorReason reasonCode, const QString& reason) {
    return makeError(QString::fromLatin1(kCloudErrorDomain), static_cast<int>(reasonCode), reason);
}

std::optional<ServerErrorCode> serverErrorCodeOf(const Error& error) {
    if (error.domain != QLatin1String(kCloudErrorDomain))
        return std::nullopt;
    if (const ReasonInfo* info = reasonInfoOf(error))
        return info->code;
    for (const auto& info : kCodes) {
        if (static_cast<int>(info.code) == error.code)
            return info.code;
    }
    return std::nullopt;
}

std::optional<QString> reasonCodeOf(const Error& error) {
    if (const ReasonInfo* info = reasonInfoOf(error))
        return QString::fromLatin1(info->name);
    return std::nullopt;
}

bool isCloudError(const Error& error, ServerErrorCode code) {
    return serverErrorCodeOf(error) == code;
}

QString serverErrorCodeName(ServerErrorCode code) {
    return QString::fromLatin1(infoOf(code).name);
}

int httpStatusOf(ServerErrorCode code) {
    return infoOf(code).httpStatus;
}

} // namespace sonavert::cloud
