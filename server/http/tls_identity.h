#pragma once

#include "src/runtime/result.h"

#include <QSslConfiguration>

namespace sonavert::cloud {

/// The server side of TLS from a PEM certificate (its chain may follow it in the same file)
/// and its unencrypted PEM private key: TLS 1.2 and later only. A file that cannot be read,
/// holds no certificate or key, or a key that does not belong to the certificate is an error
/// naming the file, so the server never starts with an identity no client could accept.
Result<QSslConfiguration> loadTlsIdentity(const QString& certificateFile, const QString& keyFile);

} // namespace sonavert::cloud
