// The simulated player under virtual time.

#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::awaitTask;

namespace {

LibraryTrack track(const QString& name, const QString& artist, double duration) {
    return {name, artist, u"Album"_s, duration, u"file:///music/"_s + name + u".flac"_s, {}};
}

std::shared_ptr<StaticTrackLibrary> library() {
    return std::make_shared<StaticTrackLibrary>(
        QList<LibraryTrack>{track(u"Blue in Green"_s, u"Miles Davis"_s, 337),
                            track(u"Blue in Green (Take 2)"_s, u"Miles Davis"_s, 300),
                            track(u"So What"_s, u"Miles Davis"_s, 30)});
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
        QCOMPARE(now().track->name, u"So What"_s);
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
        QCOMPARE(awaitTask(m_player->libraryTracks(TrackFilter{u"BLUE IN GREEN"_s, std::nullopt})),
                 QList{library()->tracks().at(0)});
        QVERIFY(awaitTask(m_player->libraryTracks(TrackFilter{u"Blue in Green"_s, u"Miles"_s}))
                    .isEmpty());
        QCOMPARE(awaitTask(m_player->libraryTracks({})).size(), 3);
    }

    void openLocationOfAStationIsKnownByTheStationName() {
        const RadioStation station{
            u"ra1"_s, u"Late Night Jazz"_s, u"https://radio.example.org/jazz.ogg"_s, {}};
        auto catalog = std::make_shared<LocalCatalog>(library(), QList<RadioStation>{station});
        SimulatedPlayer player(m_clock, catalog);
        QVERIFY(awaitTask(player.openLocation(u"HTTPS://radio.example.org/jazz.ogg"_s)).ok());
        m_clock->advance(1h);
        const NowPlaying playing = player.snapshot();
        QCOMPARE(playing.state, PlayerState::Playing); // a stream never runs out
        QCOMPARE(playing.track->album, u"Late Night Jazz"_s);
        QCOMPARE(player.openedLocations(), QStringList{u"HTTPS://radio.example.org/jazz.ogg"_s});
        QVERIFY(awaitTask(player.stop()).ok());
        QVERIFY(!player.snapshot().track);
    }
};

QTEST_GUILESS_MAIN(SimulatedPlayerTest)
#include "simulated_player_test.moc"
