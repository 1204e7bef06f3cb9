#pragma once

#include "src/runtime/result.h"

namespace sonavert {

/// The cloud service's own errors; their descriptions are shown to the user unchanged.
namespace service_error {

inline const QString kDomain = QStringLiteral("ServiceError");

enum class Code { ICloudUnavailable = 1, RequestTimedOut = 2 };
inline QString errorDomain(Code) {
    return kDomain;
}

inline Error iCloudUnavailable() {
    return makeError(
        Code::ICloudUnavailable,
        QStringLiteral("Your Sonavert account is not available. Sign in on this computer."));
}

inline Error requestTimedOut() {
    return makeError(Code::RequestTimedOut,
                     QStringLiteral("The push timed out after 3 attempts. Please try again."));
}

inline bool isRequestTimedOut(const Error& error) {
    return error.is(Code::RequestTimedOut);
}

inline const QString kEncodingDomain = QStringLiteral("EncodingError");
inline const QString kDecodingDomain = QStringLiteral("DecodingError");

/// A playback state that could not be written into a handoff (domain "EncodingError").
enum class EncodingCode { CannotEncode = 1 };
inline QString errorDomain(EncodingCode) {
    return kEncodingDomain;
}
/// A handoff that could not be read (domain "DecodingError").
enum class DecodingCode { WrongFormat = 1 };
inline QString errorDomain(DecodingCode) {
    return kDecodingDomain;
}

} // namespace service_error
} // namespace sonavert
