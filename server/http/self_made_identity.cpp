#include "server/http/self_made_identity.h"

#include "server/http/tls_identity.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSslKey>
#include <memory>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace sonavert::cloud {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

const QString kKeyFile = QStringLiteral("key.pem");
const QString kCertificateFile = QStringLiteral("certificate.pem");

Error selfMadeError(const QString& text) {
    return makeError(QStringLiteral("TlsIdentity"), 0, text);
}

Bio readingBio(const QByteArray& data) {
    return Bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())), &BIO_free);
}

QByteArray contentsOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

QByteArray pemOf(EVP_PKEY* key) {
    const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return contentsOf(bio.get());
}

QByteArray pemOf(X509* certificate) {
    const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_X509(bio.get(), certificate);
    return contentsOf(bio.get());
}

bool addExtension(X509* certificate, int nid, const QByteArray& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value.constData()));
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A DNS name of the certificate: the host's name as the network knows it, letters, digits and
// dashes only (anything else would make the extension invalid).
QByteArray dnsLabel(const QString& hostName) {
    QByteArray label;
    for (const QChar c : hostName.toLower())
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-'))
            label += static_cast<char>(c.unicode());
    return label.isEmpty() ? QByteArrayLiteral("sonavert-cloud") : label;
}

Certificate makeCertificate(EVP_PKEY* key, const QString& hostName, const QDateTime& now) {
    Certificate certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f; // a positive number
    const std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        BN_bin2bn(serial, sizeof serial, nullptr), &BN_free);
    const QByteArray label = dnsLabel(hostName);
    const QByteArray commonName = "sonavert-cloud on " + label;
    X509_NAME* name = X509_get_subject_name(x);
    const bool made =
        X509_set_version(x, 2) == 1 && number &&
        BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x)) != nullptr &&
        // An hour back, for computers whose clocks lag behind the server's.
        ASN1_TIME_set(X509_getm_notBefore(x), now.toSecsSinceEpoch() - 3600) != nullptr &&
        ASN1_TIME_set(X509_getm_notAfter(x),
                      now.addDays(kSelfMadeValidityDays).toSecsSinceEpoch()) != nullptr &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.constData()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1 &&
        addExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
        addExtension(x, NID_ext_key_usage, "serverAuth") &&
        addExtension(x, NID_subject_alt_name, "DNS:" + label + ",DNS:" + label + ".local") &&
        X509_sign(x, key, EVP_sha256()) > 0;
    return made ? std::move(certificate) : Certificate(nullptr, &X509_free);
}

// Written whole or not at all, readable by the owner only.
Status writePrivate(const QString& path, const QByteArray& data) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(data) != data.size() || !file.commit())
        return selfMadeError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return {};
}

// Days from `now` until the certificate ends; negative once it has ended or when it is not
// valid yet at `now`.
int daysLeft(X509* certificate, const QDateTime& now) {
    const std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> at(
        ASN1_TIME_set(nullptr, now.toSecsSinceEpoch()), &ASN1_TIME_free);
    int days = 0;
    int seconds = 0;
    if (!at || ASN1_TIME_compare(X509_get0_notBefore(certificate), at.get()) > 0 ||
        ASN1_TIME_diff(&days, &seconds, at.get(), X509_get0_notAfter(certificate)) != 1)
        return -1;
    return days;
}

Certificate readCertificate(const QByteArray& pem) {
    const Bio bio = readingBio(pem);
    return Certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
}

} // namespace

QByteArray publicKeyFingerprint(const QSslCertificate& certificate) {
    // Qt's DER of a public key is its SubjectPublicKeyInfo: the same bytes a device hashes.
    return QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256);
}

QString fingerprintText(const QByteArray& fingerprint) {
    const QString hex = QString::fromLatin1(fingerprint.toHex());
    QStringList groups;
    for (qsizetype at = 0; at < hex.size(); at += 4)
        groups << hex.mid(at, 4);
    return groups.join(QLatin1Char(' '));
}

Result<SelfMadeIdentity> loadOrMakeIdentity(const QString& folder, const QString& hostName,
                                            const QDateTime& now) {
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner))
        return selfMadeError(QStringLiteral("cannot create %1").arg(folder));
    const QString keyPath = QDir(folder).filePath(kKeyFile);
    const QString certificatePath = QDir(folder).filePath(kCertificateFile);
    SelfMadeIdentity identity;
    Key key(nullptr, &EVP_PKEY_free);
    QByteArray keyPem;
    if (QFile::exists(keyPath)) {
        QFile file(keyPath);
        if (!file.open(QIODevice::ReadOnly))
            return selfMadeError(
                QStringLiteral("cannot read %1: %2").arg(keyPath, file.errorString()));
        keyPem = file.readAll();
        const Bio bio = readingBio(keyPem);
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        if (!key)
            return selfMadeError(
                QStringLiteral("%1 holds no private key; remove it to make a new one (every "
                               "computer will then have to be invited again)")
                    .arg(keyPath));
    } else {
        key.reset(EVP_EC_gen("P-256"));
        if (!key)
            return selfMadeError(QStringLiteral("cannot make a key"));
        keyPem = pemOf(key.get());
        if (const Status written = writePrivate(keyPath, keyPem); !written)
            return written.error();
        identity.origin = SelfMadeIdentity::Origin::Made;
    }

    QByteArray certificatePem;
    if (QFile file(certificatePath); file.open(QIODevice::ReadOnly))
        certificatePem = file.readAll();
    const Certificate kept = readCertificate(certificatePem);
    const bool isUsable = kept && X509_check_private_key(kept.get(), key.get()) == 1 &&
                          daysLeft(kept.get(), now) >= kSelfMadeRenewalDays;
    if (!isUsable) {
        const Certificate made = makeCertificate(key.get(), hostName, now);
        if (!made)
            return selfMadeError(QStringLiteral("cannot make a certificate"));
        certificatePem = pemOf(made.get());
        if (const Status written = writePrivate(certificatePath, certificatePem); !written)
            return written.error();
        if (identity.origin == SelfMadeIdentity::Origin::Kept)
            identity.origin = SelfMadeIdentity::Origin::Renewed;
    }
    identity.certificate = QSslCertificate(certificatePem, QSsl::Pem);
    const Result<QSslKey> privateKey = parsePrivateKey(keyPem, keyPath);
    if (!privateKey)
        return privateKey.error();
    identity.configuration = serverTlsConfiguration({identity.certificate}, privateKey.value());
    identity.keyFingerprint = publicKeyFingerprint(identity.certificate);
    return identity;
}

} // namespace sonavert::cloud
