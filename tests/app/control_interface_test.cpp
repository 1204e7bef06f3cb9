// The control interface on a private session bus, over a coordinator wired to fakes, driven
// through the real sonavertctl as a user would drive it. Every wait is on an event (the
// program's exit or output, a coordinator signal); the limits only keep a hang from hanging CI.

#include "src/app/control_interface.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/support/await_task.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"

#include <QDBusPendingCallWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

namespace {

const QString kCtl = QStringLiteral(SONAVERTCTL_EXECUTABLE);
const QString kSharedName = QStringLiteral("io.sonavert.Sonavert");

PlaybackState song(const QString& title, double at) {
    PlaybackState state;
    state.songID = QStringLiteral("song-") + title;
    state.songTitle = title;
    state.artistName = QStringLiteral("Artist");
    state.playbackTime = at;
    return state;
}

AppDevice playing(AppDevice device, PlaybackState state) {
    device.nowPlaying = std::move(state);
    return device;
}

/// One sonavertctl on the private bus.
class Ctl : public ChildProgram {
public:
    Ctl(const QString& busAddress, const QStringList& arguments)
        : ChildProgram(kCtl, arguments, withSessionBus(busAddress)) {}
};

QJsonObject object(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

/// A coordinator over fakes, offered on a private bus under the shared name, with Kitchen
/// (online, playing, favourite) and Study (offline, a push queued for it) listed.
struct ControlRig {
    PrivateSessionBus bus;
    CoordinatorRig coordinatorRig;
    std::unique_ptr<ControlInterface> control;
    QString skipReason;

    ControlRig() {
        if (!bus.start(&skipReason))
            return;
        coordinatorRig.cloud->fetchDefault = {
            playing(device(QStringLiteral("K"), QStringLiteral("Kitchen")),
                    song(QStringLiteral("Song"), 83.9)),
            device(QStringLiteral("S"), QStringLiteral("Study"), DevicePresence::Offline)};
        coordinatorRig.cloud->peers = coordinatorRig.cloud->fetchDefault;
        coordinatorRig.cloud->queuedTargets = {QStringLiteral("S")};
        coordinatorRig.defaults->setBool(coordinatorRig.roster->favoriteClearedKey, true);
        auto& vm = coordinatorRig.make(true);
        coordinatorRig.finishFirstPass();
        QCoro::waitFor(vm.syncPresence());
        vm.toggleFavorite(vm.devices().at(0));
        control = offer(QStringLiteral("control-test"), vm, kSharedName);
    }
    ~ControlRig() { control.reset(); }

    std::unique_ptr<ControlInterface> offer(const QString& connectionName,
                                            DeviceHandoffViewModel& vm, const QString& name) {
        auto made = std::make_unique<ControlInterface>(&vm);
        QDBusConnection connection = bus.connect(connectionName);
        if (!made->exportOn(connection) || !awaitTask(requestBusName(connection, name)))
            return nullptr;
        return made;
    }

    DeviceHandoffViewModel& vm() { return *coordinatorRig.coordinator; }
    ProgramRun ctl(const QStringList& arguments) { return Ctl(bus.address(), arguments).finish(); }
};

#define REQUIRE_RIG(rig)                                                                           \
    if (!(rig).skipReason.isEmpty())                                                               \
        QSKIP(qPrintable((rig).skipReason));                                                       \
    QVERIFY((rig).control)

} // namespace

class ControlInterfaceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void devicesAndStatusShowTheCoordinatorsState() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        const ProgramRun table = rig.ctl({QStringLiteral("devices")});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.out, QStringLiteral("\u2605  Kitchen  online   Song \u2014 Artist at 1:23\n"
                                           "   Study    offline  -                      queued\n"));

        const ProgramRun json = rig.ctl({QStringLiteral("devices"), QStringLiteral("--json")});
        QCOMPARE(json.exitCode, 0);
        const QJsonArray devices = QJsonDocument::fromJson(json.out.toUtf8()).array();
        QCOMPARE(devices.size(), 2);
        const QJsonObject kitchen = devices.at(0).toObject();
        QCOMPARE(kitchen.value("id").toString(), QStringLiteral("K"));
        QCOMPARE(kitchen.value("presence").toString(), QStringLiteral("online"));
        QVERIFY(kitchen.value("isFavorite").toBool());
        QVERIFY(kitchen.value("isPlaying").toBool());
        QCOMPARE(kitchen.value("nowPlaying").toObject().value("position").toDouble(), 83.9);
        QCOMPARE(kitchen.value("nowPlaying").toObject().value("album"), QJsonValue());
        const QJsonObject study = devices.at(1).toObject();
        QVERIFY(study.value("isQueued").toBool());
        QVERIFY(!study.value("isOnline").toBool());
        QCOMPARE(study.value("nowPlaying"), QJsonValue());

        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Here"), 5);
        rig.coordinatorRig.clock->advance(2s); // the playback loop samples the player
        const ProgramRun status = rig.ctl({QStringLiteral("status"), QStringLiteral("--json")});
        const QJsonObject state = object(status.out);
        QCOMPARE(state.value("thisDevice").toObject().value("name").toString(),
                 QStringLiteral("This Mac"));
        QCOMPARE(state.value("thisDevice").toObject().value("nowPlaying").toObject().value("title"),
                 QJsonValue(QStringLiteral("Here")));
        QCOMPARE(state.value("queuedPushTargets").toArray(), QJsonArray{QStringLiteral("S")});
        QCOMPARE(state.value("transferError"), QJsonValue());
        QVERIFY(!state.value("isTransferring").toBool());

        const ProgramRun text = rig.ctl({QStringLiteral("status")});
        QVERIFY2(text.out.startsWith(QStringLiteral("This device: This Mac (%1)\nPlaying here: "
                                                    "Here \u2014 Artist at 0:05\n\n\u2605  Kitchen")
                                         .arg(kThisID)),
                 qPrintable(text.out));
    }

    void pushByNameOrIdSendsThePlaybackThere() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Here"), 12);
        const ProgramRun sent = rig.ctl({QStringLiteral("push"), QStringLiteral("kitchen")});
        QCOMPARE(sent.exitCode, 0);
        QCOMPARE(sent.out, QStringLiteral("Sent to kitchen.\n"));
        QCOMPARE(rig.coordinatorRig.cloud->sentHandoffs.size(), 1);
        QCOMPARE(rig.coordinatorRig.cloud->sentHandoffs.at(0).second, QStringLiteral("K"));
        QCOMPARE(rig.coordinatorRig.cloud->sentHandoffs.at(0).first.songTitle,
                 QStringLiteral("Here"));

        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Here"), 20);
        const ProgramRun queued =
            rig.ctl({QStringLiteral("push"), QStringLiteral("S"), QStringLiteral("--json")});
        QCOMPARE(queued.exitCode, 0);
        const QJsonObject answer = object(queued.out);
        QVERIFY(answer.value("ok").toBool());
        QVERIFY(answer.value("queued").toBool());
        QCOMPARE(rig.coordinatorRig.cloud->sentHandoffs.at(1).second, QStringLiteral("S"));
    }

    void failedOperationsExitOneWithTheCoordinatorsError() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        rig.coordinatorRig.music->nowPlaying.reset();
        const ProgramRun nothing = rig.ctl({QStringLiteral("push"), QStringLiteral("Kitchen")});
        QCOMPARE(nothing.exitCode, 1);
        QCOMPARE(nothing.err, QStringLiteral("sonavertctl: Nothing is playing right now.\n"));
        QVERIFY(rig.coordinatorRig.cloud->sentHandoffs.isEmpty());

        const ProgramRun itself = rig.ctl({QStringLiteral("push"), QStringLiteral("this mac")});
        QCOMPARE(itself.exitCode, 1);
        QCOMPARE(itself.err, QStringLiteral("sonavertctl: Cannot push to this device itself.\n"));
    }

    void deviceArgumentsThatNameNoSingleDeviceExitFour() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        const ProgramRun unknown = rig.ctl({QStringLiteral("pull"), QStringLiteral("Attic")});
        QCOMPARE(unknown.exitCode, 4);
        QCOMPARE(unknown.err, QStringLiteral("sonavertctl: No device named or with id 'Attic'.\n"));

        rig.coordinatorRig.cloud->fetchDefault.append(
            device(QStringLiteral("K2"), QStringLiteral("KITCHEN")));
        QCoro::waitFor(rig.vm().syncPresence());
        const ProgramRun ambiguous = rig.ctl({QStringLiteral("forget"), QStringLiteral("Kitchen")});
        QCOMPARE(ambiguous.exitCode, 4);
        QVERIFY2(ambiguous.err.contains(QStringLiteral("Kitchen (K)")) &&
                     ambiguous.err.contains(QStringLiteral("KITCHEN (K2)")),
                 qPrintable(ambiguous.err));
        QCOMPARE(rig.vm().devices().size(), 3); // nothing was forgotten
        const ProgramRun byId = rig.ctl({QStringLiteral("forget"), QStringLiteral("k2")});
        QCOMPARE(byId.exitCode, 0);
        QCOMPARE(names(rig.vm().devices()), (QStringList{"Kitchen", "Study"}));
    }

    void favoriteSetsAndClearsTheFavourite() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        QCOMPARE(rig.ctl({QStringLiteral("favorite"), QStringLiteral("study")}).exitCode, 0);
        QVERIFY(rig.vm().devices().at(0).isFavorite);
        QCOMPARE(rig.vm().devices().at(0).name, QStringLiteral("Study")); // favourites first
        QVERIFY(!rig.vm().devices().at(1).isFavorite);
        // Asking again keeps it: the command sets, it does not toggle.
        QCOMPARE(rig.ctl({QStringLiteral("favorite"), QStringLiteral("Study")}).exitCode, 0);
        QVERIFY(rig.vm().devices().at(0).isFavorite);
        QCOMPARE(rig.ctl({QStringLiteral("unfavorite"), QStringLiteral("Study")}).exitCode, 0);
        QVERIFY(!rig.vm().devices().at(0).isFavorite && !rig.vm().devices().at(1).isFavorite);
    }

    void pullAnswersWhenThePlaybackArrivesOrTheWaitEnds() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        auto& clock = *rig.coordinatorRig.clock;
        auto& cloud = *rig.coordinatorRig.cloud;
        {
            QSignalSpy pulling(&rig.vm(), &DeviceHandoffViewModel::isPullingChanged);
            Ctl pull(rig.bus.address(), {QStringLiteral("pull"), QStringLiteral("Kitchen")});
            QVERIFY(pulling.wait(kProcessLimitMs));
            QCOMPARE(cloud.sentPullRequests.size(), 1);
            QCOMPARE(cloud.sentPullRequests.at(0),
                     (std::pair{QStringLiteral("K"), QString(kThisID)}));
            clock.advance(DeviceHandoffViewModel::kPullTimeout);
            const ProgramRun run = pull.finish();
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.err, QStringLiteral("sonavertctl: Kitchen didn't respond. Make sure "
                                             "Sonavert is open on it and try again.\n"));
        }
        QSignalSpy pulling(&rig.vm(), &DeviceHandoffViewModel::isPullingChanged);
        Ctl pull(rig.bus.address(), {QStringLiteral("pull"), QStringLiteral("Kitchen")});
        QVERIFY(pulling.wait(kProcessLimitMs));
        cloud.handoffResults.push_back(std::optional(song(QStringLiteral("Song"), 90)));
        auto consumed = rig.vm().consumePendingHandoff();
        clock.runUntil([&] { return consumed.isReady(); }, 5s);
        const ProgramRun run = pull.finish();
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("Pulled from Kitchen.\n"));
        QCOMPARE(rig.coordinatorRig.music->resumed.size(), 1);
    }

    void watchPrintsOneStatePerChange() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        Ctl watch(rig.bus.address(), {QStringLiteral("watch"), QStringLiteral("--json")});
        QCOMPARE(object(watch.nextLine()).value("thisDevice").toObject().value("name"),
                 QJsonValue(QStringLiteral("This Mac")));

        // A push changes half a dozen values in one go; the watcher sees only the outcome.
        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Here"), 1);
        rig.coordinatorRig.clock->advance(2s); // the playback loop samples the player
        const QJsonObject playingHere = object(watch.nextLine());
        QCOMPARE(playingHere.value("thisDevice").toObject().value("isPlaying"), QJsonValue(true));
        QCoro::waitFor(rig.vm().transfer(rig.vm().devices().at(0)));
        const QJsonObject afterPush = object(watch.nextLine());
        QCOMPARE(afterPush.value("thisDevice").toObject().value("isPlaying"), QJsonValue(false));
        QVERIFY(!afterPush.value("isTransferring").toBool());
        QCOMPARE(afterPush.value("activityLabel"), QJsonValue());
        rig.vm().toggleFavorite(rig.vm().devices().at(1));
        const QJsonObject afterFavorite = object(watch.nextLine());
        QVERIFY(
            afterFavorite.value("devices").toArray().at(0).toObject().value("isFavorite").toBool());
        QCOMPARE(afterFavorite.value("devices").toArray().at(0).toObject().value("name").toString(),
                 QStringLiteral("Study"));

        // The app leaving the bus ends the watch. (The interface keeps the connection open.)
        rig.control.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("control-test"));
        const ProgramRun end = watch.finish();
        QCOMPARE(end.exitCode, 3);
        QCOMPARE(end.err, QStringLiteral("sonavertctl: Sonavert stopped.\n"));
    }

    void aCallInFlightIsAnsweredWhenTheAppStops() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Here"), 1);
        rig.coordinatorRig.cloud->latency = {{QStringLiteral("sendHandoff"), 1s}};
        QSignalSpy transferring(&rig.vm(), &DeviceHandoffViewModel::isTransferringChanged);
        Ctl push(rig.bus.address(), {QStringLiteral("push"), QStringLiteral("Kitchen")});
        QVERIFY(transferring.wait(kProcessLimitMs));
        const ProgramRun busy = rig.ctl({QStringLiteral("push"), QStringLiteral("Study")});
        QCOMPARE(busy.exitCode, 1);
        QCOMPARE(busy.err, QStringLiteral("sonavertctl: A push is already under way.\n"));
        rig.control.reset();
        const ProgramRun run = push.finish();
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, QStringLiteral("sonavertctl: Sonavert stopped before this finished.\n"));
    }

    void eachInstanceAnswersOnItsOwnName() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        QCOMPARE(controlBusNames(std::nullopt, QStringLiteral("Study Mac")),
                 (QStringList{kSharedName, QStringLiteral("io.sonavert.Sonavert.study_mac")}));
        QCOMPARE(controlBusNames(QStringLiteral("org.example.Mine"), QStringLiteral("Study Mac")),
                 QStringList{QStringLiteral("org.example.Mine")});

        CoordinatorRig second;
        second.make();
        auto other = std::make_unique<ControlInterface>(second.coordinator.get());
        QDBusConnection connection = rig.bus.connect(QStringLiteral("second"));
        QVERIFY(other->exportOn(connection));
        // The shared name belongs to the first instance; the second takes its own.
        QVERIFY(!awaitTask(requestBusName(connection, kSharedName)));
        QVERIFY(awaitTask(requestBusName(
            connection, controlBusNames(std::nullopt, QStringLiteral("Study Mac")).at(1))));

        const ProgramRun first = rig.ctl({QStringLiteral("devices"), QStringLiteral("--json")});
        QCOMPARE(QJsonDocument::fromJson(first.out.toUtf8()).array().size(), 2);
        const ProgramRun addressed = rig.ctl(
            {QStringLiteral("--instance"), QStringLiteral("study MAC"), QStringLiteral("devices")});
        QCOMPARE(addressed.exitCode, 0);
        QCOMPARE(addressed.out, QStringLiteral("No other devices yet.\n"));
        other.reset();
    }

    void showWindowReachesTheWindowOrSaysThereIsNone() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        QDBusConnection client = rig.bus.connect(QStringLiteral("show-client"));
        const auto callShow = [&client] {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                kSharedName, QStringLiteral("/io/sonavert/Sonavert"),
                QStringLiteral("io.sonavert.Sonavert.Control"), QStringLiteral("ShowWindow"));
            // Asynchronous: the interface answers from this very event loop.
            QDBusPendingCallWatcher watcher(client.asyncCall(call));
            QSignalSpy done(&watcher, &QDBusPendingCallWatcher::finished);
            if (!watcher.isFinished())
                done.wait(kProcessLimitMs);
            return watcher.reply();
        };
        QCOMPARE(callShow().errorName(), QStringLiteral("io.sonavert.Sonavert.Error.NoWindow"));
        int shown = 0;
        rig.control->setWindowShower([&shown] { ++shown; });
        QCOMPARE(callShow().type(), QDBusMessage::ReplyMessage);
        QCOMPARE(shown, 1);
    }

    void withoutTheAppItExitsThree() {
        ControlRig rig;
        REQUIRE_RIG(rig);
        const ProgramRun run = rig.ctl({QStringLiteral("--instance"), QStringLiteral("Attic"),
                                        QStringLiteral("push"), QStringLiteral("Kitchen")});
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(run.err, QStringLiteral("sonavertctl: Sonavert is not running (no "
                                         "io.sonavert.Sonavert.attic on the session bus).\n"));
    }
};

QTEST_GUILESS_MAIN(ControlInterfaceTest)
#include "control_interface_test.moc"
