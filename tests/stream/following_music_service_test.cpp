// The music service with the song following the user, over a simulated player, a catalog of
// this computer's songs and a real offering server and relay on loopback.

#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/player/song_identifier.h"
#include "src/runtime/virtual_clock.h"
#include "src/stream/following_music_service.h"
#include "src/stream/server_relay.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"
#include "tests/fakes/fake_music_service.h"
#include "tests/support/await_task.h"
#include "tests/support/scratch_files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::stream;
using namespace Qt::StringLiterals;
using test::awaitTask;

namespace {

const LibraryTrack kHere{
    u"So What"_s, u"Miles Davis"_s, u"Kind of Blue"_s, 545.0, u"file:///music/so-what.flac"_s, {}};

QByteArray fetched(const QString& url) {
    QNetworkAccessManager network;
    std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest{QUrl(url)}));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(20000))
        return {};
    return reply->readAll();
}

} // namespace

class FollowingMusicServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::shared_ptr<VirtualClock> m_clock = std::make_shared<VirtualClock>();
    std::shared_ptr<FakeMusicService> m_inner;
    std::shared_ptr<SimulatedPlayer> m_player;
    std::shared_ptr<TrackServer> m_server;
    std::shared_ptr<TrackFetcher> m_fetcher;
    bool m_isSharing = true;
    std::unique_ptr<FollowingMusicService> m_service;
    LibraryTrack m_elsewhere; ///< a real file outside the music folder
    QByteArray m_bytes = QByteArray(300 * 1024, 'a') + "end";

private Q_SLOTS:
    void init() {
        m_elsewhere = LibraryTrack{u"Flamenco Sketches"_s,
                                   u"Miles Davis"_s,
                                   u"Kind of Blue"_s,
                                   562.0,
                                   QUrl::fromLocalFile(m_scratch.filePath(u"f.flac"_s)).toString(),
                                   {}};
        QVERIFY(test::writeFile(m_scratch.filePath(u"f.flac"_s), m_bytes));
        const auto library = std::make_shared<StaticTrackLibrary>(QList<LibraryTrack>{kHere});
        m_inner = std::make_shared<FakeMusicService>();
        m_player = std::make_shared<SimulatedPlayer>(m_clock, library);
        auto identity = makeEphemeralIdentity();
        QVERIFY(identity);
        TrackServer::Options options;
        options.listenAddress = QHostAddress::LocalHost;
        m_server = std::make_shared<TrackServer>(m_clock, identity.value(), options);
        QVERIFY(m_server->listen());
        m_fetcher = std::make_shared<TrackFetcher>(m_clock);
        QVERIFY(m_fetcher->listen());
        m_isSharing = true;
        m_service = std::make_unique<FollowingMusicService>(FollowingMusicService::Parts{
            m_inner, m_player, std::make_shared<LocalCatalog>(library, QList<RadioStation>{}),
            m_clock, m_server, m_fetcher, [this] { return m_isSharing; }});
    }

    void aCaptureSaysHowAnotherComputerReachesTheTrack() {
        // Outside the music folder: the catalog knows nothing, the player plays it.
        QVERIFY(awaitTask(m_player->playTrack(m_elsewhere)));
        std::optional<PlaybackState> state = awaitTask(m_service->currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->songID, songIdentifier(m_elsewhere));
        QCOMPARE(state->songTitle, m_elsewhere.name);
        QCOMPARE(state->location, m_elsewhere.uri);
        QCOMPARE(state->duration, 562.0);
        QVERIFY(!state->streamURL);
        QVERIFY(state->offer);
        QCOMPARE(fetched(m_fetcher->localUrlFor(*state->offer).toString()), m_bytes);

        // Known to the wrapped service: its song, with the offer added.
        m_inner->nowPlaying =
            PlaybackState{u"catalog-id"_s, 12.0, m_elsewhere.name, m_elsewhere.artist, {}, {}, {}};
        state = awaitTask(m_service->currentPlaybackState());
        QCOMPARE(state->songID, u"catalog-id"_s);
        QVERIFY(state->offer);
        // The player moved on between the two readings: the script's reading stands alone.
        m_inner->nowPlaying->songTitle = u"Something Else"_s;
        state = awaitTask(m_service->currentPlaybackState());
        QVERIFY(!state->offer && !state->location);
        m_inner->nowPlaying.reset();

        // Sharing off: nothing offered, and what was offered ends with the listening.
        QVERIFY(m_server->isListening());
        m_isSharing = false;
        state = awaitTask(m_service->currentPlaybackState());
        QVERIFY(state && !state->offer);
        QVERIFY(!m_server->isListening());
        QCOMPARE(m_server->offerCount(), 0);
        m_isSharing = true;

        // A stream passes as what it is.
        QVERIFY(awaitTask(m_player->openLocation(u"https://radio.example/live.ogg"_s)));
        state = awaitTask(m_service->currentPlaybackState());
        QCOMPARE(state->streamURL, u"https://radio.example/live.ogg"_s);
        QVERIFY(!state->offer);

        // Playing another computer's offer here: passed on as that offer, never as loopback.
        const TrackOffer theirs{u"https://10.0.0.7:4000/track/abc"_s, u"a2V5"_s};
        QVERIFY(awaitTask(m_player->openLocation(m_fetcher->localUrlFor(theirs).toString())));
        state = awaitTask(m_service->currentPlaybackState());
        QCOMPARE(state->offer, theirs);
        QVERIFY(!state->streamURL);

        // Paused: nothing plays, whatever is loaded.
        QVERIFY(awaitTask(m_player->pause()));
        QVERIFY(!awaitTask(m_service->currentPlaybackState()));
    }

    void aReceivedSongPlaysFromItsOwnCopyElseFromWhereItIs() {
        // This computer has it: its own copy, as always, whatever else the command carries.
        PlaybackState mine{songIdentifier(kHere), 30.0, kHere.name, kHere.artist, {}, {}, {}};
        mine.offer = TrackOffer{u"https://10.0.0.7:4000/track/abc"_s, u"a2V5"_s};
        QVERIFY(awaitTask(m_service->resume(mine)));
        QCOMPARE(m_inner->resumed.size(), 1);
        QVERIFY(m_player->openedLocations().isEmpty());

        // A stream: its player opens it itself.
        PlaybackState radio{u"unknown"_s, 0.0, u"Live"_s, {}, {}, {}, {}};
        radio.streamURL = u"https://radio.example/live.ogg"_s;
        QVERIFY(awaitTask(m_service->resume(radio)));
        QCOMPARE(m_player->openedLocations().last(), *radio.streamURL);

        // A file only the other computer has: through the relay, at its position.
        PlaybackState theirs{u"unknown"_s, 95.5, m_elsewhere.name, m_elsewhere.artist, {}, {}, {}};
        theirs.offer = m_server->offer(QUrl(m_elsewhere.uri).toLocalFile(), 400);
        QVERIFY(theirs.offer);
        QVERIFY(awaitTask(m_service->resume(theirs)));
        const QString opened = m_player->openedLocations().last();
        QVERIFY2(opened.startsWith(u"http://127.0.0.1:"_s), qPrintable(opened));
        QCOMPARE(fetched(opened), m_bytes);
        const Result<NowPlaying> now = awaitTask(m_player->nowPlaying());
        QCOMPARE(now.value().position, 95.5);
        QCOMPARE(m_inner->resumed.size(), 1);

        // The offer ended: the error says so, and nothing was opened.
        m_server->revokeAll();
        const qsizetype openedBefore = m_player->openedLocations().size();
        const Status ended = awaitTask(m_service->resume(theirs));
        QVERIFY(!ended);
        QVERIFY(ended.error().is(FollowErrorCode::NotReached));
        QCOMPARE(ended.error().description,
                 u"The song is not on this computer, and the other computer no longer offers "
                 u"the song."_s);
        QCOMPARE(m_player->openedLocations().size(), openedBefore);

        // Nothing to reach it by: the wrapped service tries, as before.
        PlaybackState bare{u"unknown"_s, 3.0, u"Elsewhere"_s, {}, {}, {}, {}};
        (void)awaitTask(m_service->resume(bare));
        QCOMPARE(m_inner->resumed.size(), 2);
    }

    // The server is tried only for a computer that cannot be reached, and when it cannot pass
    // the song on either, the error says what failed on each way.
    void theServerIsTheWayOnlyToAnUnreachableComputer() {
        QStringList calls;
        const auto failing = [&calls](QString operation,
                                      QJsonObject) -> QCoro::Task<Result<QJsonObject>> {
            calls << operation;
            co_return makeError(u"CloudDatabase"_s, 6, u"The server is unavailable."_s);
        };
        const auto sealing = [](QByteArray clear, QString, qint64) -> Result<QString> {
            return QString::fromLatin1(clear.toBase64());
        };
        m_fetcher->passThroughServer(RelayLink{failing, sealing, {}});

        // Reached, and no longer offered: the server would say no more.
        PlaybackState revoked{u"unknown"_s, 5.0, m_elsewhere.name, {}, {}, {}, {}};
        revoked.offer = m_server->offer(QUrl(m_elsewhere.uri).toLocalFile(), 400);
        QVERIFY(revoked.offer);
        m_server->revokeAll();
        QVERIFY(!awaitTask(m_service->resume(revoked)));
        QVERIFY(calls.isEmpty());

        // Not reached (nothing listens where the offer points): the server is asked, and fails.
        PlaybackState unreachable = revoked;
        QUrl elsewhere(unreachable.offer->url);
        elsewhere.setHost(u"127.0.0.2"_s);
        unreachable.offer->url = elsewhere.toString();
        const Status failed = awaitTask(m_service->resume(unreachable));
        QVERIFY(!failed);
        QCOMPARE(calls, QStringList{u"relay/ask"_s});
        QVERIFY2(failed.error().description.startsWith(
                     u"The song is not on this computer, the other computer cannot be reached: "_s),
                 qPrintable(failed.error().description));
        QVERIFY2(failed.error().description.endsWith(
                     u", and the server could not pass it on: The server is unavailable."_s),
                 qPrintable(failed.error().description));
        QVERIFY(m_player->openedLocations().isEmpty());
    }
};

QTEST_GUILESS_MAIN(FollowingMusicServiceTest)
#include "following_music_service_test.moc"
