// The simulated player under virtual time.

#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using test::awaitTask;

namespace {

LibraryTrack track(const QString& name, const QString& artist, double duration) {
    return {name,
            artist,
            QStringLiteral("Album"),
            duration,
            QStringLiteral("file:///music/") + name + QStringLiteral(".flac"),
            {}};
}

std::shared_ptr<StaticTrackLibrary> library() {
    return std::make_shared<StaticTrackLibrary>(QList<LibraryTrack>{
        track(QStringLiteral("Blue in Green"), QStringLiteral("Miles Davis"), 337),
        track(QStringLiteral("Blue in Green (Take 2)"), QStringLiteral("Miles Davis"), 300),
        track(QStringLiteral("So What"), QStringLiteral("Miles Davis"), 30)});
}

} // namespace

class SimulatedPlayerTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::unique_ptr<SimulatedPlayer> m_player;

    NowPlaying now() { return awaitTask(m_player->nowPlaying()).value(); }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_player = std::make_unique<SimulatedPlayer>(m_clock, library());
    }

    void positionMovesWithTheClockOnlyWhilePlaying() {
        QVERIFY(awaitTask(m_player->playTrack(library()->tracks().at(0))).ok());
        m_clock->advance(10s);
        QCOMPARE(now().position, 10.0);
        QCOMPARE(now().state, PlayerState::Playing);
        QVERIFY(awaitTask(m_player->pause()).ok());
        m_clock->advance(5s);
        QCOMPARE(now().position, 10.0);
        QCOMPARE(now().state, PlayerState::Paused);
        QVERIFY(awaitTask(m_player->play()).ok());
        m_clock->advance(2500ms);
        QCOMPARE(now().position, 12.5);
        QVERIFY(awaitTask(m_player->setPlayerPosition(60)).ok());
        m_clock->advance(1s);
        QCOMPARE(now().position, 61.0);
    }

    void trackThatRunsOutStopsAndUnloads() {
        QVERIFY(awaitTask(m_player->playTrack(library()->tracks().at(2))).ok());
        m_clock->advance(29s);
        QCOMPARE(now().track->name, QStringLiteral("So What"));
        m_clock->advance(2s);
        QCOMPARE(now().state, PlayerState::Stopped);
        QVERIFY(!now().track);
        QCOMPARE(awaitTask(m_player->setPlayerPosition(5)).error().code,
                 int(PlayerErrorCode::NoCurrentTrack));
    }

    void playerThatIsNotRunningRefusesUntilActivated() {
        m_player->setRunning(false);
        QVERIFY(!awaitTask(m_player->isRunning()));
        QCOMPARE(awaitTask(m_player->nowPlaying()).error().code, int(PlayerErrorCode::NotRunning));
        QCOMPARE(awaitTask(m_player->playTrack(library()->tracks().at(0))).error().code,
                 int(PlayerErrorCode::NotRunning));
        QVERIFY(awaitTask(m_player->activate()).ok());
        QVERIFY(awaitTask(m_player->isRunning()));
        QCOMPARE(now().state, PlayerState::Stopped);
    }

    void libraryFilterComparesWholeTextsIgnoringCase() {
        const QList<LibraryTrack> byName = awaitTask(
            m_player->libraryTracks(TrackFilter{QStringLiteral("BLUE IN GREEN"), std::nullopt}));
        QCOMPARE(byName.size(), 1);
        QCOMPARE(byName.first().name, QStringLiteral("Blue in Green"));
        QVERIFY(awaitTask(m_player->libraryTracks(TrackFilter{QStringLiteral("Blue in Green"),
                                                              QStringLiteral("Miles")}))
                    .isEmpty());
        QCOMPARE(awaitTask(m_player->libraryTracks({})).size(), 3);
    }

    void openLocationOfAStationIsKnownByTheStationName() {
        const RadioStation station{QStringLiteral("ra1"),
                                   QStringLiteral("Late Night Jazz"),
                                   QStringLiteral("https://radio.example.org/jazz.ogg"),
                                   {}};
        auto catalog = std::make_shared<LocalCatalog>(library(), QList<RadioStation>{station});
        SimulatedPlayer player(m_clock, catalog);
        QVERIFY(awaitTask(player.openLocation(QStringLiteral("HTTPS://radio.example.org/jazz.ogg")))
                    .ok());
        m_clock->advance(1h);
        const NowPlaying playing = player.snapshot();
        QCOMPARE(playing.state, PlayerState::Playing); // a stream never runs out
        QCOMPARE(playing.track->album, QStringLiteral("Late Night Jazz"));
        QCOMPARE(player.openedLocations(),
                 QStringList{QStringLiteral("HTTPS://radio.example.org/jazz.ogg")});
        QVERIFY(awaitTask(player.stop()).ok());
        QVERIFY(!player.snapshot().track);
    }
};

QTEST_GUILESS_MAIN(SimulatedPlayerTest)
#include "simulated_player_test.moc"
