#pragma once

#include "src/runtime/result.h"

namespace sonavert {

/// The cloud service's own errors; their descriptions are shown to the user unchanged.
namespace service_error {

inline const QString kDomain = QStringLiteral("ServiceError");

enum class Code { ICloudUnavailable = 1, RequestTimedOut = 2 };

inline Error iCloudUnavailable() {
    return makeError(
        kDomain, static_cast<int>(Code::ICloudUnavailable),
        QStringLiteral("Your Sonavert account is not available. Sign in on this computer."));
}

inline Error requestTimedOut() {
    return makeError(kDomain, static_cast<int>(Code::RequestTimedOut),
                     QStringLiteral("The push timed out after 3 attempts. Please try again."));
}

inline bool isRequestTimedOut(const Error& error) {
    return error.is(kDomain, static_cast<int>(Code::RequestTimedOut));
}

} // namespace service_error
} // namespace sonavert
