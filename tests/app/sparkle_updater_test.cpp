// SparkleUpdater against an appcast served on loopback by this process, on a virtual clock.

#include "src/app/sparkle_delegate.h"
#include "src/app/sparkle_updater.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/local_http_feed.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

QByteArray item(const QString& version, const QString& notes = u"Fixes."_s) {
    return u"<item><title>Sonavert %1</title>"
           "<description><![CDATA[<p>%2</p>]]></description>"
           "<sparkle:releaseNotesLink>https://sonavert.example/notes/%1"
           "</sparkle:releaseNotesLink>"
           "<enclosure url='https://sonavert.example/sonavert_%1_amd64.deb'"
           " sparkle:version='%1' sparkle:shortVersionString='v%1' length='1'"
           " type='application/octet-stream'/></item>"_s.arg(version, notes)
               .toUtf8();
}

QByteArray feed(const QByteArray& items) {
    return "<?xml version='1.0' encoding='utf-8'?>"
           "<rss version='2.0' xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'"
           " xmlns:sonavert='https://sonavert.io/xml-namespaces/feed'>"
           "<channel><title>Sonavert</title>" +
           items + "</channel></rss>";
}

QByteArray discontinued(const char* channel, const char* successor) {
    return "<sonavert:discontinued channel='"_ba + channel + "'>" + successor +
           "</sonavert:discontinued>";
}

/// The result of the next check, waiting on the updater's own signal.
UpdateCheckResult nextResult(SparkleUpdater& updater) {
    QSignalSpy finished(&updater, &SparkleUpdater::checkFinished);
    if (!finished.wait(20000))
        return UpdateCheckResult{UpdateCheckResult::Kind::Failed, false, {}, "no result", {}};
    return finished.first().first().value<UpdateCheckResult>();
}

} // namespace

Q_DECLARE_METATYPE(sonavert::UpdateCheckResult)

class SparkleUpdaterTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> clock;
    std::unique_ptr<LocalHttpFeed> server;

    std::unique_ptr<SparkleUpdater> makeUpdater(const QString& version, QUrl url = {}) {
        return std::make_unique<SparkleUpdater>(
            SparkleUpdater::Configuration{url.isEmpty() ? server->url() : url, version,
                                          std::chrono::hours(24), u"deb"_s},
            clock);
    }

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<UpdateCheckResult>(); }
    void init() {
        clock = std::make_shared<VirtualClock>();
        server = std::make_unique<LocalHttpFeed>();
    }
    void cleanup() {
        server.reset();
        VirtualClock::drainEvents();
        clock.reset();
    }

    void newerVersionIsOfferedWithNotesAndDownloadLink() {
        server->body = feed(item("0.9.0") + item("1.10.0", "Faster handoffs.") + item("1.9.2"));
        auto updater = makeUpdater(u"1.9.3"_s);
        QSignalSpy offered(updater.get(), &SparkleUpdater::updateFound);
        QVERIFY(updater->isChecking()); // the background check starts with the updater
        const UpdateCheckResult result = nextResult(*updater);

        QCOMPARE(result.kind, UpdateCheckResult::Kind::UpdateAvailable);
        QVERIFY(!result.isUserInitiated);
        QCOMPARE(offered.size(), 1);
        const AppcastItem expected{u"1.10.0"_s,
                                   u"v1.10.0"_s,
                                   u"Sonavert 1.10.0"_s,
                                   u"<p>Faster handoffs.</p>"_s,
                                   QUrl("https://sonavert.example/notes/1.10.0"),
                                   QUrl("https://sonavert.example/sonavert_1.10.0_amd64.deb")};
        QCOMPARE(updater->availableUpdate(), std::optional(expected));
        QVERIFY(!updater->isChecking());
    }

    void sameOrOlderVersionOffersNothing_data() {
        QTest::addColumn<QString>("running");
        QTest::newRow("same") << u"1.2.0"_s;
        QTest::newRow("same, shorter spelling") << u"1.2"_s;
        QTest::newRow("newer than the feed") << u"1.10"_s;
    }
    void sameOrOlderVersionOffersNothing() {
        QFETCH(QString, running);
        server->body = feed(item("1.2.0") + item("1.1.9"));
        auto updater = makeUpdater(running);
        QSignalSpy offered(updater.get(), &SparkleUpdater::updateFound);
        QSignalSpy upToDate(updater.get(), &SparkleUpdater::upToDate);
        QCOMPARE(nextResult(*updater).kind, UpdateCheckResult::Kind::UpToDate);
        QCOMPARE(upToDate.size(), 0); // a background check keeps "nothing new" to itself

        updater->checkForUpdates();
        QCOMPARE(nextResult(*updater).kind, UpdateCheckResult::Kind::UpToDate);
        QCOMPARE(upToDate.size(), 1); // the user who asked is told
        QCOMPARE(offered.size(), 0);
        QVERIFY(!updater->availableUpdate());
    }

    void failedChecksAreLoggedNotShown_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isReachable");
        QTest::newRow("truncated") << 200 << feed(item("2.0")).left(120) << true;
        QTest::newRow("not rss") << 200 << QByteArray("<html><body>Moved</body></html>") << true;
        QTest::newRow("no channel") << 200 << QByteArray("<rss version=\"2.0\"/>") << true;
        QTest::newRow("server error") << 500 << feed(item("2.0")) << true;
        QTest::newRow("unreachable") << 200 << feed(item("2.0")) << false;
    }
    void failedChecksAreLoggedNotShown() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, isReachable);
        server->status = status;
        server->body = body;
        QUrl url;
        if (!isReachable) {
            QTcpServer closed; // a loopback port that nothing listens on any more
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            url = QUrl(u"http://127.0.0.1:%1/appcast.xml"_s.arg(closed.serverPort()));
        }
        auto updater = makeUpdater(u"1.0"_s, url);
        QSignalSpy offered(updater.get(), &SparkleUpdater::updateFound);
        QSignalSpy upToDate(updater.get(), &SparkleUpdater::upToDate);
        updater->checkForUpdates();
        const UpdateCheckResult result = nextResult(*updater);
        QCOMPARE(result.kind, UpdateCheckResult::Kind::Failed);
        QVERIFY(!result.failure.isEmpty());
        QCOMPARE(offered.size() + upToDate.size(), 0);
        QVERIFY(!updater->availableUpdate());
        QVERIFY(!updater->isChecking());
    }

    void manualCheckDuringBackgroundCheckJoinsIt() {
        server->body = feed(item("1.0.0"));
        server->isHolding = true;
        QSignalSpy received(server.get(), &LocalHttpFeed::requestReceived);
        auto updater = makeUpdater(u"1.0.0"_s);
        QSignalSpy upToDate(updater.get(), &SparkleUpdater::upToDate);
        QSignalSpy finished(updater.get(), &SparkleUpdater::checkFinished);
        QVERIFY(received.wait(20000));

        updater->checkForUpdates();
        updater->checkForUpdates();
        QVERIFY(updater->isChecking());
        server->release();
        QVERIFY(finished.wait(20000));
        const auto result = finished.first().first().value<UpdateCheckResult>();
        QCOMPARE(result.kind, UpdateCheckResult::Kind::UpToDate);
        QVERIFY(result.isUserInitiated); // the running check answered the user
        QCOMPARE(upToDate.size(), 1);
        QCOMPARE(server->requestCount, 1);
        QCOMPARE(finished.size(), 1);
    }

    void automaticChecksAreOnWithoutAskingAndRepeatDaily() {
        server->body = feed(item("1.0.0"));
        auto updater = makeUpdater(u"1.0.0"_s);
        // The virtual clock runs the event loop as it advances, so a check may finish inside
        // advance(): count finished checks instead of looking at one in flight.
        QSignalSpy finished(updater.get(), &SparkleUpdater::checkFinished);
        const auto waitForChecks = [&](int count) {
            while (finished.size() < count && finished.wait(20000)) {
            }
            return finished.size() == count;
        };
        QVERIFY(updater->automaticallyChecksForUpdates());
        QVERIFY(waitForChecks(1));

        clock->advance(std::chrono::hours(24) - std::chrono::seconds(1));
        QCOMPARE(server->requestCount, 1);
        clock->advance(std::chrono::seconds(1));
        QVERIFY(waitForChecks(2));
        QCOMPARE(server->requestCount, 2);

        // Switched off, the updater checks only when asked.
        updater->setAutomaticallyChecksForUpdates(false);
        updater->checkForUpdates();
        QVERIFY(waitForChecks(3));
        clock->advance(std::chrono::hours(48));
        VirtualClock::drainEvents();
        QCOMPARE(server->requestCount, 3);
    }

    void delegateSwitchesAutomaticChecksOnAndNeverAsks() {
        server->body = feed(item("1.0.0"));
        auto updater = makeUpdater(u"1.0.0"_s);
        updater->setAutomaticallyChecksForUpdates(false);
        SparkleDelegate delegate;
        QVERIFY(!delegate.updaterShouldPromptForPermissionToCheckForUpdates(*updater));
        QVERIFY(updater->automaticallyChecksForUpdates());
        (void)nextResult(*updater);
    }

    // The banner's source: only this build's channel counts, a failed check changes nothing,
    // and a feed that no longer lists the channel makes it current again.
    void discontinuedChannelFollowsTheFeed() {
        server->body = feed(discontinued("source", "the Debian package") + item("1.0.0"));
        auto updater = makeUpdater(u"1.0.0"_s);
        QSignalSpy changed(updater.get(), &SparkleUpdater::successorChannelChanged);
        QVERIFY(!nextResult(*updater).successorChannel);
        QVERIFY(!updater->successorChannel());
        QCOMPARE(changed.size(), 0);

        server->body = feed(discontinued("deb", "the sonavert.io apt repository") + item("1.0.0"));
        updater->checkForUpdates();
        QCOMPARE(nextResult(*updater).successorChannel, u"the sonavert.io apt repository"_s);
        QCOMPARE(updater->successorChannel(), u"the sonavert.io apt repository"_s);
        QCOMPARE(changed.size(), 1);

        server->status = 500;
        updater->checkForUpdates();
        QCOMPARE(nextResult(*updater).kind, UpdateCheckResult::Kind::Failed);
        QCOMPARE(updater->successorChannel(), u"the sonavert.io apt repository"_s);
        QCOMPARE(changed.size(), 1);

        server->status = 200;
        server->body = feed(item("1.0.0"));
        updater->checkForUpdates();
        (void)nextResult(*updater);
        QVERIFY(!updater->successorChannel());
        QCOMPARE(changed.size(), 2);
    }

    void feedAddressComesFromConfiguration() {
        qputenv("SONAVERT_UPDATE_FEED_URL", "http://127.0.0.1:1/feed.xml");
        QCOMPARE(SparkleUpdater::defaultFeedUrl(), QUrl("http://127.0.0.1:1/feed.xml"));
        qunsetenv("SONAVERT_UPDATE_FEED_URL");
        QCOMPARE(SparkleUpdater::defaultFeedUrl(), QUrl("https://sonavert.io/appcast.xml"));
    }
};

QTEST_GUILESS_MAIN(SparkleUpdaterTest)
#include "sparkle_updater_test.moc"
