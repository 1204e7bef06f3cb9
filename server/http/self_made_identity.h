#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace sonavert::cloud {

/// The TLS identity a server makes for itself when it serves beyond loopback and was given
/// none: no authority vouches for it, so devices pin its public key (the fingerprint), which
/// the invitation carries. The key is made once and kept; the certificate over it is renewed,
/// with the same key, before it expires, so a pin holds for the life of the key.
struct SelfMadeIdentity {
    QSslConfiguration configuration;
    QSslCertificate certificate;
    /// SHA-256 of the certificate's public key (its DER SubjectPublicKeyInfo).
    QByteArray keyFingerprint;
    enum class Origin { Kept, Renewed, Made };
    Origin origin = Origin::Kept;
};

/// How long a certificate it makes is valid, and how long before its end it is made again.
inline constexpr qint64 kSelfMadeValidityDays = 397;
inline constexpr qint64 kSelfMadeRenewalDays = 30;

/// The identity kept in `folder` (key.pem, owner only, and certificate.pem), made when there is
/// none and renewed when it has less than kSelfMadeRenewalDays left at `now`. `hostName`
/// names the certificate. A key that cannot be read is an error: a new key would break every
/// device's pin without telling anyone, so it is never replaced silently.
Result<SelfMadeIdentity> loadOrMakeIdentity(const QString& folder, const QString& hostName,
                                            const QDateTime& now);

/// The fingerprint devices pin: SHA-256 of the certificate's DER SubjectPublicKeyInfo.
QByteArray publicKeyFingerprint(const QSslCertificate& certificate);

/// A fingerprint as people compare it: hex in groups of four ("3f2a 9c1b …").
QString fingerprintText(const QByteArray& fingerprint);

} // namespace sonavert::cloud
