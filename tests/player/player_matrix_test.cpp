// One pair of the player matrix: a song handed from a real player on one "computer" to a real
// player on another (each on a private session bus of its own), through the music services a
// device composes. The pair comes from the command line (`player_matrix_test mpv vlc`); CTest
// runs each pair of its ring as its own test. The song's tags carry quotes, backslashes and
// non-ASCII text, the way real libraries do. Figures are printed; the tolerances are the product's
// promise ("continues at the same second"), not performance targets.

#include "src/player/library_index.h"
#include "tests/support/player_machine.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::awaitTask;
using test::PlayerFixture;
using test::PlayerMachine;

namespace {

const QString kTitle = u"Say \"Hello\" \\ Goodbye"_s;
const QString kArtist = u"Ünïcødé Ørchestra & \"Friends\""_s;
const QString kAlbum = u"Back\\slash — Été à Paris"_s;
const QString kOtherTitle = u"Warm-up"_s;
constexpr double kStartAt = 30.0;
// How far from the sent position the target may start: the product's promise.
constexpr double kPositionTolerance = 1.5;

double seconds(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

} // namespace

class PlayerMatrixTest : public QObject {
    Q_OBJECT
public:
    PlayerMatrixTest(PlayerFixture source, PlayerFixture target)
        : m_source(std::move(source))
        , m_target(std::move(target)) {}

private:
    QTemporaryDir m_scratch;
    std::shared_ptr<LocalCatalog> m_catalog;
    PlayerMachine m_source;
    PlayerMachine m_target;
    std::optional<PlaybackState> m_sent;
    double m_captureSeconds = 0;

    LibraryTrack trackNamed(const QString& title) {
        const QList<LibraryTrack> found =
            awaitTask(m_source.player().libraryTracks(TrackFilter{title, std::nullopt}));
        return found.isEmpty() ? LibraryTrack{} : found.first();
    }

    bool makeLibrary(const QString& music) {
        return QDir().mkpath(music) &&
               test::AudioFixtures::make(
                   music + u"/Été — \"Hello\".flac"_s, 90,
                   {u"TITLE="_s + kTitle, u"ARTIST="_s + kArtist, u"ALBUM="_s + kAlbum}) &&
               test::AudioFixtures::make(music + u"/warm-up.flac"_s, 90,
                                         {u"TITLE="_s + kOtherTitle, u"ARTIST=Nobody"_s});
    }

private Q_SLOTS:
    void initTestCase() {
        const QString music = m_scratch.filePath(u"Music"_s);
        QVERIFY(makeLibrary(music));
        auto index =
            std::make_shared<LibraryIndex>(m_scratch.filePath(u"index.json"_s), QStringList{music});
        QVERIFY(awaitTask(index->rescan()).ok());
        m_catalog = std::make_shared<LocalCatalog>(index, QList<RadioStation>{});
        QString reason;
        QVERIFY2(
            m_source.start(u"source"_s, m_catalog, m_scratch.filePath(u"source-home"_s), &reason),
            qPrintable(reason));
        QVERIFY2(
            m_target.start(u"target"_s, m_catalog, m_scratch.filePath(u"target-home"_s), &reason),
            qPrintable(reason));
        m_source.host().shareWithPlayer(music);
        m_target.host().shareWithPlayer(music);
    }

    // The source plays the song well into it; the capture must name it exactly and say where
    // it is, between two readings of the player taken around it.
    void captureNamesTheSongAndItsPosition() {
        QVERIFY(awaitTask(m_source.player().playTrack(trackNamed(kTitle))).ok());
        QVERIFY2(m_source.awaitPlaying(kTitle), "the source never played the song");
        QVERIFY(awaitTask(m_source.player().setPlayerPosition(kStartAt)).ok());
        const NowPlaying before = awaitTask(m_source.player().nowPlaying()).value();
        QElapsedTimer timer;
        timer.start();
        m_sent = awaitTask(m_source.service().currentPlaybackState());
        m_captureSeconds = seconds(timer);
        const NowPlaying after = awaitTask(m_source.player().nowPlaying()).value();
        QVERIFY2(m_sent, "nothing captured from a playing source");
        QCOMPARE(m_sent->songTitle, kTitle);
        QCOMPARE(m_sent->artistName, kArtist);
        QCOMPARE(m_sent->albumTitle, std::optional<QString>(kAlbum));
        QVERIFY(!m_sent->songID.isEmpty());
        // Position readings move in steps (a quarter second for Audacious; Rhythmbox's whole
        // seconds read as their middle): half a second of slack each side.
        QVERIFY2(m_sent->playbackTime >= before.position - 0.5 &&
                     m_sent->playbackTime <= after.position + 0.5,
                 qPrintable(u"captured %1 s, player read %2 s before and %3 s after"_s
                                .arg(m_sent->playbackTime)
                                .arg(before.position)
                                .arg(after.position)));
    }

    void pauseStopsTheSource() {
        QVERIFY(m_sent);
        m_source.service().runAppleScript(u"tell application \"Music\" to pause"_s);
        QVERIFY2(m_source.readUntil(
                     [](const NowPlaying& now) { return now.state == PlayerState::Paused; }),
                 "the source never paused");
    }

    // Opening means playing, also on a paused player (mpv keeps its pause across opens, the
    // others do not: the quirks table must know which needs a Play).
    void openingOnAPausedTargetPlays() {
        QVERIFY(awaitTask(m_target.player().playTrack(trackNamed(kOtherTitle))).ok());
        QVERIFY(m_target.awaitPlaying(kOtherTitle));
        QVERIFY(awaitTask(m_target.player().pause()).ok());
        QVERIFY(m_target.readUntil(
            [](const NowPlaying& now) { return now.state == PlayerState::Paused; }));
        QVERIFY(awaitTask(m_target.player().openLocation(trackNamed(kTitle).uri)).ok());
        QVERIFY2(m_target.awaitPlaying(kTitle), "the paused target did not play what it opened");
    }

    // The target is paused on another song when the song arrives: it must play there, the
    // same recording, from where it was sent.
    void resumeStartsTheSameSongAtTheSentPosition() {
        QVERIFY(m_sent);
        QVERIFY(awaitTask(m_target.player().playTrack(trackNamed(kOtherTitle))).ok());
        QVERIFY(m_target.awaitPlaying(kOtherTitle));
        QVERIFY(awaitTask(m_target.player().pause()).ok());
        QVERIFY(m_target.readUntil(
            [](const NowPlaying& now) { return now.state == PlayerState::Paused; }));

        QElapsedTimer timer;
        timer.start();
        const Status resumed = awaitTask(m_target.service().resume(*m_sent));
        const double resumeSeconds = seconds(timer);
        QVERIFY2(resumed.ok(), qPrintable(resumed.ok() ? QString() : resumed.error().description));
        const std::optional<NowPlaying> playing = m_target.awaitPlaying(kTitle);
        QVERIFY2(playing, "the target does not play the song");
        QCOMPARE(playing->track->artist, kArtist);
        QCOMPARE(playing->track->album, kAlbum);
        const double error = playing->position - m_sent->playbackTime;
        std::printf("PAIR %s -> %s: capture %.3f s, resume to playing %.3f s, sent %.2f s, "
                    "target at %.2f s, position error %+.3f s\n",
                    qPrintable(m_source.name()), qPrintable(m_target.name()), m_captureSeconds,
                    resumeSeconds, m_sent->playbackTime, playing->position, error);
        QVERIFY2(error > -kPositionTolerance && error < kPositionTolerance,
                 qPrintable(u"the target started %1 s from the sent position"_s.arg(error)));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::printf("usage: player_matrix_test SOURCE TARGET [QtTest options]\n");
        return 2;
    }
    const std::optional<PlayerFixture> source = PlayerFixture::named(arguments.at(1));
    const std::optional<PlayerFixture> target = PlayerFixture::named(arguments.at(2));
    if (!source || !target) {
        std::printf("unknown player: %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    for (const PlayerFixture& player : {*source, *target}) {
        const QString reason = player.skipReason();
        if (!reason.isEmpty()) {
            std::printf("PAIR %s -> %s: SKIP: %s\n", argv[1], argv[2], qPrintable(reason));
            return 77;
        }
    }
    PlayerMatrixTest test(*source, *target);
    arguments.remove(1, 2);
    return QTest::qExec(&test, arguments);
}

#include "player_matrix_test.moc"
