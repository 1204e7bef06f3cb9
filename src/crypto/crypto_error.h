#pragma once

#include "src/runtime/result.h"

#include <iterator>

namespace sonavert::crypto {

inline const QString kCryptoErrorDomain = QStringLiteral("SonavertCrypto");

/// Codes of the domain "SonavertCrypto". Every refusal is a value: nothing here throws, and
/// no input, however mangled, gets further than its check.
enum class CryptoErrorCode {
    Unavailable = 1,    ///< the crypto library did not start
    BadKey = 2,         ///< a key of the wrong length or encoding
    UnknownVersion = 3, ///< a sealed text of a format this device does not know
    Malformed = 4,      ///< not a sealed text, or cut short
    UnknownKey = 5,     ///< sealed under a key this device does not hold
    Refused = 6,        ///< does not authenticate: another key, record or field, or tampered
    NoKey = 7,          ///< this device does not hold the account key yet
    InClear = 8,        ///< a private field in clear, where only a sealed value belongs
    RetiredKey = 9,     ///< a command sealed under a key a rotation replaced
};
inline QString errorDomain(CryptoErrorCode) {
    return kCryptoErrorDomain;
}

inline Error cryptoError(CryptoErrorCode code, QString description) {
    return makeError(code, std::move(description));
}

inline Error cryptoUnavailable() {
    return cryptoError(CryptoErrorCode::Unavailable,
                       QStringLiteral("The encryption library could not be started."));
}

/// What a device without the account key says when asked to send a song: it cannot seal it,
/// and it will not send it in clear.
inline QString noKeyText() {
    return QStringLiteral("This computer cannot read or send your playback yet: verify it from "
                          "one of your computers that can (sonavertctl verify NAME there).");
}

/// The short name of a code, as event lines give it.
inline const char* cryptoErrorReason(int code) {
    static const char* const kReasons[] = {"other",     "unavailable", "bad_key", "unknown_version",
                                           "malformed", "unknown_key", "refused", "no_key",
                                           "in_clear",  "retired_key"};
    return code >= 1 && code < int(std::size(kReasons)) ? kReasons[code] : kReasons[0];
}

} // namespace sonavert::crypto
