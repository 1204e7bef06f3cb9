#include "src/stream/ephemeral_identity.h"

#include "src/clouddb/cloud_trust.h"
#include "src/stream/track_server.h"

#include <QDateTime>
#include <QSslCertificate>
#include <QSslKey>
#include <memory>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace sonavert::stream {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

// A week is far more than any song; the identity is made again at every start.
constexpr qint64 kValiditySeconds = qint64{7} * 24 * 3600;

Error identityError(const QString& text) {
    return makeError(TrackServerErrorCode::NoIdentity, text);
}

QByteArray contentsOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

Key makeKey() {
    return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

Certificate makeCertificate(EVP_PKEY* key) {
    Certificate certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    unsigned char serial[16];
    if (!x || RAND_bytes(serial, sizeof serial) != 1)
        return Certificate(nullptr, &X509_free);
    serial[0] &= 0x7f;
    const std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        BN_bin2bn(serial, sizeof serial, nullptr), &BN_free);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    X509_NAME* name = X509_get_subject_name(x);
    static const unsigned char kCommonName[] = "sonavert track server";
    const bool made =
        X509_set_version(x, 2) == 1 && number &&
        BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x)) != nullptr &&
        // An hour back, for a computer whose clock lags behind this one's.
        ASN1_TIME_set(X509_getm_notBefore(x), now - 3600) != nullptr &&
        ASN1_TIME_set(X509_getm_notAfter(x), now + kValiditySeconds) != nullptr &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, kCommonName, -1, -1, 0) == 1 &&
        X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1 &&
        X509_sign(x, key, EVP_sha256()) > 0;
    return made ? std::move(certificate) : Certificate(nullptr, &X509_free);
}

} // namespace

Result<EphemeralIdentity> makeEphemeralIdentity() {
    const Key key = makeKey();
    const Certificate made = key ? makeCertificate(key.get()) : Certificate(nullptr, &X509_free);
    if (!made)
        return identityError(QStringLiteral("cannot make a TLS identity for serving music"));
    const Bio keyPem(BIO_new(BIO_s_mem()), &BIO_free);
    const Bio certificatePem(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(certificatePem.get(), made.get());
    const QSslKey privateKey(contentsOf(keyPem.get()), QSsl::Ec);
    const QSslCertificate certificate(contentsOf(certificatePem.get()));
    if (privateKey.isNull() || certificate.isNull())
        return identityError(QStringLiteral("the TLS identity for serving music is unreadable"));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(privateKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return EphemeralIdentity{configuration, clouddb::CloudTrust::keyFingerprint(certificate)};
}

} // namespace sonavert::stream
