#pragma once

#include "src/shell/desktop_notifier.h"
#include "src/shell/mail_composer.h"
#include "src/ui/platform_actions.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <functional>

namespace sonavert {

class SparkleUpdater;
struct UpdateCheckResult;

/// What the update check tells the user: a title and a text with links (rich text).
struct UpdateReport {
    QString title;
    QString text;
};

/// The report of a check the user asked for: up to date, a newer version with its download
/// link, or the error.
UpdateReport updateReport(const UpdateCheckResult& result, const QString& currentVersion);

/// What the window asks of the desktop, done the Linux way: links through xdg-open, the
/// support mail through xdg-email, the rating invitation and background update news as
/// desktop notifications, the manual update check with a small result dialog.
class DesktopPlatformActions : public QObject, public PlatformActions {
    Q_OBJECT
public:
    using Notify = std::function<void(const QString& summary, const QString& body,
                                      std::optional<NotificationAction> action)>;
    /// How the desktop is reached; tests record instead.
    struct Desktop {
        MailComposer::Launcher launch;
        Notify notify;
        std::function<void(const UpdateReport& report)> showReport;
        std::function<void()> quit;
        QString attachmentFolder;
    };

    DesktopPlatformActions(Desktop desktop, QString currentVersion, QObject* parent = nullptr);

    /// The updater whose results are shown; until it is given, a check reports an error.
    void setUpdater(SparkleUpdater* updater);

    void openUrl(const QUrl& url) override;
    void composeSupportMail(const QString& address, const QString& subject, const QString& body,
                            const QImage& snapshot) override;
    void requestReview() override;
    void checkForUpdates() override;
    void quit() override;
    void copyToClipboard(const QString& text) override;
    QString operatingSystemVersion() const override;
    QString hardwareModel() const override;

    /// The real desktop: programs started detached, a dialog box for the report.
    static Desktop systemDesktop(DesktopNotifier* notifier, std::function<void()> quit);

private:
    void onCheckFinished(const UpdateCheckResult& result);

    Desktop m_desktop;
    QString m_currentVersion;
    /// The app's, which the desktop's actions may outlive at exit.
    QPointer<SparkleUpdater> m_updater;
    /// Versions already announced by a background check, so a daily check does not repeat.
    QSet<QString> m_announcedVersions;
};

} // namespace sonavert
