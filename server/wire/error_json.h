#pragma once

#include "src/runtime/result.h"

#include <QJsonObject>

namespace sonavert::cloud {

/// The one place errors become JSON, for a whole request and for one item alike:
/// {"uuid", "serverErrorCode", "reason", "ckErrorCode", "reasonCode"?, "retryAfter"?} plus
/// `itemKeys` (which record, zone or subscription it is about). An internal error is logged under
/// its uuid and sent as INTERNAL_ERROR with a fixed reason, so no detail of the server leaves it.
QJsonObject errorToJson(const Error& error, const QJsonObject& itemKeys = {});

/// The HTTP status for `error` ending a whole request.
int httpStatusOfError(const Error& error);

} // namespace sonavert::cloud
