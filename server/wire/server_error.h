#pragma once

#include "src/runtime/result.h"

#include <QString>
#include <optional>

namespace sonavert::cloud {

/// The protocol's error codes; each value is the client-side error number it maps to.
enum class ServerErrorCode {
    InternalError = 1,
    TryAgainLater = 6,
    Throttled = 7,
    AuthenticationRequired = 9,
    AccessDenied = 10,
    NotFound = 11,
    BadRequest = 12,
    ServerRecordChanged = 14, ///< a create found the record there already
    ChangeTokenExpired = 21,
    QuotaExceeded = 25,
    ZoneNotFound = 26,
    LimitExceeded = 27,
    UserDeletedZone = 28,
};

/// Domain of errors meant for clients. An Error of any other domain is internal: clients only
/// ever see it as INTERNAL_ERROR.
inline constexpr char kCloudErrorDomain[] = "CloudServer";

/// Refusals a device tells apart by more than their code: each is answered with the code it
/// belongs to and a `reasonCode` naming it, so the device acts on that name and never on the
/// reason's words. An error of such a refusal carries the reason as its code.
enum class ServerErrorReason {
    /// BAD_REQUEST: a signed-in device of the account already has the name a token was asked
    /// for; the device may ask again under another name.
    DeviceNameTaken = 1001,
};

/// An error a client may see, with the reason text sent to it.
Error cloudError(ServerErrorCode code, const QString& reason);
Error cloudError(ServerErrorReason reasonCode, const QString& reason);
/// The protocol code of `error`, or nothing when the error is internal.
std::optional<ServerErrorCode> serverErrorCodeOf(const Error& error);
/// "DEVICE_NAME_TAKEN"..., or nothing when `error` is no refusal of ServerErrorReason.
std::optional<QString> reasonCodeOf(const Error& error);
bool isCloudError(const Error& error, ServerErrorCode code);

/// "BAD_REQUEST", "ZONE_NOT_FOUND"...
QString serverErrorCodeName(ServerErrorCode code);
/// The HTTP status of a whole-request error with this code.
int httpStatusOf(ServerErrorCode code);

} // namespace sonavert::cloud
