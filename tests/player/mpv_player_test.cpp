// The MPRIS backend against a real mpv (with mpv-mpris, no audio device) on a private bus,
// playing tagged files made for the test. Skipped, with the reason printed, where mpv or its
// MPRIS plugin or the audio tools are missing.

#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/player/url_normalization.h"
#include "tests/support/await_task.h"
#include "tests/support/mpv_fixture.h"
#include "tests/support/private_session_bus.h"

#include <QTemporaryDir>
#include <QTest>
#include <csignal>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::AudioFixtures;
using test::awaitTask;

class MpvPlayerTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    test::PrivateSessionBus m_bus;
    std::shared_ptr<LibraryIndex> m_library;
    std::shared_ptr<LocalCatalog> m_catalog;
    std::unique_ptr<MprisPlayer> m_player;

    LibraryTrack trackNamed(const QString& name) {
        const QList<LibraryTrack> found =
            awaitTask(m_player->libraryTracks(TrackFilter{name, std::nullopt}));
        return found.isEmpty() ? LibraryTrack{} : found.first();
    }

    // Reads the player until `done` holds; every reading is a round trip to mpv, so this waits
    // on its answers. Gives up after `readings` of them.
    std::optional<NowPlaying> readUntil(const std::function<bool(const NowPlaying&)>& done,
                                        int readings = 100) {
        for (int i = 0; i < readings; ++i) {
            const Result<NowPlaying> now = awaitTask(m_player->nowPlaying());
            if (now.ok() && done(now.value()))
                return now.value();
        }
        return std::nullopt;
    }

private Q_SLOTS:
    void initTestCase() {
        QString reason;
        QVERIFY2(m_bus.start(&reason), qPrintable(reason));
        // mpv starts with this process's environment: our bus, a scratch home.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        qputenv("HOME", m_scratch.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_scratch.filePath(u"config"_s).toUtf8());

        const QString music = m_scratch.filePath(u"Music"_s);
        QVERIFY(QDir().mkpath(music));
        QVERIFY(AudioFixtures::make(
            music + u"/Blue in Green.flac"_s, 60,
            {u"TITLE=Blue in Green"_s, u"ARTIST=Miles Davis"_s, u"ALBUM=Kind of Blue"_s}));
        QVERIFY(AudioFixtures::make(
            music + u"/Été à Paris.ogg"_s, 60,
            {u"TITLE=Été à Paris"_s, u"ARTIST=Anne \"la\" Vie"_s, u"ALBUM=Saisons"_s}));
        m_library =
            std::make_shared<LibraryIndex>(m_scratch.filePath(u"index.json"_s), QStringList{music});
        QVERIFY(awaitTask(m_library->rescan()).ok());
        m_catalog = std::make_shared<LocalCatalog>(m_library, QList<RadioStation>{});

        MprisOptions options;
        options.playerName = u"mpv"_s;
        options.launchProgram = u"mpv"_s;
        options.launchArguments = test::MpvFixture::arguments();
        m_player = std::make_unique<MprisPlayer>(
            m_bus.connect(u"backend"_s), std::make_shared<SystemClock>(), m_catalog, options);
    }

    void cleanupTestCase() {
        if (m_player && m_player->launchedProcessId() > 0)
            ::kill(static_cast<pid_t>(m_player->launchedProcessId()), SIGTERM);
    }

    void activateStartsMpvWhenNoneRuns() {
        QVERIFY(!awaitTask(m_player->isRunning()));
        const Status activated = awaitTask(m_player->activate());
        QVERIFY2(activated.ok(),
                 qPrintable(activated.ok() ? QString() : activated.error().description));
        QVERIFY(m_player->launchedProcessId() > 0);
        QCOMPARE(m_player->currentService(), u"org.mpris.MediaPlayer2.mpv"_s);
        const NowPlaying idle = awaitTask(m_player->nowPlaying()).value();
        QCOMPARE(idle.state, PlayerState::Stopped); // mpv says "Playing" while idle
        QVERIFY(!idle.track);
    }

    void playsALibraryTrackAndSeeksInIt() {
        const LibraryTrack track = trackNamed(u"blue in green"_s);
        QVERIFY(awaitTask(m_player->playTrack(track)).ok());
        const auto playing = readUntil(
            [](const NowPlaying& now) { return now.state == PlayerState::Playing && now.track; });
        QVERIFY2(playing, "mpv never reported the track as playing");
        QCOMPARE(playing->track->name, u"Blue in Green"_s);
        QCOMPARE(playing->track->artist, u"Miles Davis"_s);
        QCOMPARE(playing->track->album, u"Kind of Blue"_s);

        const Status seeked = awaitTask(m_player->setPlayerPosition(40.0));
        QVERIFY2(seeked.ok(), qPrintable(seeked.ok() ? QString() : seeked.error().description));
        const NowPlaying after = awaitTask(m_player->nowPlaying()).value();
        QVERIFY2(after.position >= 39.0 && after.position < 43.0,
                 qPrintable(QString::number(after.position)));
    }

    void pausesResumesAndStops() {
        QVERIFY(awaitTask(m_player->pause()).ok());
        QVERIFY(readUntil([](const NowPlaying& now) { return now.state == PlayerState::Paused; }));
        QVERIFY(awaitTask(m_player->play()).ok());
        QVERIFY(readUntil([](const NowPlaying& now) { return now.state == PlayerState::Playing; }));
        QVERIFY(awaitTask(m_player->stop()).ok());
        QVERIFY(readUntil([](const NowPlaying& now) { return !now.track; }));
    }

    void nonAsciiFileIsRecognisedDespiteReEncodedUrl() {
        const LibraryTrack track = trackNamed(u"Été à Paris"_s);
        QVERIFY(!track.uri.isEmpty());
        QVERIFY(awaitTask(m_player->openLocation(track.uri)).ok());
        const auto playing = readUntil(
            [](const NowPlaying& now) { return now.state == PlayerState::Playing && now.track; });
        QVERIFY(playing);
        QCOMPARE(playing->track->artist, u"Anne \"la\" Vie"_s);
        QVERIFY(isSameUrl(playing->track->uri, track.uri));
        QVERIFY(m_catalog->trackForUrl(playing->track->uri));
    }
};

int main(int argc, char** argv) {
    const QString reason = test::MpvFixture::skipReason();
    if (!reason.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(reason));
        return 77;
    }
    QCoreApplication app(argc, argv);
    MpvPlayerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "mpv_player_test.moc"
