#pragma once

#include "src/runtime/result.h"

namespace sonavert::clouddb {

/// Error domain of the cloud database; codes are the platform's.
inline const QString kCloudErrorDomain = QStringLiteral("CloudDatabase");

enum class CloudErrorCode {
    InternalError = 1,
    PartialFailure = 2,
    NetworkUnavailable = 3,
    NetworkFailure = 4,
    ServiceUnavailable = 6,
    RequestRateLimited = 7,
    NotAuthenticated = 9,
    PermissionFailure = 10,
    UnknownItem = 11,
    InvalidArguments = 12,
    ServerRecordChanged = 14,
    OperationCancelled = 20,
    ChangeTokenExpired = 21,
    QuotaExceeded = 25,
    ZoneNotFound = 26,
    LimitExceeded = 27,
    UserDeletedZone = 28,
};
inline QString errorDomain(CloudErrorCode) {
    return kCloudErrorDomain;
}

/// An error of the cloud database with a user-readable description of `code`; `detail` (the
/// server's reason) is appended when given.
Error cloudError(CloudErrorCode code, const QString& detail = {});
/// A partial failure carrying the per-item errors (each with its `itemID`).
Error partialFailure(std::vector<Error> itemErrors);
bool isCloudError(const Error& error, CloudErrorCode code);

} // namespace sonavert::clouddb
