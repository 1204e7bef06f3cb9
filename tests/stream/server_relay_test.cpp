// Two computers of one account that cannot reach each other: the song passes through a real
// `sonavert-cloud` process, sealed under the account key, and plays on a real mpv. Neither the
// server's traffic, nor its store, nor its log holds a byte run of the song in clear.

#include "src/clouddb/http_cloud_database.h"
#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/stream/server_relay.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/await_task.h"
#include "tests/support/checked.h"
#include "tests/support/mpv_fixture.h"
#include "tests/support/process_harness.h"
#include "tests/support/recording_tcp_proxy.h"
#include "tests/support/scratch_files.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::stream;
using namespace Qt::StringLiterals;
using test::awaitTask;

namespace {

constexpr int kEventLimitMs = 60000; // only keeps a broken run from hanging

struct Answer {
    int status = 0;
    QByteArray body;
    QByteArray contentRange;
};

Answer get(const QString& url, const QByteArray& range = {}) {
    QNetworkAccessManager network;
    QNetworkRequest request{QUrl(url)};
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(kEventLimitMs))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->rawHeader("Content-Range")};
}

// Every file of the server's store, read whole.
QByteArray storeBytes(const QString& folder) {
    QByteArray all;
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

} // namespace

class ServerRelayTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::shared_ptr<SystemClock> m_clock = std::make_shared<SystemClock>();
    std::unique_ptr<test::CloudServerProcess> m_cloud;
    std::unique_ptr<test::RecordingTcpProxy> m_proxy;
    std::shared_ptr<TrackServer> m_source;
    std::unique_ptr<RelaySource> m_relaySource;
    std::shared_ptr<TrackFetcher> m_fetcher;
    QByteArray m_bytes;

    RelayLink link() {
        clouddb::CloudEndpoint endpoint;
        endpoint.server = m_proxy->url(QUrl(m_cloud->url()));
        endpoint.token = m_cloud->token();
        endpoint.container = u"iCloud.io.sonavert.test"_s;
        auto database = std::make_shared<clouddb::HttpCloudDatabase>(endpoint, m_clock);
        const auto key = crypto::AccountKey::fromBase64(m_cloud->accountKey());
        const crypto::KeyRing ring(key.value());
        return accountRelayLink(database, [ring] { return std::optional(ring); });
    }

    // The same song the playing side asks for, played through the server; the direct way
    // was tried first and failed as unreachable.
    QUrl throughServer(const TrackOffer& offer) {
        const Status direct = awaitTask(m_fetcher->probe(offer));
        if (direct || !direct.error().is(u"TrackFetch"_s,
                                         static_cast<int>(TrackFetcher::ErrorCode::Unreachable)))
            return {};
        if (!awaitTask(m_fetcher->probeThroughServer(offer)))
            return {};
        return m_fetcher->localUrlFor(offer, TrackFetcher::Route::ThroughServer);
    }

    // No 64-byte run of `song` went to the server in clear, nor into its store or log, nor the
    // capability of `offer`: the server could fetch the song with it.
    void checkNothingInClear(const QByteArray& song, const TrackOffer& offer) {
        const QByteArray capability = QUrl(offer.url).path().section(u'/', -1).toLatin1();
        QVERIFY(capability.size() > 20);
        QVERIFY2(!m_proxy->captured().contains(capability),
                 "the traffic holds the offer's capability");
        const QByteArray log = m_cloud->takeOutput();
        const QByteArray store = storeBytes(m_cloud->dataDir());
        QVERIFY(!m_proxy->captured().isEmpty());
        for (const qsizetype at : {song.size() / 7, song.size() / 2, song.size() - 200}) {
            const QByteArray run = song.mid(at, 64);
            QVERIFY2(!m_proxy->captured().contains(run), "the traffic holds the song in clear");
            QVERIFY2(!store.contains(run), "the store holds the song in clear");
            QVERIFY2(!log.contains(run), "the log holds the song in clear");
        }
    }

private Q_SLOTS:
    void initTestCase() {
        m_cloud =
            std::make_unique<test::CloudServerProcess>(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
        QVERIFY(m_cloud->isRunning());
        const QUrl server(m_cloud->url());
        m_proxy = std::make_unique<test::RecordingTcpProxy>(QHostAddress(server.host()),
                                                            quint16(server.port()));
        auto identity = makeEphemeralIdentity();
        QVERIFY(identity);
        // The offering computer listens on 127.0.0.1 and names 127.0.0.2 in its offers: the
        // playing one is refused there, as by a firewall.
        TrackServer::Options options;
        options.listenAddress = QHostAddress::LocalHost;
        options.advertisedHost = u"127.0.0.2"_s;
        m_source = std::make_shared<TrackServer>(m_clock, identity.value(), options);
        m_relaySource = std::make_unique<RelaySource>(m_clock, m_source, link());
        m_relaySource->start();
        m_fetcher = std::make_shared<TrackFetcher>(m_clock);
        QVERIFY(m_fetcher->listen());
        m_fetcher->passThroughServer(link());

        QByteArray bytes(1200 * 1024 + 77, Qt::Uninitialized);
        QRandomGenerator(11).generate(bytes.begin(), bytes.end());
        m_bytes = bytes;
    }

    // Whole and from a seek, the bytes that come out are the file's, and what passed the
    // server was sealed.
    void aSongPassesThroughTheServerWholeAndFromASeek() {
        const QString path = m_scratch.filePath(u"only-here.flac"_s);
        QVERIFY(test::writeFile(path, m_bytes));
        const std::optional<TrackOffer> offer = m_source->offer(path, 300);
        QVERIFY(offer);
        const QUrl url = throughServer(*offer);
        QVERIFY(url.isValid());

        const Answer whole = get(url.toString());
        QCOMPARE(whole.status, 200);
        QCOMPARE(whole.body.size(), m_bytes.size());
        QVERIFY(whole.body == m_bytes);
        const Answer seek = get(url.toString(), "bytes=700001-");
        QCOMPARE(seek.status, 206);
        QCOMPARE(seek.contentRange, "bytes 700001-" + QByteArray::number(m_bytes.size() - 1) + '/' +
                                        QByteArray::number(m_bytes.size()));
        QVERIFY(seek.body == m_bytes.mid(700001));
        CHECKED(checkNothingInClear(m_bytes, *offer));
    }

    // A real player plays the song from the loopback address and seeks in it.
    void mpvPlaysTheSongThroughTheServer() {
        if (const QString reason = test::MpvFixture::skipReason(); !reason.isEmpty())
            QSKIP(qPrintable(reason));
        if (!test::AudioFixtures::missingTools().isEmpty())
            QSKIP("the audio tools are missing");
        const QString path = m_scratch.filePath(u"tone.flac"_s);
        QVERIFY(test::AudioFixtures::make(path, 120, {u"TITLE=Only Here"_s}));
        const std::optional<TrackOffer> offer = m_source->offer(path, 120);
        QVERIFY(offer);
        const QUrl url = throughServer(*offer);
        QVERIFY(url.isValid());

        test::MpvOnPrivateBus mpv;
        QString reason;
        QVERIFY2(mpv.start(u"relay-test"_s, m_scratch.filePath(u"mpv-home"_s), &reason),
                 qPrintable(reason));
        auto library = std::make_shared<LibraryIndex>(m_scratch.filePath(u"index.json"_s),
                                                      QStringList{m_scratch.filePath(u"none"_s)});
        MprisOptions options;
        options.playerName = u"mpv"_s;
        MprisPlayer player(mpv.connection(), m_clock,
                           std::make_shared<LocalCatalog>(library, QList<RadioStation>{}), options);
        QVERIFY(awaitTask(player.openLocation(url.toString())));
        const auto isPlayingFrom = [&player](double second) {
            const Result<NowPlaying> now = awaitTask(player.nowPlaying());
            return now && now.value().state == PlayerState::Playing && now.value().track &&
                   now.value().position >= second;
        };
        QTRY_VERIFY_WITH_TIMEOUT(isPlayingFrom(0), kEventLimitMs);
        const Status sought = awaitTask(player.setPlayerPosition(60.0));
        QVERIFY2(sought, qPrintable(sought ? QString() : sought.error().description));
        QTRY_VERIFY_WITH_TIMEOUT(isPlayingFrom(59.5), kEventLimitMs);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        CHECKED(checkNothingInClear(file.readAll(), *offer));
    }
};

QTEST_GUILESS_MAIN(ServerRelayTest)
#include "server_relay_test.moc"
