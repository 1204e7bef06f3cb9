#include "src/ui/device_row_presentation.h"
#include "tests/ui/window_rig.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using sonavert::test::device;
using sonavert::test::teardrop;

namespace {

const Timestamp kNow{10'000'000.0};

AppDevice at(DevicePresence presence, double secondsAgo = 0) {
    AppDevice d = device(u"B0000000-0000-4000-8000-000000000001"_s, u"Kitchen"_s, presence);
    d.lastSeen = kNow.addSeconds(-secondsAgo);
    return d;
}

DeviceRowContext context(bool canPush = true) {
    DeviceRowContext c;
    c.canPush = canPush;
    c.canRemove = true;
    c.now = kNow;
    return c;
}

} // namespace

class DeviceRowPresentationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusTextAndDotFollowPresence_data() {
        QTest::addColumn<int>("presence");
        QTest::addColumn<bool>("discovering");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("dot");
        const int online = int(DevicePresence::Online),
                  connecting = int(DevicePresence::Connecting),
                  offline = int(DevicePresence::Offline);
        QTest::newRow("online") << online << false << "Available" << int(StatusDot::Green);
        QTest::newRow("connecting")
            << connecting << false << "Connecting\u2026" << int(StatusDot::Yellow);
        QTest::newRow("offline") << offline << false << "Offline" << int(StatusDot::Grey);
        QTest::newRow("offline while searching")
            << offline << true << "Connecting\u2026" << int(StatusDot::Yellow);
        QTest::newRow("online while searching")
            << online << true << "Available" << int(StatusDot::Green);
    }
    void statusTextAndDotFollowPresence() {
        QFETCH(int, presence);
        QFETCH(bool, discovering);
        QFETCH(QString, text);
        QFETCH(int, dot);
        DeviceRowContext c = context();
        c.isDiscovering = discovering;
        const auto row = device_rows::present(at(DevicePresence(presence)), c);
        QCOMPARE(row.statusText, text);
        QCOMPARE(int(row.dot), dot);
    }

    void offlineTextCountsWholeUnitsAfterTheFirstMinute_data() {
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<QString>("text");
        QTest::newRow("59 s") << 59.0 << "Offline";
        QTest::newRow("a minute") << 60.0 << "Offline \u00b7 1m ago";
        QTest::newRow("5 min 59 s") << 359.0 << "Offline \u00b7 5m ago";
        QTest::newRow("a second short of an hour") << 3599.0 << "Offline \u00b7 59m ago";
        QTest::newRow("an hour") << 3600.0 << "Offline \u00b7 1h ago";
        QTest::newRow("a second short of a day") << 86399.0 << "Offline \u00b7 23h ago";
        QTest::newRow("two days") << 172800.0 << "Offline \u00b7 2d ago";
    }
    void offlineTextCountsWholeUnitsAfterTheFirstMinute() {
        QFETCH(double, elapsed);
        QFETCH(QString, text);
        QCOMPARE(device_rows::present(at(DevicePresence::Offline, elapsed), context()).statusText,
                 text);
    }

    void offlineTextChangesAtTheNextUnitBoundary() {
        QCOMPARE(device_rows::secondsUntilOfflineTextChanges(59.0), 1.0);
        QCOMPARE(device_rows::secondsUntilOfflineTextChanges(90.0), 30.0);
        QCOMPARE(device_rows::secondsUntilOfflineTextChanges(3599.0), 1.0);
        QCOMPARE(device_rows::secondsUntilOfflineTextChanges(3600.0), 3600.0);
        QCOMPARE(device_rows::secondsUntilOfflineTextChanges(86400.0 + 10), 86390.0);
    }

    void playingDevicesShowTheSongInsteadOfTheStatus() {
        AppDevice d = at(DevicePresence::Online);
        d.nowPlaying = teardrop();
        const auto row = device_rows::present(d, context());
        QVERIFY(row.isPlaying);
        QCOMPARE(row.playingLine, u"Teardrop \u2014 Massive Attack"_s);
        QCOMPARE(row.playingAccessibilityLabel, u"Playing Teardrop by Massive Attack"_s);
        // An offline device with a stale song is not playing.
        AppDevice stale = at(DevicePresence::Offline, 10);
        stale.nowPlaying = teardrop();
        QVERIFY(!device_rows::present(stale, context()).isPlaying);
        AppDevice connecting = at(DevicePresence::Connecting);
        connecting.nowPlaying = teardrop();
        QVERIFY(device_rows::present(connecting, context()).isPlaying);
    }

    void buttonsFollowPresenceAndWhatPlaysHere() {
        AppDevice playing = at(DevicePresence::Online);
        playing.nowPlaying = teardrop();
        auto row = device_rows::present(playing, context(true));
        QVERIFY(row.showsPull && row.showsPush);
        QCOMPARE(row.pushSymbol, u"arrow.right"_s);
        QCOMPARE(row.pushHelp, u"Send this device's playback to Kitchen"_s);

        row = device_rows::present(at(DevicePresence::Online), context(true));
        QVERIFY(!row.showsPull && row.showsPush);

        // Nothing plays here: no push anywhere, a pullable device still offers pull.
        row = device_rows::present(playing, context(false));
        QVERIFY(row.showsPull && !row.showsPush);

        AppDevice offline = at(DevicePresence::Offline, 30);
        offline.nowPlaying = teardrop();
        row = device_rows::present(offline, context(true));
        QVERIFY(!row.showsPull && row.showsPush);
        QCOMPARE(row.pushSymbol, u"clock.arrow.trianglehead.counterclockwise.rotate.90"_s);
        QCOMPARE(row.pushHelp,
                 u"Kitchen is offline \u2014 playback will start when it next opens"_s);
    }

    // Whatever its presence or song, a computer without the key says so and offers its
    // verification (where this computer can give one) instead of push and pull.
    void aComputerWithoutTheKeyOffersVerificationInsteadOfPushAndPull() {
        for (const DevicePresence presence : {DevicePresence::Online, DevicePresence::Offline}) {
            AppDevice d = at(presence, 600);
            d.nowPlaying = teardrop();
            d.isUnverified = true;
            DeviceRowContext c = context();
            c.canVerify = true;
            const DeviceRowPresentation row = device_rows::present(d, c);
            QCOMPARE(row.statusText, u"Not verified yet"_s);
            QCOMPARE(row.dot, StatusDot::Yellow);
            QVERIFY(!row.isPlaying && !row.showsPush && !row.showsPull);
            QVERIFY(row.showsVerify);
            QVERIFY(row.accessibilityLabel.contains(u"Not verified yet"_s));
            c.canVerify = false; // this computer lacks the key itself
            QVERIFY(!device_rows::present(d, c).showsVerify);
        }
        AppDevice verified = at(DevicePresence::Online);
        DeviceRowContext c = context();
        c.canVerify = true;
        QVERIFY(!device_rows::present(verified, c).showsVerify);
        QVERIFY(device_rows::present(verified, c).showsPush);
    }

    void runningOperationsDisableBothButtonsAndSpinOnlyTheirOwn() {
        DeviceRowContext c = context();
        QVERIFY(device_rows::present(at(DevicePresence::Online), c).areButtonsEnabled);
        c.isTransferring = true;
        auto row = device_rows::present(at(DevicePresence::Online), c);
        QVERIFY(!row.areButtonsEnabled);
        QVERIFY(row.isPushBusy);
        QVERIFY(!row.isPullBusy);
        c.isTransferring = false;
        c.isPulling = true;
        row = device_rows::present(at(DevicePresence::Online), c);
        QVERIFY(!row.areButtonsEnabled);
        QVERIFY(!row.isPushBusy);
    }

    void accessibilityLabelJoinsTheRowsParts() {
        AppDevice d = at(DevicePresence::Online);
        d.isFavorite = true;
        d.hasQueuedPush = true;
        d.nowPlaying = teardrop();
        QCOMPARE(device_rows::present(d, context()).accessibilityLabel,
                 QStringLiteral("favorite, Kitchen, Available, push queued, playing Teardrop by "
                                "Massive Attack"));
        QCOMPARE(
            device_rows::present(at(DevicePresence::Offline, 120), context()).accessibilityLabel,
            u"Kitchen, Offline \u00b7 2m ago"_s);
    }

    void nameIsDimmedOnlyForOfflineDevicesOutsideTheSearch() {
        QVERIFY(device_rows::present(at(DevicePresence::Offline), context()).isNameDimmed);
        DeviceRowContext searching = context();
        searching.isDiscovering = true;
        QVERIFY(!device_rows::present(at(DevicePresence::Offline), searching).isNameDimmed);
        QVERIFY(!device_rows::present(at(DevicePresence::Connecting), context()).isNameDimmed);
    }

    void favouriteActionsNameTheDeviceAndItsMark() {
        AppDevice d = at(DevicePresence::Online);
        const auto marks = [&] {
            const auto row = device_rows::present(d, context());
            return QStringList{row.favoriteActionText, row.favoriteSymbol,
                               row.swipeFavoriteText,  row.hoverFavoriteSymbol,
                               row.hoverFavoriteHelp,  row.removeText};
        };
        QCOMPARE(marks(), (QStringList{"Favorite Kitchen", "star", "Favorite", "star",
                                       "Favorite Kitchen", "Remove Kitchen"}));
        d.isFavorite = true;
        QCOMPARE(marks(),
                 (QStringList{"Unfavorite Kitchen", "star.slash", "Unfavorite", "star.fill",
                              "Remove Kitchen from favorites", "Remove Kitchen"}));
    }

    void waveformBarsMoveBetweenFourAndThirteenPoints() {
        QCOMPARE(device_rows::waveformBarHeight(0.0, 0.0), 8.5);
        QCOMPARE(device_rows::waveformBarHeight(0.0, M_PI / 2), 13.0);
        QCOMPARE(device_rows::waveformBarHeight(0.0, -M_PI / 2), 4.0);
        // Six radians a second: a quarter turn later the first bar is at its top.
        QVERIFY(qAbs(device_rows::waveformBarHeight(M_PI / 12, 0.0) - 13.0) < 1e-9);
        for (double t = 0; t < 3; t += 0.07) {
            for (double phase : device_rows::kWaveformPhases) {
                const double h = device_rows::waveformBarHeight(t, phase);
                QVERIFY(h >= 4.0 && h <= 13.0);
            }
        }
    }
};

QTEST_GUILESS_MAIN(DeviceRowPresentationTest)
#include "device_row_presentation_test.moc"
