#include "server/http/tls_identity.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <array>
#include <memory>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace sonavert::cloud {

namespace {

Error identityError(const QString& text) {
    return makeError(QStringLiteral("Options"), 0, text);
}

Result<QByteArray> readWhole(const char* option, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return identityError(QStringLiteral("--%1: cannot read %2: %3")
                                 .arg(QLatin1String(option), path, file.errorString()));
    return file.readAll();
}

} // namespace

// Qt reads a key only when told its algorithm; a server key is one of these.
Result<QSslKey> parsePrivateKey(const QByteArray& pem, const QString& path) {
    constexpr std::array kAlgorithms{QSsl::Rsa, QSsl::Ec, QSsl::Dsa};
    for (const QSsl::KeyAlgorithm algorithm : kAlgorithms) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return identityError(QStringLiteral("%1 holds no unencrypted PEM private key").arg(path));
}

namespace {

// Qt cannot tell whether a key belongs to a certificate; OpenSSL compares their public halves.
bool keyMatchesCertificate(const QByteArray& certificatePem, const QByteArray& keyPem) {
    const auto bioOf = [](const QByteArray& data) {
        return std::unique_ptr<BIO, decltype(&BIO_free)>(
            BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())), &BIO_free);
    };
    auto certificateBio = bioOf(certificatePem);
    auto keyBio = bioOf(keyPem);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr), &X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

} // namespace

Result<QSslConfiguration> loadTlsIdentity(const QString& certificateFile, const QString& keyFile) {
    const auto certificatePem = readWhole("tls-cert", certificateFile);
    SONAVERT_TRY(certificatePem);
    const auto keyPem = readWhole("tls-key", keyFile);
    SONAVERT_TRY(keyPem);
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(certificatePem.value(), QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull())
        return identityError(
            QStringLiteral("--tls-cert: %1 holds no PEM certificate").arg(certificateFile));
    auto key = parsePrivateKey(keyPem.value(), keyFile);
    if (!key)
        return identityError(QStringLiteral("--tls-key: ") + key.error().description);
    if (!keyMatchesCertificate(certificatePem.value(), keyPem.value()))
        return identityError(
            QStringLiteral("--tls-key: the key in %1 does not belong to the certificate in %2")
                .arg(keyFile, certificateFile));
    return serverTlsConfiguration(chain, key.value());
}

QSslConfiguration serverTlsConfiguration(const QList<QSslCertificate>& chain, const QSslKey& key) {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    // Devices prove who they are with their tokens, not with certificates.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

} // namespace sonavert::cloud
