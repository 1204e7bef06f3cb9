#pragma once

#include "src/runtime/result.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <memory>

namespace sonavert::clouddb {

/// How a device trusts its cloud server's certificate: the system's store, plus the
/// authorities of a CA file given for a self-signed set-up. Shared by the database client and
/// the push channel, so that a refused certificate is logged once for both, in words that say
/// what to do, and again only after a trusted connection or for another reason.
class CloudTrust {
public:
    /// The system's store alone.
    CloudTrust();
    /// The system's store and the certificates of `path` (PEM, one or more, or one DER); a
    /// file that cannot be read or holds none is an error naming it.
    static Result<std::shared_ptr<CloudTrust>> withAuthorityFile(const QString& path);

    /// What a connection to the server is opened with: TLS 1.2 or later, these authorities.
    const QSslConfiguration& configuration() const { return m_configuration; }
    /// The error for a certificate the server showed and this device refused, e.g. "the
    /// certificate of cloud.example.org is not trusted (self-signed); pass --cloud-ca FILE".
    Error refuse(const QString& host, const QList<QSslError>& errors);
    /// A connection was trusted: the next refusal is news again.
    void noteTrusted() { m_lastReported.clear(); }

    /// The words of `refuse`, without logging.
    static QString refusalText(const QString& host, const QList<QSslError>& errors);

private:
    explicit CloudTrust(const QList<QSslCertificate>& authorities);

    QSslConfiguration m_configuration;
    QString m_lastReported;
};

} // namespace sonavert::clouddb
