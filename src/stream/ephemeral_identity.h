#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QSslConfiguration>

namespace sonavert::stream {

/// A TLS identity made in memory for one run of the program: a fresh P-256 key and a
/// certificate over it that no authority vouches for. Nothing needs to trust it by name: each
/// offer carries the key's fingerprint, sealed, and the fetcher pins exactly that.
struct EphemeralIdentity {
    QSslConfiguration configuration; ///< server side, TLS 1.2 or later
    QByteArray keyFingerprint;       ///< SHA-256 of the certificate's public key (DER SPKI)
};

Result<EphemeralIdentity> makeEphemeralIdentity();

} // namespace sonavert::stream
