// Two devices on one machine, each as on a machine of its own: a private session bus, an mpv
// (with mpv-mpris, no audio device) and a `sonavert --headless --player mpv`, both on one
// `sonavert-cloud`. Driven through `sonavertctl` and watched through the control interface's
// change signal and the players themselves. Skipped, with the reason printed, where mpv or
// the audio tools are missing.

#include "tests/e2e/headless_device.h"
#include "tests/e2e/mpv_machine.h"
#include "tests/support/checked.h"
#include "tests/support/local_http_feed.h"
#include "tests/support/scratch_files.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTest>

using namespace sonavert;
using test::awaitTask;

namespace {

const QString kSong = test::kMachineSong;
const QString kOnlyInKitchen = QStringLiteral("Freddie Freeloader");
const QString kOutsideTheFolder = QStringLiteral("Flamenco Sketches");
const QString kStreamTitle = QStringLiteral("Live at the Plugged Nickel");
constexpr int kEventLimitMs = 30000; // only keeps a broken run from hanging

struct Device : test::MpvMachine, test::DeviceControl {
    Device() { eventLimitMs = kEventLimitMs; }

    bool startBusAndPlayer(QString* reason) {
        if (!startPlayer(QStringLiteral("e2e-") + name, reason))
            return false;
        watch(mpv.connection());
        return true;
    }
    bool startApp(const test::CloudServerProcess& cloud) {
        return registersAfter([&] { return MpvMachine::startApp(cloud); });
    }

    int ctl(const QStringList& arguments, QString* output = nullptr) {
        const test::ProgramRun run =
            test::ChildProgram(QStringLiteral(SONAVERTCTL_EXECUTABLE), arguments, environment())
                .finish();
        if (output)
            *output = run.out + run.err;
        return run.exitCode;
    }
};

} // namespace

class HandoffEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::unique_ptr<test::CloudServerProcess> m_cloud;
    Device m_kitchen;
    Device m_study;

    test::LocalHttpFeed m_radio;

    // Plays `title` of the Kitchen's library from `position`.
    void playInKitchen(const QString& title, double position) {
        const QList<LibraryTrack> tracks = m_kitchen.library->tracks();
        const auto track = std::find_if(tracks.begin(), tracks.end(),
                                        [&](const LibraryTrack& t) { return t.name == title; });
        QVERIFY(track != tracks.end());
        QVERIFY(awaitTask(m_kitchen.player->playTrack(*track)).ok());
        QVERIFY(m_kitchen.readUntilPlaying(title));
        QVERIFY(awaitTask(m_kitchen.player->setPlayerPosition(position)).ok());
    }

    // Pushes from `from` to `to` by name and checks the song continues there near the
    // position it had here, and pauses here.
    void pushAndCheck(Device& from, Device& to, const QString& song = kSong) {
        const std::optional<NowPlaying> before = from.readUntilPlaying(song);
        QVERIFY(before);
        QElapsedTimer sinceCapture;
        sinceCapture.start();
        QString output;
        QCOMPARE(from.ctl({QStringLiteral("push"), to.name}, &output), 0);
        // The song may start from its beginning and be moved to the position a moment later.
        const std::optional<NowPlaying> there = to.readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.track && now.track->name == song &&
                   now.position >= before->position - 0.5;
        });
        if (!there)
            std::fputs(qPrintable(to.output()), stderr);
        QVERIFY2(there, qPrintable(output));
        const double elapsed = static_cast<double>(sinceCapture.elapsed()) / 1000.0;
        QVERIFY2(there->position >= before->position - 0.5 &&
                     there->position <= before->position + elapsed + 2.0,
                 qPrintable(QStringLiteral("sent near %1 s, playing at %2 s after %3 s")
                                .arg(before->position)
                                .arg(there->position)
                                .arg(elapsed)));
        QVERIFY(from.readUntil(
            [](const NowPlaying& now) { return now.state != PlayerState::Playing; }));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_kitchen.prepare(QStringLiteral("Kitchen"), m_scratch.path()));
        QVERIFY(m_study.prepare(QStringLiteral("Study"), m_scratch.path()));
        // Only the Kitchen has these: one in its music folder, one beside it.
        QVERIFY(
            Device::makeSong(m_kitchen.music + QStringLiteral("/freddie.flac"), kOnlyInKitchen));
        QVERIFY(QDir().mkpath(m_kitchen.home + QStringLiteral("/Elsewhere")));
        QVERIFY(Device::makeSong(m_kitchen.home + QStringLiteral("/Elsewhere/sketches.flac"),
                                 kOutsideTheFolder));
        const QString radio = m_scratch.filePath(QStringLiteral("radio.ogg"));
        QVERIFY(test::AudioFixtures::make(radio, 120, {QStringLiteral("TITLE=") + kStreamTitle}));
        m_radio.body = test::readFile(radio);
        m_cloud =
            std::make_unique<test::CloudServerProcess>(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
        QVERIFY(m_cloud->isRunning());
        QString reason;
        QVERIFY2(m_kitchen.startBusAndPlayer(&reason), qPrintable(reason));
        QVERIFY2(m_study.startBusAndPlayer(&reason), qPrintable(reason));
        QVERIFY(m_kitchen.startApp(*m_cloud));
        QVERIFY(m_study.startApp(*m_cloud));
        QVERIFY(m_kitchen.waitForOnline(QStringLiteral("Study")));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
    }

    void pushPlaysTheSongOnTheOtherDeviceAtItsPosition() {
        CHECKED(playInKitchen(kSong, 75.0));
        CHECKED(pushAndCheck(m_kitchen, m_study));
    }

    void pullBringsItBack() {
        const std::optional<NowPlaying> there = m_study.readUntilPlaying(kSong);
        QVERIFY(there);
        QString output;
        const int pulled =
            m_kitchen.ctl({QStringLiteral("pull"), QStringLiteral("Study")}, &output);
        if (pulled != 0)
            std::fputs(qPrintable(m_kitchen.output()), stderr);
        QVERIFY2(pulled == 0, qPrintable(output));
        const std::optional<NowPlaying> back = m_kitchen.readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.track && now.track->name == kSong &&
                   now.position >= there->position - 0.5;
        });
        QVERIFY2(back, qPrintable(output));
        QVERIFY2(
            back->position >= there->position - 0.5,
            qPrintable(QStringLiteral("%1 after %2").arg(back->position).arg(there->position)));
        QVERIFY(m_study.readUntil(
            [](const NowPlaying& now) { return now.state != PlayerState::Playing; }));
    }

    // Quitting marks the device offline on the other at once, and a push to it then waits in
    // the cloud and plays when it starts again.
    void pushToAStoppedDevicePlaysWhenItStarts() {
        m_study.stopApp();
        QCOMPARE(m_study.app.exitCode(), 0);
        QVERIFY(m_kitchen.waitFor([](const QJsonObject& state) {
            return !Device::isOnline(Device::peerIn(state, QStringLiteral("Study")));
        }));
        QVERIFY(m_kitchen.readUntilPlaying(kSong));
        QString output;
        QCOMPARE(m_kitchen.ctl({QStringLiteral("push"), QStringLiteral("Study")}, &output), 0);
        QVERIFY(m_kitchen.waitFor([](const QJsonObject& state) {
            return Device::peerIn(state, QStringLiteral("Study"))[QStringLiteral("isQueued")]
                .toBool();
        }));
        QVERIFY(m_study.startApp(*m_cloud));
        QVERIFY2(m_study.readUntilPlaying(kSong), qPrintable(output));
    }

    // A dead server shows as a sync error on both devices; when it returns both recover and
    // commands travel again.
    void serverKilledAndBackIsSurvived() {
        m_cloud->kill();
        const auto hasSyncError = [](const QJsonObject& state) {
            return state.value(QStringLiteral("syncError")).isString();
        };
        QVERIFY(m_kitchen.waitFor(hasSyncError));
        QVERIFY(m_study.waitFor(hasSyncError));
        QVERIFY(m_cloud->restart());
        const auto recovered = [](const QJsonObject& state) {
            return state.value(QStringLiteral("syncError")).isNull();
        };
        QVERIFY(m_kitchen.waitFor(recovered));
        QVERIFY(m_study.waitFor(recovered));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
        CHECKED(pushAndCheck(m_study, m_kitchen));
    }

    // The Study has no copy: it plays the Kitchen's, fetched through its loopback relay, at
    // the position it had, and seeking a minute on works because the relay passes ranges.
    void aSongOnlyTheSourceHasPlaysFromTheSource() {
        CHECKED(playInKitchen(kOnlyInKitchen, 75.0));
        CHECKED(pushAndCheck(m_kitchen, m_study, kOnlyInKitchen));
        const std::optional<NowPlaying> there = m_study.readUntilPlaying(kOnlyInKitchen);
        QVERIFY(there);
        QVERIFY2(there->track->uri.startsWith(QStringLiteral("http://127.0.0.1:")),
                 qPrintable(there->track->uri));
        QVERIFY(awaitTask(m_study.player->setPlayerPosition(there->position + 60.0)).ok());
        QVERIFY(m_study.readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.position >= there->position + 59.5;
        }));
    }

    void aPullBringsASongOnlyTheSourceHas() {
        QVERIFY(awaitTask(m_study.player->stop()).ok()); // only the pull can make it play
        CHECKED(playInKitchen(kOnlyInKitchen, 120.0));
        QString output;
        QCOMPARE(m_study.ctl({QStringLiteral("pull"), QStringLiteral("Kitchen")}, &output), 0);
        const std::optional<NowPlaying> there = m_study.readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.track &&
                   now.track->name == kOnlyInKitchen && now.position >= 119.5;
        });
        QVERIFY2(there, qPrintable(output));
        QVERIFY(m_kitchen.readUntil(
            [](const NowPlaying& now) { return now.state != PlayerState::Playing; }));
    }

    // Neither a file outside the music folder nor a stream is "nothing playing".
    void aFileOutsideTheFolderAndAStreamContinue() {
        const QString file =
            QUrl::fromLocalFile(m_kitchen.home + QStringLiteral("/Elsewhere/sketches.flac"))
                .toString();
        QVERIFY(awaitTask(m_kitchen.player->openLocation(file)).ok());
        QVERIFY(m_kitchen.readUntilPlaying(kOutsideTheFolder));
        CHECKED(pushAndCheck(m_kitchen, m_study, kOutsideTheFolder));

        const QString stream = m_radio.url(QStringLiteral("/live.ogg")).toString();
        QVERIFY(awaitTask(m_kitchen.player->openLocation(stream)).ok());
        QVERIFY(m_kitchen.readUntilPlaying(kStreamTitle));
        QString output;
        QCOMPARE(m_kitchen.ctl({QStringLiteral("push"), QStringLiteral("Study")}, &output), 0);
        const std::optional<NowPlaying> there = m_study.readUntilPlaying(kStreamTitle);
        QVERIFY2(there, qPrintable(output));
        QCOMPARE(there->track->uri, stream); // opened where it is, not relayed
    }
};

int main(int argc, char** argv) {
    const QString reason = test::MpvFixture::skipReason();
    if (!reason.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(reason));
        return 77;
    }
    QCoreApplication app(argc, argv);
    HandoffEndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "handoff_e2e_test.moc"
