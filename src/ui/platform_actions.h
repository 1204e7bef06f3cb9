#pragma once

#include <QImage>
#include <QString>
#include <QUrl>

namespace sonavert {

/// What the window asks of the desktop around it. The desktop shell implements it (xdg-open,
/// xdg-email, notifications, the updater, quitting); view tests record the calls instead.
class PlatformActions {
public:
    virtual ~PlatformActions() = default;

    /// Opens a link with the desktop's handler; mailto: links go to the mail client.
    virtual void openUrl(const QUrl& url) = 0;
    /// Composes the support mail to `address`: through the mail client with `snapshot`
    /// attached where it can, else as a mailto: link with the same subject and body.
    virtual void composeSupportMail(const QString& address, const QString& subject,
                                    const QString& body, const QImage& snapshot) = 0;
    /// Invites the user to rate Sonavert (a desktop notification with the project page).
    virtual void requestReview() = 0;
    /// The manual update check; its outcome is shown to the user by the shell.
    virtual void checkForUpdates() = 0;
    /// Ends the application; the device marks itself offline on the way out.
    virtual void quit() = 0;
    /// Puts `text` on the desktop's clipboard.
    virtual void copyToClipboard(const QString& text) = 0;
    /// The operating system's human-readable name and version ("Debian GNU/Linux 12
    /// (bookworm)").
    virtual QString operatingSystemVersion() const = 0;
    /// The hardware model (DMI product name); empty when it cannot be read.
    virtual QString hardwareModel() const = 0;
};

} // namespace sonavert
