// Capture on one real player and resume on another: two mpv instances (with mpv-mpris, no
// audio device), each on its own private bus as on two machines, each with its own copy of
// the same tagged files. Skipped, with the reason printed, where mpv or the audio tools are
// missing.

#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/player/song_identifier.h"
#include "tests/support/await_task.h"
#include "tests/support/mpv_fixture.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/shortcuts_doubles.h"

#include <QDBusServiceWatcher>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using test::awaitTask;

namespace {

// One machine: a bus, an mpv on it, a library folder and the music service.
struct Machine {
    test::MpvOnPrivateBus mpv;
    std::shared_ptr<LibraryIndex> library;
    std::shared_ptr<MprisPlayer> player;
    std::shared_ptr<MusicPlaybackService> service;
    QStringList lines;

    void start(const QString& name, const QString& folder, const QString& scratch) {
        QString reason;
        QVERIFY2(mpv.start(name, scratch, &reason), qPrintable(reason));

        library = std::make_shared<LibraryIndex>(scratch + QStringLiteral("/index.json"),
                                                 QStringList{folder});
        QVERIFY(awaitTask(library->rescan()).ok());
        auto catalog = std::make_shared<LocalCatalog>(library, QList<RadioStation>{});
        MprisOptions options;
        options.playerName = QStringLiteral("mpv");
        auto clock = std::make_shared<SystemClock>();
        player = std::make_shared<MprisPlayer>(mpv.connection(), clock, catalog, options);
        auto stack = PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, player, catalog, std::make_shared<test::NoShortcutsTool>(), nullptr,
            std::make_shared<XdgOpenLauncher>(), std::make_shared<InMemoryUserDefaults>(),
            [] { return std::optional<QString>(); },
            [this](const QString& line) { lines << line; }});
        service = PlayerMusicStack::service(std::move(stack));
    }

    LibraryTrack trackNamed(const QString& title) const {
        for (const LibraryTrack& track : library->tracks())
            if (track.name == title)
                return track;
        return {};
    }

    // Reads the player until it plays a track; each reading waits on mpv's answer.
    std::optional<NowPlaying> readUntilPlaying() {
        for (int reading = 0; reading < 200; ++reading) {
            const Result<NowPlaying> now = awaitTask(player->nowPlaying());
            if (now.ok() && now.value().state == PlayerState::Playing && now.value().track)
                return now.value();
        }
        return std::nullopt;
    }
};

} // namespace

class MpvHandoffTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    Machine m_source;
    Machine m_target;

    QString makeLibrary(const QString& name) {
        const QString folder = m_scratch.filePath(name + QStringLiteral("/Music"));
        if (!QDir().mkpath(folder))
            return {};
        const QStringList blue{QStringLiteral("TITLE=Blue in Green"),
                               QStringLiteral("ARTIST=Miles Davis"),
                               QStringLiteral("ALBUM=Kind of Blue")};
        const QStringList ete{QStringLiteral("TITLE=Été \"à\" Paris"),
                              QStringLiteral("ARTIST=Anne \\ Vie"),
                              QStringLiteral("ALBUM=Saisons")};
        if (!test::AudioFixtures::make(folder + QStringLiteral("/blue.flac"), 90, blue) ||
            !test::AudioFixtures::make(folder + QStringLiteral("/été.ogg"), 90, ete))
            return {};
        return folder;
    }

private Q_SLOTS:
    void initTestCase() {
        const QString sourceFolder = makeLibrary(QStringLiteral("source"));
        const QString targetFolder = makeLibrary(QStringLiteral("target"));
        QVERIFY(!sourceFolder.isEmpty() && !targetFolder.isEmpty());
        m_source.start(QStringLiteral("source"), sourceFolder,
                       m_scratch.filePath(QStringLiteral("source")));
        m_target.start(QStringLiteral("target"), targetFolder,
                       m_scratch.filePath(QStringLiteral("target")));
    }

    // What plays on one mpv is captured as the right song and position, and the other mpv
    // starts the same song within two seconds of that position.
    void capturedSongResumesOnTheOtherPlayerAtItsPosition_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<double>("position");
        QTest::newRow("plain") << QStringLiteral("Blue in Green") << 37.0;
        QTest::newRow("quotes and accents") << QStringLiteral("Été \"à\" Paris") << 52.0;
    }
    void capturedSongResumesOnTheOtherPlayerAtItsPosition() {
        QFETCH(QString, title);
        QFETCH(double, position);
        const LibraryTrack track = m_source.trackNamed(title);
        QVERIFY(!track.uri.isEmpty());
        QVERIFY(awaitTask(m_source.player->playTrack(track)).ok());
        QVERIFY(m_source.readUntilPlaying());
        QVERIFY(awaitTask(m_source.player->setPlayerPosition(position)).ok());

        const std::optional<PlaybackState> captured =
            awaitTask(m_source.service->currentPlaybackState());
        QVERIFY2(captured, qPrintable(m_source.lines.join(QLatin1Char('\n'))));
        QCOMPARE(captured->songTitle, title);
        QCOMPARE(captured->songID, songIdentifier(track));
        QVERIFY2(captured->playbackTime >= position - 0.5 && captured->playbackTime < position + 2,
                 qPrintable(QString::number(captured->playbackTime)));

        const Status resumed = awaitTask(m_target.service->resume(*captured));
        QVERIFY2(resumed.ok(), qPrintable(m_target.lines.join(QLatin1Char('\n'))));
        const std::optional<NowPlaying> playing = m_target.readUntilPlaying();
        QVERIFY(playing);
        QCOMPARE(playing->track->name, title);
        QVERIFY2(std::abs(playing->position - captured->playbackTime) <= 2.0,
                 qPrintable(QStringLiteral("sent %1, playing at %2")
                                .arg(captured->playbackTime)
                                .arg(playing->position)));
    }
};

int main(int argc, char** argv) {
    const QString reason = test::MpvFixture::skipReason();
    if (!reason.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(reason));
        return 77;
    }
    QCoreApplication app(argc, argv);
    MpvHandoffTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "mpv_handoff_test.moc"
