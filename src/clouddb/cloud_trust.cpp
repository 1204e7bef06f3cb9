#include "src/clouddb/cloud_trust.h"

#include "src/clouddb/cloud_error.h"
#include "src/runtime/log_channel.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslKey>
#include <array>

namespace sonavert::clouddb {

namespace {

struct Refusal {
    QSslError::SslError error;
    const char* words;
    bool isFixedByAuthority; ///< a CA file of the user's would make it trusted
};

// The first of a certificate's errors found here, in this order, says what is wrong with it.
constexpr std::array<Refusal, 10> kRefusals{{
    {QSslError::SelfSignedCertificate, "is not trusted (self-signed)", true},
    {QSslError::SelfSignedCertificateInChain, "is not trusted (self-signed)", true},
    {QSslError::UnableToGetLocalIssuerCertificate, "is not trusted (unknown issuer)", true},
    {QSslError::UnableToGetIssuerCertificate, "is not trusted (unknown issuer)", true},
    {QSslError::UnableToVerifyFirstCertificate, "is not trusted (unknown issuer)", true},
    {QSslError::CertificateUntrusted, "is not trusted", true},
    {QSslError::CertificateExpired, "has expired", false},
    {QSslError::CertificateNotYetValid, "is not valid yet", false},
    {QSslError::HostNameMismatch, "is made out to another name", false},
    {QSslError::CertificateRevoked, "was revoked", false},
}};

QString describe(const QList<QSslError>& errors) {
    for (const Refusal& refusal : kRefusals)
        for (const QSslError& error : errors)
            if (error.error() == refusal.error)
                return QString::fromLatin1(refusal.words) +
                       (refusal.isFixedByAuthority ? QStringLiteral("; pass --cloud-ca FILE")
                                                   : QString());
    return QStringLiteral("is refused (%1)")
        .arg(errors.isEmpty() ? QStringLiteral("no reason given") : errors.first().errorString());
}

} // namespace

CloudTrust::CloudTrust()
    : m_configuration(QSslConfiguration::defaultConfiguration()) {
    m_configuration.setProtocol(QSsl::TlsV1_2OrLater);
}

CloudTrust::CloudTrust(const QList<QSslCertificate>& authorities)
    : CloudTrust() {
    // Given authorities end Qt's loading of the system's on demand: name both.
    m_configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
}

Result<std::shared_ptr<CloudTrust>> CloudTrust::withAuthorityFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return makeError(
            AuthorityFileErrorCode::Unreadable,
            QStringLiteral("--cloud-ca: cannot read %1: %2").arg(path, file.errorString()));
    const QByteArray contents = file.readAll();
    QList<QSslCertificate> authorities = QSslCertificate::fromData(contents, QSsl::Pem);
    if (authorities.isEmpty())
        authorities = QSslCertificate::fromData(contents, QSsl::Der);
    if (authorities.isEmpty() || authorities.first().isNull())
        return makeError(AuthorityFileErrorCode::NoCertificate,
                         QStringLiteral("--cloud-ca: %1 holds no certificate").arg(path));
    return std::shared_ptr<CloudTrust>(new CloudTrust(authorities));
}

std::shared_ptr<CloudTrust> CloudTrust::pinning(const QByteArray& fingerprint) const {
    auto pinned = std::shared_ptr<CloudTrust>(new CloudTrust(*this));
    pinned->m_pinnedKey = fingerprint;
    pinned->m_lastReported.clear();
    return pinned;
}

QByteArray CloudTrust::keyFingerprint(const QSslCertificate& certificate) {
    if (certificate.isNull())
        return {};
    return QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256);
}

void CloudTrust::watch(QNetworkReply* reply, std::shared_ptr<QList<QSslError>> errors) const {
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [pinnedKey = m_pinnedKey, reply, errors](const QList<QSslError>& found) {
                         const QSslCertificate shown = reply->sslConfiguration().peerCertificate();
                         if (!pinnedKey.isEmpty() && keyFingerprint(shown) == pinnedKey)
                             reply->ignoreSslErrors(found);
                         else
                             *errors = found;
                     });
}

bool CloudTrust::isPinned(const QSslCertificate& certificate) const {
    return !m_pinnedKey.isEmpty() && keyFingerprint(certificate) == m_pinnedKey;
}

QString CloudTrust::refusalText(const QString& host, const QList<QSslError>& errors) const {
    // Only a server this device was invited to has a pin: a certificate it does not hold is
    // not one to add an authority for, but a sign that something stands in between.
    if (!m_pinnedKey.isEmpty())
        return QStringLiteral("the certificate of %1 is not the one the invitation named (its "
                              "key differs), so nothing was sent: something may stand between "
                              "this computer and the server. If the server was set up again, "
                              "sign in again with a new invitation")
            .arg(host);
    return QStringLiteral("the certificate of %1 %2").arg(host, describe(errors));
}

Error CloudTrust::refuse(const QString& host, const QList<QSslError>& errors) {
    const QString text = refusalText(host, errors);
    // Every poll and every reconnection meets the same certificate: say it once.
    if (text != m_lastReported) {
        m_lastReported = text;
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=cloud_certificate_refused server=%{public}s problem=%{public}s", host,
                 text);
    }
    return cloudError(CloudErrorCode::NetworkFailure, text);
}

} // namespace sonavert::clouddb
