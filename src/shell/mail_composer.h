#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace sonavert {

/// Composes a mail in the user's mail client: through `xdg-email` with an attachment where it
/// can, else through a mailto: link with the same subject and body (no attachment).
class MailComposer {
public:
    /// Starts a program without waiting for it; false when it cannot be started.
    using Launcher = std::function<bool(const QString& program, const QStringList& arguments)>;
    using LinkOpener = std::function<void(const QUrl& link)>;

    /// `attachmentFolder` keeps the snapshot for the mail client, which reads it after we
    /// have moved on.
    MailComposer(Launcher launcher, LinkOpener openLink, QString attachmentFolder);

    void compose(const QString& address, const QString& subject, const QString& body,
                 const QImage& snapshot) const;

    /// "mailto:ADDRESS?subject=...&body=..." with every reserved character percent-encoded.
    static QUrl mailtoLink(const QString& address, const QString& subject, const QString& body);
    /// The arguments of `xdg-email`; `attachment` is left out when empty.
    static QStringList xdgEmailArguments(const QString& address, const QString& subject,
                                         const QString& body, const QString& attachment);

private:
    /// The snapshot as a PNG file, or empty when there is none or it cannot be written.
    QString saveSnapshot(const QImage& snapshot) const;

    Launcher m_launcher;
    LinkOpener m_openLink;
    QString m_attachmentFolder;
};

} // namespace sonavert
