// The window's desktop actions with the desktop recorded: links through xdg-open, the support
// mail, the rating invitation (a notification, never a page opened unasked), and the update
// check's report, against a real updater reading an appcast served on loopback.

#include "src/app/desktop_platform_actions.h"
#include "src/app/sparkle_updater.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/local_http_feed.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

constexpr int kLimitMs = 20000;

QByteArray feedWith(const QString& version) {
    return QStringLiteral(
               "<?xml version='1.0' encoding='utf-8'?><rss version='2.0' "
               "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'><channel>"
               "<title>Sonavert</title><item><title>Sonavert %1</title>"
               "<enclosure url='https://sonavert.example/sonavert_%1_amd64.deb' "
               "sparkle:version='%1' length='1' type='application/octet-stream'/></item>"
               "</channel></rss>")
        .arg(version)
        .toUtf8();
}

struct Notification {
    QString summary;
    QString body;
    std::optional<NotificationAction> action;
};

/// The desktop as the actions see it, recorded.
struct RecordedDesktop {
    QList<QStringList> launches; ///< program, then its arguments
    QStringList refused;         ///< programs that "cannot be started"
    QList<Notification> notifications;
    QList<UpdateReport> reports;
    int quits = 0;
    QTemporaryDir attachments;

    DesktopPlatformActions::Desktop desktop() {
        DesktopPlatformActions::Desktop desktop;
        desktop.launch = [this](const QString& program, const QStringList& arguments) {
            if (refused.contains(program))
                return false;
            launches << (QStringList{program} + arguments);
            return true;
        };
        desktop.notify = [this](const QString& summary, const QString& body,
                                std::optional<NotificationAction> action) {
            notifications << Notification{summary, body, std::move(action)};
        };
        desktop.showReport = [this](const UpdateReport& report) { reports << report; };
        desktop.quit = [this] { ++quits; };
        desktop.attachmentFolder = attachments.path();
        return desktop;
    }
};

} // namespace

Q_DECLARE_METATYPE(sonavert::UpdateCheckResult)

class DesktopPlatformActionsTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::unique_ptr<LocalHttpFeed> m_feed;
    std::unique_ptr<RecordedDesktop> m_desktop;
    std::unique_ptr<DesktopPlatformActions> m_actions;

    // An updater on the feed whose first (background) check has ended.
    std::unique_ptr<SparkleUpdater> startedUpdater() {
        auto updater = std::make_unique<SparkleUpdater>(
            SparkleUpdater::Configuration{m_feed->url(), u"1.4.0"_s, std::chrono::hours(24),
                                          u"deb"_s},
            m_clock);
        m_actions->setUpdater(updater.get());
        QSignalSpy finished(updater.get(), &SparkleUpdater::checkFinished);
        return finished.wait(kLimitMs) ? std::move(updater) : nullptr;
    }

    bool manualCheck(SparkleUpdater& updater) {
        QSignalSpy finished(&updater, &SparkleUpdater::checkFinished);
        m_actions->checkForUpdates();
        return finished.wait(kLimitMs);
    }

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<UpdateCheckResult>(); }
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_feed = std::make_unique<LocalHttpFeed>();
        m_desktop = std::make_unique<RecordedDesktop>();
        m_actions = std::make_unique<DesktopPlatformActions>(m_desktop->desktop(), u"1.4.0"_s);
    }
    void cleanup() {
        m_actions.reset();
        m_feed.reset();
        VirtualClock::drainEvents();
    }

    void linksGoToXdgOpenEncoded() {
        m_actions->openUrl(QUrl(QStringLiteral("mailto:support@sonavert.io?subject=Sonavert "
                                               "Download Link")));
        QCOMPARE(m_desktop->launches.size(), 1);
        QCOMPARE(m_desktop->launches.first(),
                 QStringList(
                     {u"xdg-open"_s, QStringLiteral("mailto:support@sonavert.io?subject=Sonavert%20"
                                                    "Download%20Link")}));
    }

    void supportMailAttachesTheSnapshotElseFallsBackToTheMailLink() {
        QImage snapshot(360, 520, QImage::Format_ARGB32);
        snapshot.fill(Qt::white);
        m_actions->composeSupportMail(u"support@sonavert.io"_s, u"Sonavert Help"_s, u"\n\nbody"_s,
                                      snapshot);
        QCOMPARE(m_desktop->launches.size(), 1);
        const QStringList mail = m_desktop->launches.takeFirst();
        QCOMPARE(mail.first(), u"xdg-email"_s);
        QVERIFY(mail.contains(u"--attach"_s));

        m_desktop->refused << u"xdg-email"_s;
        m_actions->composeSupportMail(u"support@sonavert.io"_s, u"Sonavert Help"_s, u"\n\nbody"_s,
                                      snapshot);
        QCOMPARE(m_desktop->launches.size(), 1);
        QCOMPARE(m_desktop->launches.first().value(0), u"xdg-open"_s);
        QVERIFY(m_desktop->launches.first().value(1).startsWith(
            u"mailto:support@sonavert.io?subject=Sonavert%20Help&body=%0A%0Abody"_s));
    }

    void reviewRequestInvitesWithoutOpeningAnything() {
        m_actions->requestReview();
        QVERIFY(m_desktop->launches.isEmpty());
        QCOMPARE(m_desktop->notifications.size(), 1);
        const Notification& invitation = m_desktop->notifications.first();
        QCOMPARE(invitation.summary, u"Enjoying Sonavert?"_s);
        QVERIFY2(invitation.body.contains(u"href=\"https://sonavert.io\""_s),
                 qPrintable(invitation.body));
        QVERIFY(invitation.action);
        // Only the user's click on the notification opens the project page.
        invitation.action->run();
        QCOMPARE(m_desktop->launches,
                 QList<QStringList>({{u"xdg-open"_s, u"https://sonavert.io"_s}}));
    }

    void manualCheckReportsAnUpdateWithItsDownloadLink() {
        m_feed->body = feedWith(u"1.5.0"_s);
        const auto updater = startedUpdater();
        QVERIFY(updater);
        QVERIFY(m_desktop->reports.isEmpty()); // the background check shows no dialog
        QVERIFY(manualCheck(*updater));
        QCOMPARE(m_desktop->reports.size(), 1);
        QCOMPARE(m_desktop->reports.first().title, u"A new version of Sonavert is available"_s);
        const QString text = m_desktop->reports.first().text;
        QVERIFY2(text.contains(u"Sonavert 1.5.0 is available; you have 1.4.0."_s) &&
                     text.contains(QStringLiteral(
                         "href=\"https://sonavert.example/sonavert_1.5.0_amd64.deb\"")),
                 qPrintable(text));
    }

    void manualCheckReportsUpToDateAndErrors() {
        m_actions->checkForUpdates(); // before the updater exists
        QCOMPARE(m_desktop->reports.size(), 1);
        QCOMPARE(m_desktop->reports.takeFirst().title, u"Update check failed"_s);
        m_feed->body = feedWith(u"1.4.0"_s);
        const auto updater = startedUpdater();
        QVERIFY(updater);
        QVERIFY(manualCheck(*updater));
        QCOMPARE(m_desktop->reports.size(), 1);
        QCOMPARE(m_desktop->reports.first().title, u"You're up to date"_s);
        QCOMPARE(m_desktop->reports.first().text,
                 u"Sonavert 1.4.0 is the newest version available."_s);

        m_feed->status = 500;
        QVERIFY(manualCheck(*updater));
        QCOMPARE(m_desktop->reports.size(), 2);
        QCOMPARE(m_desktop->reports.last().title, u"Update check failed"_s);
        QVERIFY(
            m_desktop->reports.last().text.startsWith(u"Sonavert could not check for updates: "_s));
        QVERIFY(m_desktop->notifications.isEmpty());
    }

    void backgroundUpdateIsAnnouncedOncePerVersion() {
        m_feed->body = feedWith(u"1.5.0"_s);
        const auto updater = startedUpdater();
        QVERIFY(updater);
        QCOMPARE(m_desktop->notifications.size(), 1);
        QCOMPARE(m_desktop->notifications.first().summary, u"Sonavert 1.5.0 is available"_s);
        QVERIFY(m_desktop->launches.isEmpty());

        // The daily check finds the same release: nothing new to say. A newer one is said.
        QSignalSpy finished(updater.get(), &SparkleUpdater::checkFinished);
        updater->checkForUpdatesInBackground();
        QVERIFY(finished.wait(kLimitMs));
        QCOMPARE(m_desktop->notifications.size(), 1);
        m_feed->body = feedWith(u"1.6.0"_s);
        updater->checkForUpdatesInBackground();
        QVERIFY(finished.wait(kLimitMs));
        QCOMPARE(m_desktop->notifications.size(), 2);
        m_desktop->notifications.last().action->run();
        QCOMPARE(m_desktop->launches.first().value(1),
                 u"https://sonavert.example/sonavert_1.6.0_amd64.deb"_s);
    }

    void quitAndFacts() {
        m_actions->quit();
        QCOMPARE(m_desktop->quits, 1);
        QVERIFY(!m_actions->operatingSystemVersion().isEmpty());
    }
};

QTEST_GUILESS_MAIN(DesktopPlatformActionsTest)
#include "desktop_platform_actions_test.moc"
