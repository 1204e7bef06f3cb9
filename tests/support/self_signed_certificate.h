#pragma once

// A self-signed certificate for localhost and 127.0.0.1 with its private key, made by the
// openssl tool (installed by scripts/install-deps.sh) in a folder of its own: Qt can read
// certificates but not make them.

#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

namespace sonavert::test {

class SelfSignedCertificate {
public:
    SelfSignedCertificate() {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                       QStringLiteral("-keyout"), keyFile(), QStringLiteral("-out"),
                       certificateFile()});
        m_isMade = openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
                   openssl.exitCode() == 0;
    }

    /// False when openssl is missing or failed: the test should skip, saying so.
    bool isMade() const { return m_isMade; }
    QString certificateFile() const { return m_dir.filePath(QStringLiteral("cert.pem")); }
    QString keyFile() const { return m_dir.filePath(QStringLiteral("key.pem")); }
    /// A client's configuration that trusts this certificate and nothing else.
    QSslConfiguration trustingClient() const {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromPath(certificateFile()));
        return configuration;
    }

private:
    QTemporaryDir m_dir;
    bool m_isMade = false;
};

} // namespace sonavert::test
