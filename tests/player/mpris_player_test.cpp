// The MPRIS backend against fake players on a private bus, in virtual time.

#include "src/desktop/user_defaults.h"
#include "src/player/mpris_player.h"
#include "src/runtime/virtual_clock.h"
#include "tests/player/fake_mpris_service.h"
#include "tests/support/await_task.h"
#include "tests/support/private_session_bus.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using sonavert::test::FakeMedia;
using sonavert::test::FakeMprisService;
using Rule = FakeMprisService::SetPositionRule;

namespace {

const QString kSongUrl = u"file:///music/Miles%20Davis/Blue%20in%20Green.flac"_s;
const QString kOtherUrl = u"file:///music/%C3%89t%C3%A9.ogg"_s;

FakeMedia blueInGreen() {
    return {kSongUrl,
            u"Blue in Green"_s,
            {u"Miles Davis"_s, u"Bill Evans"_s},
            u"Kind of Blue"_s,
            337'000'000};
}

FakeMedia ete() {
    return {kOtherUrl, u"Été"_s, {u"Anne"_s}, u"Saisons"_s, 200'000'000};
}

} // namespace

class MprisPlayerTest : public QObject {
    Q_OBJECT

    test::PrivateSessionBus m_bus;
    int m_connections = 0;
    std::shared_ptr<VirtualClock> m_clock;
    std::vector<std::unique_ptr<FakeMprisService>> m_fakes;
    std::unique_ptr<MprisPlayer> m_player;

    FakeMprisService& addFake(const QString& name, FakeMprisService::Quirks quirks = {}) {
        auto fake = std::make_unique<FakeMprisService>(m_clock, quirks);
        fake->addMedia(blueInGreen());
        fake->addMedia(ete());
        const QDBusConnection connection = m_bus.connect(u"fake%1"_s.arg(++m_connections));
        if (!fake->registerOn(connection, u"org.mpris.MediaPlayer2."_s + name))
            qFatal("the fake player could not take its bus name");
        m_fakes.push_back(std::move(fake));
        return *m_fakes.back();
    }

    MprisPlayer& makePlayer(MprisOptions options = {},
                            std::shared_ptr<const TrackLibrary> library = nullptr) {
        m_player = std::make_unique<MprisPlayer>(m_bus.connect(u"backend%1"_s.arg(++m_connections)),
                                                 m_clock, std::move(library), std::move(options));
        return *m_player;
    }

    // Runs `task` to its end: while a D-Bus call is out we wait for the bus, and only when the
    // backend waits on nothing but the clock do we move virtual time to the next timer.
    template <typename T> T drive(QCoro::Task<T> task) {
        while (!task.isReady()) {
            if (m_player->callsInFlight() > 0) {
                QCoreApplication::eventDispatcher()->processEvents(QEventLoop::WaitForMoreEvents);
                continue;
            }
            VirtualClock::drainEvents();
            if (task.isReady() || m_player->callsInFlight() > 0)
                continue;
            if (!m_clock->advanceToNextTimer())
                qFatal("the backend waits on neither the bus nor the clock");
        }
        return test::awaitTask(std::move(task));
    }

    double virtualSeconds() const {
        return std::chrono::duration<double>(m_clock->monotonicNow()).count();
    }

private Q_SLOTS:
    void initTestCase() {
        QString reason;
        if (!m_bus.start(&reason))
            QSKIP(qPrintable(reason));
    }

    void init() { m_clock = std::make_shared<VirtualClock>(); }

    void cleanup() {
        m_player.reset();
        m_fakes.clear();
    }

    void readsStateTrackAndPositionAndPrefersLibraryNames() {
        FakeMprisService& fake = addFake(u"fake"_s);
        fake.load(kSongUrl, true, 12'500'000);
        // The library holds the same file under another spelling of its URL.
        auto library = std::make_shared<StaticTrackLibrary>(QList<LibraryTrack>{
            {u"Blue In Green (Take 3)"_s, u"Miles Davis"_s, u"Kind of Blue"_s, 337.0,
             u"file:///music/Miles Davis/./Blue in Green.flac"_s, QString()}});
        MprisPlayer& player = makePlayer({}, library);
        const Result<NowPlaying> now = drive(player.nowPlaying());
        QVERIFY(now.ok());
        QCOMPARE(now.value().state, PlayerState::Playing);
        QCOMPARE(now.value().position, 12.5);
        QCOMPARE(now.value().track->name, u"Blue In Green (Take 3)"_s);

        makePlayer();
        const NowPlaying raw = drive(m_player->nowPlaying()).value();
        QCOMPARE(raw.track->name, u"Blue in Green"_s);
        QCOMPARE(raw.track->artist, u"Miles Davis, Bill Evans"_s);
        QCOMPARE(raw.track->album, u"Kind of Blue"_s);
        QCOMPARE(raw.track->duration, 337.0);
    }

    void idlePlayerThatSaysPlayingWithoutATrackIsStopped() {
        addFake(u"mpv"_s).becomeIdleLikeMpv();
        const NowPlaying now = drive(makePlayer().nowPlaying()).value();
        QCOMPARE(now.state, PlayerState::Stopped);
        QVERIFY(!now.track);
        QCOMPARE(drive(m_player->setPlayerPosition(10)).error().code,
                 int(PlayerErrorCode::NoCurrentTrack));
    }

    void setPositionCarriesTheTrackIdOfTheTrackLoadedNow() {
        FakeMprisService& fake = addFake(u"fake"_s);
        fake.load(kSongUrl, true);
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.nowPlaying()).ok()); // the backend has seen the first track's id
        QVERIFY(drive(player.playTrack(LibraryTrack{{}, {}, {}, 0, kOtherUrl, {}})).ok());
        const QString current = fake.trackId();
        QVERIFY(drive(player.setPlayerPosition(60.0)).ok());
        QCOMPARE(fake.calls().filter(u"SetPosition"_s),
                 QStringList{u"SetPosition(%1,60000000)"_s.arg(current)});
        QVERIFY(fake.calls().filter(u"Seek"_s).isEmpty());
        QVERIFY(fake.truePosition() >= 60.0 && fake.truePosition() < 61.0);
    }

    void rejectedOrIgnoredSetPositionFallsBackToSeek_data() {
        QTest::addColumn<int>("rule");
        QTest::newRow("rejects") << int(Rule::RejectAll);
        QTest::newRow("ignores") << int(Rule::IgnoreAll);
    }
    void rejectedOrIgnoredSetPositionFallsBackToSeek() {
        QFETCH(int, rule);
        FakeMprisService& fake = addFake(u"fake"_s, {.setPosition = Rule(rule)});
        fake.load(kSongUrl, true, 5'000'000);
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.setPlayerPosition(90.0)).ok());
        const QStringList seeks = fake.calls().filter(u"Seek"_s);
        QCOMPARE(seeks.size(), 1);
        // Relative to where the track was when we gave up on SetPosition.
        QVERIFY(fake.truePosition() >= 90.0 && fake.truePosition() < 91.0);
    }

    void laggingPositionIsWaitedOutNotSeekedAgain() {
        FakeMprisService& fake =
            addFake(u"fake"_s, {.positionLag = std::chrono::milliseconds(500)});
        fake.load(kSongUrl, true, 10'000'000);
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.setPlayerPosition(120.0)).ok());
        QVERIFY(fake.calls().filter(u"Seek"_s).isEmpty());
        QVERIFY(fake.truePosition() >= 120.0 && fake.truePosition() < 121.0);
    }

    void seekThatNeverLandsIsReported() {
        FakeMprisService& fake =
            addFake(u"fake"_s, {.setPosition = Rule::IgnoreAll, .ignoresSeek = true});
        fake.load(kSongUrl, true, 5'000'000);
        const Status status = drive(makePlayer().setPlayerPosition(90.0));
        QCOMPARE(status.error().code, int(PlayerErrorCode::SeekNotConfirmed));
    }

    // Rhythmbox and Strawberry seek in whole seconds, rounded down: sent to the nearest second
    // instead, they land at most half a second from where they were asked to be. Players that
    // seek exactly are sent exactly.
    void wholeSecondSeeksAreSentToTheNearestSecond_data() {
        QTest::addColumn<QString>("player");
        QTest::addColumn<bool>("wholeSeconds");
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("landing");
        QTest::newRow("strawberry, late in a second") << u"strawberry"_s << true << 100.8 << 101.0;
        QTest::newRow("strawberry, early in a second") << u"strawberry"_s << true << 100.3 << 100.0;
        QTest::newRow("rhythmbox") << u"rhythmbox"_s << true << 100.8 << 101.0;
        QTest::newRow("mpv seeks exactly") << u"mpv"_s << false << 100.8 << 100.8;
    }
    void wholeSecondSeeksAreSentToTheNearestSecond() {
        QFETCH(QString, player);
        QFETCH(bool, wholeSeconds);
        QFETCH(double, target);
        QFETCH(double, landing);
        FakeMprisService& fake = addFake(player, {.landsOnWholeSeconds = wholeSeconds});
        fake.load(kSongUrl, false, 5'000'000); // paused, so the landing stays put
        QVERIFY(drive(makePlayer().setPlayerPosition(target)).ok());
        QCOMPARE(fake.truePosition(), landing);
        QVERIFY(fake.calls().filter(u"Seek"_s).isEmpty());
    }

    // Rhythmbox reads whole seconds, rounded down: a reading stands for its whole second and is
    // taken as the middle of it, so a position sent on is at most half a second off.
    void wholeSecondReadingsAreTakenAsTheMiddleOfTheirSecond_data() {
        QTest::addColumn<qint64>("positionUs");
        QTest::newRow("early in a second") << qint64(42'100'000);
        QTest::newRow("late in a second") << qint64(42'700'000);
        QTest::newRow("at its end") << qint64(42'990'000);
    }
    void wholeSecondReadingsAreTakenAsTheMiddleOfTheirSecond() {
        QFETCH(qint64, positionUs);
        FakeMprisService& fake = addFake(u"rhythmbox"_s, {.readsWholeSeconds = true});
        fake.load(kSongUrl, true, positionUs);
        const NowPlaying now = drive(makePlayer().nowPlaying()).value();
        QVERIFY2(qAbs(now.position - fake.truePosition()) <= 0.5,
                 qPrintable(u"read %1 s at %2 s"_s.arg(now.position).arg(fake.truePosition())));
    }

    void playerWithoutOpenUriGetsTheTrackThroughItsTrackList() {
        FakeMprisService& fake = addFake(u"fake"_s, {.hasOpenUri = false, .hasTrackList = true});
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.playTrack(LibraryTrack{{}, {}, {}, 0, kSongUrl, {}})).ok());
        QCOMPARE(fake.calls(), (QStringList{u"OpenUri(%1)"_s.arg(kSongUrl),
                                            u"AddTrack(%1)"_s.arg(kSongUrl), u"Play"_s}));
        QVERIFY(fake.isPlaying());
        QCOMPARE(fake.loadedUrl(), kSongUrl);
    }

    // Audacious has neither OpenUri nor a track list, but its own interface opens and plays.
    void playerWithoutOpenUriOpensThroughItsOwnInterface() {
        FakeMprisService& fake = addFake(u"audacious"_s, {.hasOpenUri = false});
        test::FakeOwnOpenInterface own(&fake);
        QVERIFY(own.registerOn(m_bus.connect(u"own%1"_s.arg(++m_connections))));
        QVERIFY(drive(makePlayer().playTrack(LibraryTrack{{}, {}, {}, 0, kSongUrl, {}})).ok());
        // Audacious plays what it opens, paused or not: no Play after the open.
        QCOMPARE(fake.calls(),
                 (QStringList{u"OpenUri(%1)"_s.arg(kSongUrl), u"OpenList(%1)"_s.arg(kSongUrl)}));
        QVERIFY(fake.isPlaying());
        QCOMPARE(fake.loadedUrl(), kSongUrl);
    }

    // The reason travels back to the sender and is shown there: it has to say what was
    // missing and where the user can add a way to open files.
    void playerThatCannotOpenSaysWhyAndWhereToSetACommand() {
        addFake(u"fake"_s, {.hasOpenUri = false});
        const Status status = drive(makePlayer().openLocation(kSongUrl));
        QCOMPARE(status.error().code, int(PlayerErrorCode::Unsupported));
        const QString why = status.error().description;
        QVERIFY2(why.startsWith(u"The player cannot open "_s + kSongUrl), qPrintable(why));
        for (const QString& part : {u"no OpenUri"_s, u"no track list"_s,
                                    u"\"Sonavert.player.openCommands\" for \"fake\""_s})
            QVERIFY2(why.contains(part), qPrintable(why));
    }

    // An empty command in the settings switches the known one off; an Audacious whose own
    // interface is gone then has nothing left and says so, naming itself.
    void emptyCommandInTheSettingsLeavesNothingToOpenWith() {
        addFake(u"audacious"_s, {.hasOpenUri = false});
        auto settings = std::make_shared<InMemoryUserDefaults>();
        settings->setStringDictionary(QString::fromUtf8(kOpenCommandsKey),
                                      {{u"audacious"_s, QString()}});
        const Status status = drive(makePlayer({.settings = settings}).openLocation(kSongUrl));
        const QString why = status.error().description;
        QVERIFY2(why.startsWith(u"Audacious cannot open"_s), qPrintable(why));
        QVERIFY2(why.contains(u"org.atheme.audacious answered"_s), qPrintable(why));
        QVERIFY2(why.contains(u"no command to open files"_s), qPrintable(why));
    }

    // A program that runs and exits tells nothing: the open counts only once the player shows
    // the location, and says so when it never does.
    void openCommandThatNeverReachesThePlayerFails() {
        FakeMprisService& fake = addFake(u"fake"_s, {.hasOpenUri = false});
        auto settings = std::make_shared<InMemoryUserDefaults>();
        settings->setStringDictionary(QString::fromUtf8(kOpenCommandsKey),
                                      {{u"fake"_s, u"true"_s}});
        const Status status = drive(makePlayer({.settings = settings}).openLocation(kSongUrl));
        QVERIFY(!status.ok());
        QVERIFY2(status.error().description.contains(u"never showed the location"_s),
                 qPrintable(status.error().description));
        QVERIFY(fake.loadedUrl().isEmpty());
    }

    // The user's command for a player we know nothing about: run with the location put in, on
    // the player's bus, and confirmed by the player showing it. A real program talks to the
    // fake here, so this one runs on the system clock.
    void openCommandFromTheSettingsOpensWhereNothingElseCan() {
        FakeMprisService& fake = addFake(u"fake"_s, {.hasOpenUri = false});
        test::FakeOwnOpenInterface own(&fake);
        QVERIFY(own.registerOn(m_bus.connect(u"own%1"_s.arg(++m_connections))));
        auto settings = std::make_shared<InMemoryUserDefaults>();
        settings->setStringDictionary(
            QString::fromUtf8(kOpenCommandsKey),
            {{u"fake"_s, u"dbus-send --session --type=method_call --dest=org.atheme.audacious "
                         "/org/atheme/audacious org.atheme.audacious.OpenList array:string:%u"_s}});
        MprisOptions options{.settings = settings, .busAddress = m_bus.address()};
        MprisPlayer player(m_bus.connect(u"backend%1"_s.arg(++m_connections)),
                           std::make_shared<SystemClock>(), nullptr, options);
        const Status status = test::awaitTask(player.openLocation(kOtherUrl));
        QVERIFY2(status.ok(), qPrintable(status.ok() ? QString() : status.error().description));
        QCOMPARE(fake.loadedUrl(), kOtherUrl);
        QVERIFY(fake.calls().contains(u"OpenList(%1)"_s.arg(kOtherUrl)));
    }

    void stoppedStatusWithAMovingPositionCountsAsPlaying() {
        FakeMprisService& fake = addFake(u"mpv"_s, {.reportsStoppedAfterOpenUri = true});
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.openLocation(kOtherUrl)).ok());
        QCOMPARE(fake.reportedStatus(), u"Stopped"_s);
        m_clock->advance(std::chrono::milliseconds(400));
        const double before = virtualSeconds();
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Playing);
        QVERIFY(virtualSeconds() > before); // it had to look twice
        m_clock->advance(std::chrono::seconds(2));
        const double again = virtualSeconds();
        const NowPlaying now = drive(player.nowPlaying()).value();
        QCOMPARE(now.state, PlayerState::Playing);
        QCOMPARE(virtualSeconds(), again); // the earlier reading answered at once
        QCOMPARE(now.track->name, u"Été"_s);

        // A burst of readings (a script reads state, track and position in turn) reuses the
        // verdict instead of waiting for a new pair of samples each time.
        m_clock->advance(std::chrono::milliseconds(20));
        const double burst = virtualSeconds();
        for (int reading = 0; reading < 5; ++reading)
            QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Playing);
        QCOMPARE(virtualSeconds(), burst);

        // "Stopped" with a track whose position stands still is believed once the position
        // had time to move.
        fake.stall();
        m_clock->advance(std::chrono::seconds(1));
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Stopped);
        m_clock->advance(std::chrono::seconds(1));
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Stopped);
    }

    void commandsReachThePlayer() {
        FakeMprisService& fake = addFake(u"fake"_s);
        fake.load(kSongUrl, true);
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.pause()).ok());
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Paused);
        QVERIFY(drive(player.play()).ok());
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Playing);
        QVERIFY(drive(player.stop()).ok());
        const NowPlaying stopped = drive(player.nowPlaying()).value();
        QCOMPARE(stopped.state, PlayerState::Stopped);
        QVERIFY(!stopped.track);
    }

    // mpv keeps its pause when a new file is opened: a track opened on a paused player must
    // still play, or a song sent back to a device that paused on sending never starts.
    void openingOnAPausedPlayerPlays() {
        FakeMprisService& fake = addFake(u"mpv"_s, {.staysPausedAfterOpenUri = true});
        fake.load(kSongUrl, true);
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.pause()).ok());
        QVERIFY(drive(player.openLocation(kOtherUrl)).ok());
        QVERIFY(fake.isPlaying());
    }

    // Strawberry loses a Pause sent while it still starts what it opened: the open returns once
    // the track has played a moment, so a pause right after it holds.
    void pauseRightAfterAnOpenHolds() {
        FakeMprisService& fake =
            addFake(u"strawberry"_s, {.startup = std::chrono::milliseconds(200)});
        MprisPlayer& player = makePlayer();
        QVERIFY(drive(player.openLocation(kSongUrl)).ok());
        QVERIFY(drive(player.pause()).ok());
        QVERIFY(!fake.isPlaying());
        QCOMPARE(drive(player.nowPlaying()).value().state, PlayerState::Paused);
    }

    void choosesByNameOrPrefersThePlayingPlayer() {
        addFake(u"alpha"_s).load(kSongUrl, false);
        addFake(u"beta.instance7"_s).load(kOtherUrl, true);
        MprisPlayer& automatic = makePlayer();
        QCOMPARE(drive(automatic.nowPlaying()).value().track->name, u"Été"_s);
        QCOMPARE(automatic.currentService(), u"org.mpris.MediaPlayer2.beta.instance7"_s);

        QCOMPARE(drive(makePlayer({.playerName = u"alpha"_s}).nowPlaying()).value().state,
                 PlayerState::Paused);
        QVERIFY(drive(makePlayer({.playerName = u"beta"_s}).isRunning()));
        QCOMPARE(m_player->currentService(), u"org.mpris.MediaPlayer2.beta.instance7"_s);

        MprisPlayer& absent = makePlayer({.playerName = u"vlc"_s});
        QVERIFY(!drive(absent.isRunning()));
        QCOMPARE(drive(absent.nowPlaying()).error().code, int(PlayerErrorCode::NotRunning));
        QCOMPARE(drive(absent.activate()).error().code, int(PlayerErrorCode::NotRunning));
    }
};

QTEST_GUILESS_MAIN(MprisPlayerTest)
#include "mpris_player_test.moc"
