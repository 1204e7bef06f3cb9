// What is played stays between the account's own computers, end to end: three `sonavert
// --headless` processes on session buses of their own, one sonavert-cloud (in this process,
// so that its log can be read), every byte between them passing a recording relay. Kitchen
// makes the account's key; Study is verified with the code both show and plays what Kitchen
// pushes; Attic signs in but is never verified, reads no playback and says so. The server's
// store, its log and the captured traffic hold the song in no form.

#include "tests/e2e/headless_device.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/recording_tcp_proxy.h"
#include "tests/support/scratch_files.h"

#include <QDir>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using test::HeadlessDevice;

namespace {

const QString kTitle = QStringLiteral("Blue in Green");
const QString kArtist = QStringLiteral("Miles Davis");
const QString kAlbum = QStringLiteral("Kind of Blue");

// Everything the server process logs, through Qt's message handler.
QMutex g_logMutex;
QString g_serverLog;
QtMessageHandler g_previousHandler = nullptr;

void keepMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    {
        const QMutexLocker lock(&g_logMutex);
        g_serverLog += message + QLatin1Char('\n');
    }
    g_previousHandler(type, context, message);
}

// The title `state` shows playing on the device named `name`.
QString titleOf(const QJsonObject& state, const QString& name) {
    return HeadlessDevice::peerIn(state,
                                  name)[QStringLiteral("nowPlaying")][QStringLiteral("title")]
        .toString();
}

QString keysState(const QJsonObject& state) {
    return state[QStringLiteral("keys")][QStringLiteral("state")].toString();
}

} // namespace

class PrivatePlaybackEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::unique_ptr<cloud::testing::TestCloudServer> m_cloud;
    std::unique_ptr<test::RecordingTcpProxy> m_relay;
    HeadlessDevice m_kitchen;
    HeadlessDevice m_study;
    HeadlessDevice m_attic;
    QString m_music;

    QUrl relayUrl() const { return m_relay->url(m_cloud->url()); }

    QString invite() {
        const test::ProgramRun run =
            m_kitchen.ctl({QStringLiteral("--json"), QStringLiteral("invite")});
        return QJsonDocument::fromJson(run.out.toUtf8())
            .object()[QStringLiteral("code")]
            .toString();
    }

    /// Starts `device` signed out and signs it in through the relay with a code from Kitchen.
    bool join(HeadlessDevice& device) {
        if (!device.start({QStringLiteral("--library"), m_music}))
            return false;
        const test::ProgramRun signedIn =
            device.ctl({QStringLiteral("sign-in"), QStringLiteral("--server"),
                        relayUrl().toString(), QStringLiteral("--code"), invite()});
        if (signedIn.exitCode != 0)
            qWarning().noquote() << "sign-in:" << signedIn.err;
        const bool isWaiting = signedIn.exitCode == 0 && device.waitFor([](const QJsonObject& s) {
            return keysState(s) == QLatin1String("unverified");
        });
        if (!isWaiting)
            qWarning().noquote() << device.name
                                 << "state:" << QJsonDocument(device.state()).toJson()
                                 << "\nlog:" << device.log().right(4000);
        return isWaiting;
    }

private Q_SLOTS:
    void initTestCase() {
        if (const QStringList missing = test::AudioFixtures::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("missing: ") + missing.join(QLatin1Char(' '))));
        g_previousHandler = qInstallMessageHandler(keepMessage);
        m_music = m_scratch.filePath(QStringLiteral("Music"));
        QVERIFY(QDir().mkpath(m_music));
        QVERIFY(test::AudioFixtures::make(m_music + QStringLiteral("/blue.flac"), 120,
                                          {QStringLiteral("TITLE=") + kTitle,
                                           QStringLiteral("ARTIST=") + kArtist,
                                           QStringLiteral("ALBUM=") + kAlbum}));
        m_cloud = std::make_unique<cloud::testing::TestCloudServer>();
        QVERIFY(m_cloud->isRunning());
        m_relay = std::make_unique<test::RecordingTcpProxy>(QHostAddress::LocalHost,
                                                            m_cloud->url().port());
        for (auto [device, name] : {std::pair{&m_kitchen, "Kitchen"}, std::pair{&m_study, "Study"},
                                    std::pair{&m_attic, "Attic"}}) {
            if (QString reason; !device->setUp(QLatin1String(name), m_scratch.path(), &reason))
                QSKIP(qPrintable(reason));
        }
    }

    void cleanupTestCase() {
        m_attic.stop();
        m_study.stop();
        m_kitchen.stop();
        m_cloud.reset();
        if (g_previousHandler)
            qInstallMessageHandler(g_previousHandler);
    }

    void onlyVerifiedComputersReadWhatPlays() {
        const QString token = m_cloud->addAccount(QStringLiteral("home"));
        QVERIFY(m_kitchen.start({QStringLiteral("--cloud"), relayUrl().toString(),
                                 QStringLiteral("--library"), m_music,
                                 QStringLiteral("--simulate-playing"), kTitle},
                                token));
        QVERIFY(m_kitchen.waitFor([](const QJsonObject& s) {
            return keysState(s) == QLatin1String("verified") &&
                   s[QStringLiteral("thisDevice")][QStringLiteral("isPlaying")].toBool();
        }));
        const QString songID = m_kitchen
                                   .state()[QStringLiteral("thisDevice")]
                                           [QStringLiteral("nowPlaying")][QStringLiteral("songID")]
                                   .toString();
        QVERIFY(!songID.isEmpty());

        // Study joins and is verified: each side confirms the code the other shows.
        QVERIFY(join(m_study));
        const test::ProgramRun begun = m_kitchen.ctl(
            {QStringLiteral("--json"), QStringLiteral("verify"), QStringLiteral("Study")});
        QVERIFY2(begun.exitCode == 0, qPrintable(begun.err));
        const QString code =
            QJsonDocument::fromJson(begun.out.toUtf8()).object()[QStringLiteral("code")].toString();
        QCOMPARE(code.size(), 6);
        QVERIFY(m_study.waitFor([&](const QJsonObject& s) {
            return s[QStringLiteral("keys")][QStringLiteral("incoming")][QStringLiteral("code")]
                       .toString() == code;
        }));
        const test::ProgramRun shared = m_kitchen.ctl(
            {QStringLiteral("verify"), QStringLiteral("Study"), QStringLiteral("--code"), code});
        QVERIFY2(shared.exitCode == 0, qPrintable(shared.err));
        const test::ProgramRun accepted = m_study.ctl(
            {QStringLiteral("verify"), QStringLiteral("Kitchen"), QStringLiteral("--code"), code});
        QVERIFY2(accepted.exitCode == 0, qPrintable(accepted.err));
        QVERIFY(m_study.waitFor(
            [](const QJsonObject& s) { return keysState(s) == QLatin1String("verified"); }));

        // Study reads what Kitchen plays, and plays what Kitchen pushes.
        QVERIFY(m_study.waitFor(
            [](const QJsonObject& s) { return titleOf(s, QStringLiteral("Kitchen")) == kTitle; }));
        const test::ProgramRun pushed =
            m_kitchen.ctl({QStringLiteral("push"), QStringLiteral("Study")});
        QVERIFY2(pushed.exitCode == 0, qPrintable(pushed.err + pushed.out));
        QVERIFY(m_study.waitFor([](const QJsonObject& s) {
            const QJsonObject self = s[QStringLiteral("thisDevice")].toObject();
            return self[QStringLiteral("isPlaying")].toBool() &&
                   self[QStringLiteral("nowPlaying")][QStringLiteral("title")].toString() == kTitle;
        }));

        // Attic signed in without a verification: it sees Study online, not what it plays, and
        // says why.
        QVERIFY(join(m_attic));
        QVERIFY(m_attic.waitForOnline(QStringLiteral("Study")));
        QVERIFY(m_kitchen.waitFor(
            [](const QJsonObject& s) { return titleOf(s, QStringLiteral("Study")) == kTitle; }));
        QVERIFY(m_attic.waitFor([&](const QJsonObject&) {
            return m_attic.log().contains(QStringLiteral("event=payload_open_failed"));
        }));
        QVERIFY(HeadlessDevice::peerIn(m_attic.state(),
                                       QStringLiteral("Study"))[QStringLiteral("nowPlaying")]
                    .isNull());
        const test::ProgramRun account = m_attic.ctl({QStringLiteral("account")});
        QVERIFY2(account.out.contains(QStringLiteral("Key:         missing")),
                 qPrintable(account.out));

        // Nothing of the song anywhere the server or the network holds it.
        m_attic.stop();
        m_study.stop();
        m_kitchen.stop();
        QByteArray stored;
        if (!m_cloud->isPostgres())
            stored = test::readFile(m_cloud->databaseFile()) +
                     test::readFile(m_cloud->databaseFile() + QStringLiteral("-wal"));
        QString serverLog;
        {
            const QMutexLocker lock(&g_logMutex);
            serverLog = g_serverLog;
        }
        const QByteArray& captured = m_relay->captured();
        // The capture saw the sealed records pass: it is the traffic, not an empty file.
        QVERIFY(captured.contains("DevicePresence") && captured.contains("sv2:"));
        for (const QString& secret : {kTitle, kArtist, kAlbum, songID}) {
            QVERIFY2(!captured.contains(secret.toUtf8()), qPrintable(secret));
            QVERIFY2(!stored.contains(secret.toUtf8()), qPrintable(secret));
            QVERIFY2(!serverLog.contains(secret), qPrintable(secret));
        }
    }
};

QTEST_GUILESS_MAIN(PrivatePlaybackEndToEndTest)
#include "private_playback_e2e_test.moc"
