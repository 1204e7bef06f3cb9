#pragma once

#include "src/runtime/result.h"

#include <QList>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <memory>

namespace sonavert::clouddb {

inline const QString kOptionsErrorDomain = QStringLiteral("Options");

/// Why the authorities file of `--cloud-ca` was refused (domain "Options").
enum class AuthorityFileErrorCode {
    Unreadable = 1,    ///< the file cannot be read
    NoCertificate = 2, ///< it holds no certificate, in PEM or in DER
};
inline QString errorDomain(AuthorityFileErrorCode) {
    return kOptionsErrorDomain;
}

/// How a device trusts its cloud server's certificate: the system's store, plus the
/// authorities of a CA file given for a self-signed set-up, plus the key of the server's own
/// certificate when the invitation named it (a pin). Shared by the database client and the
/// push channel, so that a refused certificate is logged once for both, in words that say
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

    /// This trust with the server key `fingerprint` pinned (SHA-256 of the certificate's
    /// public key): a certificate with that key is trusted whoever signed it and whatever name
    /// it is made out to; any other still needs an authority. Empty: this trust as it is.
    std::shared_ptr<CloudTrust> pinning(const QByteArray& fingerprint) const;
    const QByteArray& pinnedKey() const { return m_pinnedKey; }
    /// Whether the refused `certificate` is trusted after all: its key is the pinned one.
    bool isPinned(const QSslCertificate& certificate) const;
    /// The fingerprint a pin compares: SHA-256 of the certificate's DER public key.
    static QByteArray keyFingerprint(const QSslCertificate& certificate);
    /// Answers the certificate errors of `reply`: forgiven when the server's certificate is
    /// pinned, else kept in `errors` for the refusal (the reply then fails).
    void watch(QNetworkReply* reply, std::shared_ptr<QList<QSslError>> errors) const;
    /// The error for a certificate the server showed and this device refused, e.g. "the
    /// certificate of cloud.example.org is not trusted (self-signed); pass --cloud-ca FILE".
    Error refuse(const QString& host, const QList<QSslError>& errors);
    /// A connection was trusted: the next refusal is news again.
    void noteTrusted() { m_lastReported.clear(); }

    /// The words of `refuse`, without logging.
    QString refusalText(const QString& host, const QList<QSslError>& errors) const;

private:
    explicit CloudTrust(const QList<QSslCertificate>& authorities);

    QSslConfiguration m_configuration;
    QByteArray m_pinnedKey;
    QString m_lastReported;
};

} // namespace sonavert::clouddb
