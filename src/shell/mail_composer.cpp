#include "src/shell/mail_composer.h"

#include <QDir>

namespace sonavert {

MailComposer::MailComposer(Launcher launcher, LinkOpener openLink, QString attachmentFolder)
    : m_launcher(std::move(launcher))
    , m_openLink(std::move(openLink))
    , m_attachmentFolder(std::move(attachmentFolder)) {}

void MailComposer::compose(const QString& address, const QString& subject, const QString& body,
                           const QImage& snapshot) const {
    const QString attachment = saveSnapshot(snapshot);
    if (m_launcher(QStringLiteral("xdg-email"),
                   xdgEmailArguments(address, subject, body, attachment)))
        return;
    m_openLink(mailtoLink(address, subject, body));
}

QUrl MailComposer::mailtoLink(const QString& address, const QString& subject, const QString& body) {
    // Built by hand: QUrlQuery leaves "&", "+" and ";" in values as they are, and a mail
    // client would split the body there.
    const QByteArray encoded = "mailto:" + QUrl::toPercentEncoding(address, "@") +
                               "?subject=" + QUrl::toPercentEncoding(subject) +
                               "&body=" + QUrl::toPercentEncoding(body);
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

QStringList MailComposer::xdgEmailArguments(const QString& address, const QString& subject,
                                            const QString& body, const QString& attachment) {
    QStringList arguments{QStringLiteral("--subject"), subject, QStringLiteral("--body"), body};
    if (!attachment.isEmpty())
        arguments << QStringLiteral("--attach") << attachment;
    arguments << address;
    return arguments;
}

QString MailComposer::saveSnapshot(const QImage& snapshot) const {
    if (snapshot.isNull() || !QDir().mkpath(m_attachmentFolder))
        return {};
    const QString file = QDir(m_attachmentFolder).filePath(QStringLiteral("sonavert-window.png"));
    return snapshot.save(file, "PNG") ? file : QString();
}

} // namespace sonavert
