#include "src/app/desktop_platform_actions.h"

#include "src/app/sparkle_updater.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"
#include "src/shell/app_icon.h"
#include "src/shell/platform_facts.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

namespace sonavert {

namespace {

QString link(const QUrl& url, const QString& text) {
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(), text.toHtmlEscaped());
}

QString versionOf(const AppcastItem& item) {
    return item.displayVersion.isEmpty() ? item.version : item.displayVersion;
}

void showReportBox(const UpdateReport& report) {
    // Not modal: the tray app keeps working while the box is open.
    auto* box = new QMessageBox(QMessageBox::Information, report.title, report.text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    box->setWindowIcon(applicationIcon());
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace

UpdateReport updateReport(const UpdateCheckResult& result, const QString& currentVersion) {
    switch (result.kind) {
    case UpdateCheckResult::Kind::UpdateAvailable: {
        const AppcastItem& update = *result.update;
        QString text = QStringLiteral("Sonavert %1 is available; you have %2.<br>")
                           .arg(versionOf(update).toHtmlEscaped(), currentVersion.toHtmlEscaped());
        text += link(update.downloadLink,
                     QStringLiteral("Download Sonavert %1").arg(versionOf(update)));
        if (update.releaseNotesLink.isValid())
            text += QStringLiteral(" · ") +
                    link(update.releaseNotesLink, QStringLiteral("Release notes"));
        return {QStringLiteral("A new version of Sonavert is available"), text};
    }
    case UpdateCheckResult::Kind::UpToDate:
        return {QStringLiteral("You're up to date"),
                QStringLiteral("Sonavert %1 is the newest version available.")
                    .arg(currentVersion.toHtmlEscaped())};
    case UpdateCheckResult::Kind::Failed:
        break;
    }
    return {QStringLiteral("Update check failed"),
            QStringLiteral("Sonavert could not check for updates: %1")
                .arg(result.failure.toHtmlEscaped())};
}

DesktopPlatformActions::DesktopPlatformActions(Desktop desktop, QString currentVersion,
                                               QObject* parent)
    : QObject(parent)
    , m_desktop(std::move(desktop))
    , m_currentVersion(std::move(currentVersion)) {}

void DesktopPlatformActions::setUpdater(SparkleUpdater* updater) {
    if (m_updater)
        disconnect(m_updater, nullptr, this, nullptr);
    m_updater = updater;
    if (updater)
        connect(updater, &SparkleUpdater::checkFinished, this,
                &DesktopPlatformActions::onCheckFinished);
}

void DesktopPlatformActions::openUrl(const QUrl& url) {
    if (!m_desktop.launch(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)}))
        developerLog(QStringLiteral("links: xdg-open cannot be started for %1").arg(url.scheme()));
}

void DesktopPlatformActions::composeSupportMail(const QString& address, const QString& subject,
                                                const QString& body, const QImage& snapshot) {
    const MailComposer composer(
        m_desktop.launch, [this](const QUrl& url) { openUrl(url); }, m_desktop.attachmentFolder);
    composer.compose(address, subject, body, snapshot);
}

void DesktopPlatformActions::requestReview() {
    const QUrl page(QString::fromLatin1(app_identity::kProjectPageUrl));
    m_desktop.notify(
        QStringLiteral("Enjoying Sonavert?"),
        QStringLiteral("If Sonavert moves your music well, a rating on its project page helps "
                       "others find it: %1")
            .arg(link(page, page.host())),
        NotificationAction{QStringLiteral("Rate Sonavert"), [this, page] { openUrl(page); }});
}

void DesktopPlatformActions::checkForUpdates() {
    if (!m_updater) {
        UpdateCheckResult notReady;
        notReady.kind = UpdateCheckResult::Kind::Failed;
        notReady.failure = QStringLiteral("the update checker has not started yet.");
        m_desktop.showReport(updateReport(notReady, m_currentVersion));
        return;
    }
    m_updater->checkForUpdates();
}

void DesktopPlatformActions::onCheckFinished(const UpdateCheckResult& result) {
    if (result.isUserInitiated) {
        m_desktop.showReport(updateReport(result, m_currentVersion));
        return;
    }
    if (result.kind != UpdateCheckResult::Kind::UpdateAvailable ||
        m_announcedVersions.contains(result.update->version))
        return;
    m_announcedVersions.insert(result.update->version);
    const QUrl download = result.update->downloadLink;
    m_desktop.notify(
        QStringLiteral("Sonavert %1 is available").arg(versionOf(*result.update)),
        QStringLiteral("You have %1. %2")
            .arg(m_currentVersion.toHtmlEscaped(),
                 link(download, QStringLiteral("Download the new version"))),
        NotificationAction{QStringLiteral("Download"), [this, download] { openUrl(download); }});
}

void DesktopPlatformActions::copyToClipboard(const QString& text) {
    QGuiApplication::clipboard()->setText(text);
}

void DesktopPlatformActions::quit() {
    m_desktop.quit();
}

QString DesktopPlatformActions::operatingSystemVersion() const {
    return operatingSystemPrettyName();
}

QString DesktopPlatformActions::hardwareModel() const {
    return sonavert::hardwareModel();
}

DesktopPlatformActions::Desktop DesktopPlatformActions::systemDesktop(DesktopNotifier* notifier,
                                                                      std::function<void()> quit) {
    Desktop desktop;
    desktop.launch = [](const QString& program, const QStringList& arguments) {
        return QProcess::startDetached(program, arguments);
    };
    // The notifier is the desktop session's, which the actions may outlive.
    desktop.notify = [notifier = QPointer(notifier)](const QString& summary, const QString& body,
                                                     std::optional<NotificationAction> action) {
        if (notifier)
            notifier->notify(summary, body, std::move(action));
    };
    desktop.showReport = &showReportBox;
    desktop.quit = std::move(quit);
    desktop.attachmentFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/sonavert/support");
    return desktop;
}

} // namespace sonavert
