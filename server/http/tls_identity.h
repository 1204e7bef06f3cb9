#pragma once

#include "src/runtime/result.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

namespace sonavert::cloud {

/// The server side of TLS from a PEM certificate (its chain may follow it in the same file)
/// and its unencrypted PEM private key: TLS 1.2 and later only. A file that cannot be read,
/// holds no certificate or key, or a key that does not belong to the certificate is an error
/// naming the file, so the server never starts with an identity no client could accept.
Result<QSslConfiguration> loadTlsIdentity(const QString& certificateFile, const QString& keyFile);

/// The server's side of TLS with `chain` (the certificate first) and its `key`.
QSslConfiguration serverTlsConfiguration(const QList<QSslCertificate>& chain, const QSslKey& key);

/// An unencrypted PEM private key of any algorithm a server key may have; an error names
/// `path`.
Result<QSslKey> parsePrivateKey(const QByteArray& pem, const QString& path);

} // namespace sonavert::cloud
