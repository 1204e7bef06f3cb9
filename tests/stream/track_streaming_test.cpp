// A file offered by one computer and played through another's loopback relay: real TLS over
// loopback, the capability, byte ranges, the pinned key and the bounds of the serving side.

#include "src/clouddb/cloud_trust.h"
#include "src/runtime/virtual_clock.h"
#include "src/stream/http_head.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"
#include "tests/support/await_task.h"
#include "tests/support/scratch_files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>

using namespace sonavert;
using namespace sonavert::stream;
using namespace Qt::StringLiterals;

namespace {

constexpr int kEventLimitMs = 20000; // only keeps a broken run from hanging

struct Answer {
    int status = 0;
    QByteArray body;
    QByteArray contentRange;
};

// A plain GET as a player makes it; `trusting` forgives the certificate (for asking the
// offering computer directly, as an outsider would).
Answer get(const QString& url, const QByteArray& range = {}, bool trusting = false) {
    QNetworkAccessManager network;
    QNetworkRequest request{QUrl(url)};
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    if (trusting)
        reply->ignoreSslErrors();
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(kEventLimitMs))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->rawHeader("Content-Range")};
}

// The same GET made by another process with a profile of its own (another user's program on
// the machine, or another computer on the LAN): "status size" of what it got.
QByteArray getFromAnotherProcess(const QString& url, const QString& home) {
    QProcess outsider;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/config"_s);
    environment.insert(u"XDG_DATA_HOME"_s, home + u"/data"_s);
    outsider.setProcessEnvironment(environment);
    // Waited for with the event loop running: the offering server is in this process.
    QSignalSpy finished(&outsider, &QProcess::finished);
    outsider.start(QCoreApplication::applicationFilePath(), {u"--outsider-get"_s, url});
    if (!finished.wait(3 * kEventLimitMs)) // a sanitizer build starting on a loaded machine
        return {};
    const QByteArray said = outsider.readAllStandardOutput().trimmed();
    if (said.isEmpty())
        qWarning() << "the other process said nothing:" << outsider.readAllStandardError();
    return said;
}

int outsiderMain(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Answer answer = get(QString::fromLocal8Bit(argv[2]), {}, true);
    std::printf("%d %lld\n", answer.status, static_cast<long long>(answer.body.size()));
    std::fflush(stdout);
    return 0;
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(7).generate(bytes.begin(), bytes.end());
    return bytes;
}

} // namespace

class TrackStreamingTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::shared_ptr<VirtualClock> m_clock = std::make_shared<VirtualClock>();
    QString m_song;
    QByteArray m_bytes = randomBytes(700 * 1024 + 13);

    std::unique_ptr<TrackServer> server(TrackServer::Options options = {}) {
        options.listenAddress = QHostAddress::LocalHost;
        auto identity = makeEphemeralIdentity();
        if (!identity)
            return nullptr;
        auto made = std::make_unique<TrackServer>(m_clock, identity.value(), options);
        return made->listen() ? std::move(made) : nullptr;
    }

private Q_SLOTS:
    void initTestCase() {
        m_song = m_scratch.filePath(u"song.flac"_s);
        QVERIFY(test::writeFile(m_song, m_bytes));
    }

    void rangesAndHeadsAreReadAsPlayersSendThem() {
        using Kind = RangeRequest::Kind;
        const auto part = [](qint64 first, qint64 last) {
            return std::pair{Kind::Part, ByteRange{first, last}};
        };
        const QList<std::pair<QByteArray, std::pair<Kind, ByteRange>>> cases{
            {"bytes=0-99", part(0, 99)},
            {"bytes=100-", part(100, 999)},
            {"bytes=900-5000", part(900, 999)}, // clipped to the end
            {"bytes=-10", part(990, 999)},
            {"bytes=-5000", part(0, 999)},
            {"bytes=1000-", {Kind::Unsatisfiable, {}}},
            {"bytes=-0", {Kind::Unsatisfiable, {}}},
            {"bytes=5-2", {Kind::Whole, {}}},
            {"bytes=0-1,5-6", {Kind::Whole, {}}}, // several parts: served whole
            {"items=0-1", {Kind::Whole, {}}},
            {"bytes=x-", {Kind::Whole, {}}},
            {"", {Kind::Whole, {}}},
        };
        for (const auto& [header, expected] : cases) {
            const RangeRequest range = rangeOf(header, 1000);
            QVERIFY2(range.kind == expected.first, header.constData());
            if (range.kind == Kind::Part)
                QVERIFY2(range.range == expected.second, header.constData());
        }
        const auto head = parseRequestHead("GET /track/x HTTP/1.1\r\nRange: bytes=1-\r\n"
                                           "X-Y:  z \r\n\r\n");
        QVERIFY(head);
        QCOMPARE(head->target, "/track/x");
        QCOMPARE(head->headers.value("range"), "bytes=1-");
        QCOMPARE(head->headers.value("x-y"), "z");
        QVERIFY(!parseRequestHead("GET /x\r\n\r\n"));
        QVERIFY(!parseRequestHead("GET x HTTP/1.1\r\n\r\n"));
        QVERIFY(!parseRequestHead("GET /x HTTP/1.1\r\nno colon\r\n\r\n"));
    }

    // What the player gets through the relay is the file, whole or from where it seeks.
    void anOfferPlaysThroughTheRelayWholeAndFromASeek() {
        const auto source = server();
        QVERIFY(source);
        TrackFetcher fetcher(m_clock);
        QVERIFY(fetcher.listen());
        const std::optional<TrackOffer> offer = source->offer(m_song, 240);
        QVERIFY(offer);
        QVERIFY(offer->url.startsWith(u"https://127.0.0.1:"_s));
        QVERIFY(test::awaitTask(fetcher.probe(*offer)));

        const QUrl local = fetcher.localUrlFor(*offer);
        QCOMPARE(local.host(), u"127.0.0.1"_s);
        QCOMPARE(fetcher.localUrlFor(*offer), local); // one offer, one address
        const Answer whole = get(local.toString());
        QCOMPARE(whole.status, 200);
        QVERIFY(whole.body == m_bytes);

        const Answer seek = get(local.toString(), "bytes=500000-");
        QCOMPARE(seek.status, 206);
        QCOMPARE(seek.contentRange, "bytes 500000-" + QByteArray::number(m_bytes.size() - 1) + '/' +
                                        QByteArray::number(m_bytes.size()));
        QVERIFY(seek.body == m_bytes.mid(500000));
        QCOMPARE(get(local.toString(), "bytes=99999999-").status, 416);

        // The same file asked again renews its offer instead of making a second.
        QCOMPARE(source->offer(m_song, 100)->url, offer->url);
        QCOMPARE(source->offerCount(), 1);
        QCOMPARE(fetcher.offerBehind(local.toString()), offer);
        QVERIFY(!fetcher.offerBehind(u"http://127.0.0.1:1/play/x"_s));
    }

    // Without the capability, with an ended one, or with another key, nothing of the file.
    void noCapabilityEndedOfferOrOtherKeyGetsNothing() {
        const auto source = server();
        QVERIFY(source);
        TrackFetcher fetcher(m_clock);
        QVERIFY(fetcher.listen());
        const std::optional<TrackOffer> offer = source->offer(m_song, 60);
        QVERIFY(offer);
        const QUrl offered(offer->url);
        QUrl guessed = offered;
        guessed.setPath(u"/track/"_s + QString(43, u'A'));
        for (const QUrl& url :
             {guessed, offered.resolved(QUrl(u"/"_s)), offered.resolved(QUrl(u"/track/"_s))}) {
            const Answer answer = get(url.toString(), {}, true);
            QCOMPARE(answer.status, 404);
            QVERIFY(answer.body.isEmpty());
        }
        QCOMPARE(get(offer->url, {}, true).body.size(), m_bytes.size()); // the real one serves
        // Another process, another profile: the same, and the capability is all it takes.
        const QString home = m_scratch.filePath(u"outsider"_s);
        QCOMPARE(getFromAnotherProcess(guessed.toString(), home), "404 0");
        QCOMPARE(getFromAnotherProcess(offer->url, home),
                 "200 " + QByteArray::number(m_bytes.size()));

        // Another key: the relay refuses the computer, whatever it serves.
        TrackOffer forged = *offer;
        forged.key = QString::fromLatin1(QByteArray(32, 'k').toBase64());
        const Status refused = test::awaitTask(fetcher.probe(forged));
        QVERIFY(!refused);
        QVERIFY(refused.error().is(TrackFetcher::ErrorCode::Unreachable));
        const Answer relayed = get(fetcher.localUrlFor(forged).toString());
        QCOMPARE(relayed.status, 502);
        QVERIFY(relayed.body.isEmpty());

        // The song and its margin over: the offer is gone.
        m_clock->advance(std::chrono::seconds(60) + TrackServer::Options{}.margin +
                         std::chrono::seconds(1));
        QCOMPARE(get(offer->url, {}, true).status, 404);
        QCOMPARE(getFromAnotherProcess(offer->url, home), "404 0");
        const Status ended = test::awaitTask(fetcher.probe(*offer));
        QVERIFY(!ended);
        QVERIFY(ended.error().is(TrackFetcher::ErrorCode::NotOffered));

        // Revoked: every offer ends at once.
        const std::optional<TrackOffer> again = source->offer(m_song, 60);
        QVERIFY(again && again->url != offer->url);
        source->revokeAll();
        QCOMPARE(get(again->url, {}, true).status, 404);
        QVERIFY(!source->offer(m_scratch.filePath(u"missing.flac"_s), 60));
    }

    // The user turned sharing off: what was offered is served no more and nothing new is
    // offered; a server asked to offer starts listening by itself.
    void nothingIsServedWhileSharingIsOff() {
        bool isAllowed = true;
        TrackServer::Options options;
        options.listenAddress = QHostAddress::LocalHost;
        options.isAllowed = [&isAllowed] { return isAllowed; };
        auto identity = makeEphemeralIdentity();
        QVERIFY(identity);
        TrackServer source(m_clock, identity.value(), options);
        QVERIFY(!source.isListening());
        const std::optional<TrackOffer> offer = source.offer(m_song, 60);
        QVERIFY(offer && source.isListening());
        isAllowed = false;
        QCOMPARE(get(offer->url, {}, true).status, 404);
        QVERIFY(!source.offer(m_song, 60));
        isAllowed = true;
        QCOMPARE(get(offer->url, {}, true).status, 404); // ended, not paused
    }

    // A reader that takes nothing holds one of the few streams and a bounded part of the file;
    // the next asker is told to come back, and an endless head is cut off.
    void streamsAndHeadsAreBounded() {
        TrackServer::Options options;
        options.maxStreams = 1;
        const auto source = server(options);
        QVERIFY(source);
        // Larger than what the kernel's buffers on both ends of loopback take in.
        const QString album = m_scratch.filePath(u"long.flac"_s);
        QVERIFY(test::writeFile(album, QByteArray(32 * 1024 * 1024, 'x')));
        const std::optional<TrackOffer> offer = source->offer(album, 60);
        QVERIFY(offer);
        const QUrl url(offer->url);

        QSslSocket stalled;
        stalled.setPeerVerifyMode(QSslSocket::VerifyNone);
        stalled.connectToHostEncrypted(url.host(), static_cast<quint16>(url.port()));
        QVERIFY(QSignalSpy(&stalled, &QSslSocket::encrypted).wait(kEventLimitMs));
        stalled.setReadBufferSize(4096); // takes 4 KiB and then stops reading
        stalled.write("GET " + url.path().toLatin1() + " HTTP/1.1\r\nHost: x\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(source->activeStreams(), 1, kEventLimitMs);

        const Answer busy = get(offer->url, {}, true);
        QCOMPARE(busy.status, 503);
        stalled.abort();
        QTRY_COMPARE_WITH_TIMEOUT(source->activeStreams(), 0, kEventLimitMs);
        QCOMPARE(get(offer->url, "bytes=0-9", true).status, 206);

        QSslSocket endless;
        endless.setPeerVerifyMode(QSslSocket::VerifyNone);
        endless.connectToHostEncrypted(url.host(), static_cast<quint16>(url.port()));
        QVERIFY(QSignalSpy(&endless, &QSslSocket::encrypted).wait(kEventLimitMs));
        endless.write("GET " + url.path().toLatin1() + " HTTP/1.1\r\n" +
                      QByteArray(kMaxRequestHeadBytes, 'x'));
        QByteArray answer;
        QSignalSpy arrived(&endless, &QSslSocket::readyRead);
        while (!answer.contains("\r\n\r\n") &&
               (endless.bytesAvailable() || arrived.wait(kEventLimitMs)))
            answer += endless.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 431"), answer.constData());

        endless.abort();
        QTRY_COMPARE_WITH_TIMEOUT(source->connectionCount(), 0, kEventLimitMs);

        // A connection that never finishes its head is closed when its time is up.
        QSslSocket silent;
        silent.setPeerVerifyMode(QSslSocket::VerifyNone);
        silent.connectToHostEncrypted(url.host(), static_cast<quint16>(url.port()));
        QVERIFY(QSignalSpy(&silent, &QSslSocket::encrypted).wait(kEventLimitMs));
        silent.write("GET / HTTP/1.1\r\n");
        QSignalSpy closed(&silent, &QSslSocket::disconnected);
        QTRY_COMPARE_WITH_TIMEOUT(source->connectionCount(), 1, kEventLimitMs);
        m_clock->advance(options.headTimeout + std::chrono::seconds(1));
        QVERIFY(!closed.isEmpty() || closed.wait(kEventLimitMs)); // the clock runs events too
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--outsider-get") == 0)
        return outsiderMain(argc, argv);
    QCoreApplication app(argc, argv);
    TrackStreamingTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "track_streaming_test.moc"
