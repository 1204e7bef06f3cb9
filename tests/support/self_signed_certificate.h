#pragma once

// A self-signed certificate for localhost and 127.0.0.1 with its key, made by the openssl tool
// (scripts/install-deps.sh installs it) in a folder of its own: Qt cannot make certificates.

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
                      QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                     "-nodes -days 2 -subj /CN=localhost -addext "
                                     "subjectAltName=DNS:localhost,IP:127.0.0.1")
                              .split(QLatin1Char(' ')) +
                          QStringList{QStringLiteral("-keyout"), keyFile(), QStringLiteral("-out"),
                                      certificateFile()});
        m_isMade = openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
                   openssl.exitCode() == 0;
    }

    /// False when openssl is missing or failed: the test skips, saying so.
    bool isMade() const { return m_isMade; }
    QString certificateFile() const { return m_dir.filePath(QStringLiteral("cert.pem")); }
    QString keyFile() const { return m_dir.filePath(QStringLiteral("key.pem")); }
    /// A client's configuration that trusts this certificate alone.
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
