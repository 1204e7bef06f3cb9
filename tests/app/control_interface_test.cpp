// The control interface on a private session bus, over a coordinator wired to fakes, driven
// through the real sonavertctl as a user would drive it. Every wait is on an event (the
// program's exit or output, a coordinator signal); the limits only keep a hang from hanging CI.

#include "src/account/pairing_link.h"
#include "src/app/control_interface.h"
#include "src/app/sparkle_updater.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/fakes/fake_account_session.h"
#include "tests/support/account_keys_rig.h"
#include "tests/support/await_task.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"

#include <QDBusPendingCallWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kCtl = QStringLiteral(SONAVERTCTL_EXECUTABLE);
const QString kSharedName = u"io.sonavert.Sonavert"_s;

PlaybackState song(const QString& title, double at) {
    return {u"song-"_s + title, at, title, u"Artist"_s, {}, {}, {}};
}

AppDevice playing(AppDevice device, PlaybackState state) {
    device.nowPlaying = std::move(state);
    return device;
}

/// One sonavertctl on the private bus.
class Ctl : public ChildProgram {
public:
    Ctl(const QString& busAddress, const QStringList& arguments, bool keepsInputOpen = false)
        : ChildProgram(kCtl, arguments, withSessionBus(busAddress), {}, keepsInputOpen) {}
};

/// Says when a computer saves a verification request: the moment the other one can answer.
class RequestSeen : public QObject {
    Q_OBJECT
public:
    explicit RequestSeen(RewritingCloudDatabase& line) {
        line.onSave = [this](const clouddb::CloudRecord& record) {
            if (record.recordType == AccountKeys::kVerificationRecordType &&
                record.fields.contains(u"commitment"_s))
                Q_EMIT requested();
        };
        line.onFetch = [this](const clouddb::CloudRecord&) { Q_EMIT looked(); };
    }
Q_SIGNALS:
    void requested();
    void looked();
};

QJsonObject object(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}
QJsonArray array(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

/// A coordinator over fakes, offered on a private bus under the shared name, with Kitchen
/// (online, playing, favourite) and Study (offline, a push queued for it) listed. Its account
/// is a fake sign-in and the Kitchen of a two-computer key rig; its updater's feed refuses
/// at once (a port nothing listens on).
struct ControlRig {
    PrivateSessionBus bus;
    CoordinatorRig coordinatorRig;
    KeysRig keys;
    FakeAccountSession session{keys.clock};
    SparkleUpdater updater{{QUrl(u"http://127.0.0.1:1/feed.xml"_s), u"1.0.0"_s}, keys.clock};
    std::unique_ptr<ControlInterface> control;
    QString skipReason;

    ControlRig() {
        if (!bus.start(&skipReason))
            return;
        coordinatorRig.cloud->fetchDefault = {
            playing(device(u"K"_s, u"Kitchen"_s), song(u"Song"_s, 83.9)),
            device(u"S"_s, u"Study"_s, DevicePresence::Offline)};
        coordinatorRig.cloud->peers = coordinatorRig.cloud->fetchDefault;
        coordinatorRig.cloud->queuedTargets = {u"S"_s};
        coordinatorRig.defaults->setBool(coordinatorRig.roster->favoriteClearedKey, true);
        coordinatorRig.accountKeys = std::make_shared<FakeAccountKeys>();
        auto& vm = coordinatorRig.started();
        QCoro::waitFor(vm.syncPresence());
        vm.toggleFavorite(vm.devices().at(0));
        control = offer(u"control-test"_s, vm, kSharedName);
    }
    ~ControlRig() { control.reset(); }

    std::unique_ptr<ControlInterface> offer(const QString& connectionName,
                                            DeviceHandoffViewModel& vm, const QString& name) {
        auto made = std::make_unique<ControlInterface>(
            ControlInterface::Parts{vm, session, keys.kitchen->keys, updater});
        QDBusConnection connection = bus.connect(connectionName);
        if (!made->exportOn(connection) || !awaitTask(requestBusName(connection, name)))
            return nullptr;
        return made;
    }

    DeviceHandoffViewModel& vm() { return *coordinatorRig.coordinator; }
    /// A call of the control interface's `method`, made as another program on the bus would;
    /// asynchronous, since the interface answers from this very event loop.
    QDBusMessage call(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kSharedName, u"/io/sonavert/Sonavert"_s, u"io.sonavert.Sonavert.Control"_s, method);
        call.setArguments(arguments);
        QDBusPendingCallWatcher watcher(bus.connect(u"client-"_s + method).asyncCall(call));
        QSignalSpy done(&watcher, &QDBusPendingCallWatcher::finished);
        if (!watcher.isFinished())
            done.wait(kProcessLimitMs);
        return watcher.reply();
    }
    ProgramRun ctl(const QStringList& arguments) { return Ctl(bus.address(), arguments).finish(); }
};

} // namespace

class ControlInterfaceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ControlRig> m_rig;

private Q_SLOTS:
    void init() {
        m_rig = std::make_unique<ControlRig>();
        if (!m_rig->skipReason.isEmpty())
            QSKIP(qPrintable(m_rig->skipReason));
        QVERIFY(m_rig->control);
    }
    void cleanup() { m_rig.reset(); }

    void devicesAndStatusShowTheCoordinatorsState() {
        const ProgramRun table = m_rig->ctl({u"devices"_s});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.out, u"\u2605  Kitchen  online   Song \u2014 Artist at 1:23\n"
                            "   Study    offline  -                      queued\n"_s);

        const ProgramRun json = m_rig->ctl({u"devices"_s, u"--json"_s});
        QCOMPARE(json.exitCode, 0);
        const QJsonArray devices = array(json.out);
        QCOMPARE(devices.size(), 2);
        const QJsonObject kitchen = devices.at(0).toObject();
        QCOMPARE(kitchen.value("id").toString(), u"K"_s);
        QCOMPARE(kitchen.value("presence").toString(), u"online"_s);
        QVERIFY(kitchen.value("isFavorite").toBool());
        QVERIFY(kitchen.value("isPlaying").toBool());
        QCOMPARE(kitchen.value("nowPlaying").toObject().value("position").toDouble(), 83.9);
        QCOMPARE(kitchen.value("nowPlaying").toObject().value("album"), QJsonValue());
        const QJsonObject study = devices.at(1).toObject();
        QVERIFY(study.value("isQueued").toBool());
        QVERIFY(!study.value("isOnline").toBool());
        QCOMPARE(study.value("nowPlaying"), QJsonValue());

        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 5);
        m_rig->coordinatorRig.clock->advance(2s); // the playback loop samples the player
        const ProgramRun status = m_rig->ctl({u"status"_s, u"--json"_s});
        const QJsonObject state = object(status.out);
        QCOMPARE(state.value("thisDevice").toObject().value("name").toString(), u"This Mac"_s);
        QCOMPARE(state.value("thisDevice").toObject().value("nowPlaying").toObject().value("title"),
                 QJsonValue(u"Here"_s));
        QCOMPARE(state.value("queuedPushTargets").toArray(), QJsonArray{u"S"_s});
        QCOMPARE(state.value("transferError"), QJsonValue());
        QVERIFY(!state.value("isTransferring").toBool());

        const ProgramRun text = m_rig->ctl({u"status"_s});
        QVERIFY2(
            text.out.startsWith(u"This device: This Mac (%1)\nPlaying here: "
                                "Here \u2014 Artist at 0:05\n\n\u2605  Kitchen"_s.arg(kThisID)),
            qPrintable(text.out));
    }

    void pushByNameOrIdSendsThePlaybackThere() {
        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 12);
        const ProgramRun sent = m_rig->ctl({u"push"_s, u"kitchen"_s});
        QCOMPARE(sent.exitCode, 0);
        QCOMPARE(sent.out, u"Sent to kitchen.\n"_s);
        QCOMPARE(m_rig->coordinatorRig.cloud->sentHandoffs.size(), 1);
        QCOMPARE(m_rig->coordinatorRig.cloud->sentHandoffs.at(0).second, u"K"_s);
        QCOMPARE(m_rig->coordinatorRig.cloud->sentHandoffs.at(0).first.songTitle, u"Here"_s);

        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 20);
        const ProgramRun queued = m_rig->ctl({u"push"_s, u"S"_s, u"--json"_s});
        QCOMPARE(queued.exitCode, 0);
        const QJsonObject answer = object(queued.out);
        QVERIFY(answer.value("ok").toBool());
        QVERIFY(answer.value("queued").toBool());
        QCOMPARE(m_rig->coordinatorRig.cloud->sentHandoffs.at(1).second, u"S"_s);
    }

    void failedOperationsExitOneWithTheCoordinatorsError() {
        m_rig->coordinatorRig.music->nowPlaying.reset();
        const ProgramRun nothing = m_rig->ctl({u"push"_s, u"Kitchen"_s});
        QCOMPARE(nothing.exitCode, 1);
        QCOMPARE(nothing.err, u"sonavertctl: Nothing is playing right now.\n"_s);
        QVERIFY(m_rig->coordinatorRig.cloud->sentHandoffs.isEmpty());

        const ProgramRun itself = m_rig->ctl({u"push"_s, u"this mac"_s});
        QCOMPARE(itself.exitCode, 1);
        QCOMPARE(itself.err, u"sonavertctl: Cannot push to this device itself.\n"_s);
    }

    void deviceArgumentsThatNameNoSingleDeviceExitFour() {
        const ProgramRun unknown = m_rig->ctl({u"pull"_s, u"Attic"_s});
        QCOMPARE(unknown.exitCode, 4);
        QCOMPARE(unknown.err, u"sonavertctl: No device named or with id 'Attic'.\n"_s);

        m_rig->coordinatorRig.cloud->fetchDefault.append(device(u"K2"_s, u"KITCHEN"_s));
        QCoro::waitFor(m_rig->vm().syncPresence());
        const ProgramRun ambiguous = m_rig->ctl({u"forget"_s, u"Kitchen"_s});
        QCOMPARE(ambiguous.exitCode, 4);
        QVERIFY2(ambiguous.err.contains(u"Kitchen (K)"_s) &&
                     ambiguous.err.contains(u"KITCHEN (K2)"_s),
                 qPrintable(ambiguous.err));
        QCOMPARE(m_rig->vm().devices().size(), 3); // nothing was forgotten
        const ProgramRun byId = m_rig->ctl({u"forget"_s, u"k2"_s});
        QCOMPARE(byId.exitCode, 0);
        QCOMPARE(names(m_rig->vm().devices()), (QStringList{"Kitchen", "Study"}));
    }

    // A computer without the account's key is listed as such, and a push to it (or from
    // this computer without the key) fails at once with why and what to do; nothing is sent.
    void computersWithoutTheKeyAreShownAndRefused() {
        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 12);
        m_rig->coordinatorRig.accountKeys->holding = {{u"K"_s, true}, {u"S"_s, false}};
        QCoro::waitFor(m_rig->vm().syncPresence());
        const ProgramRun table = m_rig->ctl({u"devices"_s});
        QCOMPARE(table.out, u"\u2605  Kitchen  online   Song \u2014 Artist at 1:23\n"
                            "   Study    offline  -                      queued  Not verified "
                            "yet\n"_s);
        const QJsonArray devices = array(m_rig->ctl({u"devices"_s, u"--json"_s}).out);
        QVERIFY(devices.at(0).toObject().value("isVerified").toBool());
        QVERIFY(!devices.at(1).toObject().value("isVerified").toBool());

        const ProgramRun refused = m_rig->ctl({u"push"_s, u"Study"_s});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.startsWith(u"sonavertctl: Study is not verified yet"_s) &&
                     refused.err.contains(u"sonavertctl verify Study"_s),
                 qPrintable(refused.err));
        QVERIFY(refused.out.isEmpty()); // never "Queued"
        QVERIFY(m_rig->coordinatorRig.cloud->sentHandoffs.isEmpty());

        m_rig->coordinatorRig.accountKeys->isUnverified = true;
        const ProgramRun fromHere = m_rig->ctl({u"push"_s, u"Kitchen"_s});
        QCOMPARE(fromHere.exitCode, 1);
        QVERIFY(fromHere.err.startsWith(u"sonavertctl: This computer is not verified yet"_s));
        QVERIFY(m_rig->coordinatorRig.cloud->sentHandoffs.isEmpty());
    }

    // 'invite' waits for the computer its code brings, starts its verification, and confirms
    // with the code typed from the other screen; both computers end up holding the key.
    void inviteWaitsForTheNewComputerAndVerifiesIt() {
        KeysRig& keys = m_rig->keys;
        keys.kitchen->keys.setAccount(kAccount);
        keys.runUntil([&] { return keys.kitchen->keys.state() == AccountKeys::State::Verified; });
        m_rig->session.setSignedIn(QUrl(u"https://cloud.example"_s));

        const ProgramRun noWait = m_rig->ctl({u"invite"_s, u"--no-wait"_s});
        QCOMPARE(noWait.exitCode, 0);
        QVERIFY(noWait.out.startsWith(u"Code:"_s) && !noWait.out.contains(u"Waiting"_s));

        RequestSeen seen(*keys.kitchenLine);
        QSignalSpy requested(&seen, &RequestSeen::requested);
        // Watched from before the tool starts: its first look may come before its "Waiting"
        // line is read here.
        QSignalSpy looked(&seen, &RequestSeen::looked);
        Ctl invite(m_rig->bus.address(), {u"invite"_s}, true);
        QString line;
        for (int read = 0; read < 20 && !line.startsWith(u"Waiting for the other"_s); ++read)
            line = invite.nextLine();
        QVERIFY2(line.startsWith(u"Waiting for the other"_s), qPrintable(line));
        // The tool's wait reaches Kitchen over the bus, in real time; from its first look for
        // the new computer on, Kitchen looks again on the virtual clock.
        QVERIFY(looked.count() > 0 || looked.wait(kProcessLimitMs));
        keys.study->keys.setAccount(kAccount); // Study signs in with the code...
        QVERIFY(keys.runUntil(
            [&] { return keys.study->keys.state() == AccountKeys::State::Unverified; }));
        keys.study->keys.openVerification(); // ...which opens its verification
        // Kitchen's next look, on the virtual clock, finds Study. The tool hears of it over the
        // bus and asks Kitchen to begin, in real time: Kitchen's request is an event to wait
        // for, not virtual time to run out.
        keys.clock->advance(AccountKeys::kJoinPollInterval);
        QVERIFY(requested.count() > 0 || requested.wait(kProcessLimitMs));
        QVERIFY(keys.runUntil([&] {
            return keys.study->keys.incoming() && !keys.study->keys.incoming()->code.isEmpty();
        }));
        const QString code = keys.study->keys.incoming()->code;
        QCOMPARE(invite.nextLine(), u"Study signed in with the code."_s);
        QCOMPARE(invite.nextLine(), u"Code: "_s + code);
        invite.writeInput(code.toUtf8() + '\n');
        const ProgramRun done = invite.finish();
        QCOMPARE(done.exitCode, 0);
        QVERIFY2(done.out.contains(u"The codes match."_s), qPrintable(done.out));

        QVERIFY(keys.run(keys.study->keys.confirmVerification(u"Kitchen"_s, code)).ok());
        QVERIFY(keys.runUntil(
            [&] { return keys.study->keys.state() == AccountKeys::State::Verified; }));
    }

    void favoriteSetsAndClearsTheFavourite() {
        QCOMPARE(m_rig->ctl({u"favorite"_s, u"study"_s}).exitCode, 0);
        QVERIFY(m_rig->vm().devices().at(0).isFavorite);
        QCOMPARE(m_rig->vm().devices().at(0).name, u"Study"_s); // favourites first
        QVERIFY(!m_rig->vm().devices().at(1).isFavorite);
        // Asking again keeps it: the command sets, it does not toggle.
        QCOMPARE(m_rig->ctl({u"favorite"_s, u"Study"_s}).exitCode, 0);
        QVERIFY(m_rig->vm().devices().at(0).isFavorite);
        QCOMPARE(m_rig->ctl({u"unfavorite"_s, u"Study"_s}).exitCode, 0);
        QVERIFY(!m_rig->vm().devices().at(0).isFavorite && !m_rig->vm().devices().at(1).isFavorite);
    }

    void pullAnswersWhenThePlaybackArrivesOrTheWaitEnds() {
        auto& cloud = *m_rig->coordinatorRig.cloud;
        for (const bool arrives : {false, true}) {
            QSignalSpy pulling(&m_rig->vm(), &DeviceHandoffViewModel::isPullingChanged);
            Ctl pull(m_rig->bus.address(), {u"pull"_s, u"Kitchen"_s});
            QVERIFY(pulling.wait(kProcessLimitMs));
            QCOMPARE(cloud.sentPullRequests.size(), arrives ? 2 : 1);
            QCOMPARE(cloud.sentPullRequests.last(), (std::pair{u"K"_s, QString(kThisID)}));
            if (arrives) {
                cloud.handoffResults.push_back(std::optional(song(u"Song"_s, 90)));
                auto consumed = m_rig->vm().consumePendingHandoff();
                m_rig->coordinatorRig.clock->runUntil([&] { return consumed.isReady(); }, 5s);
            } else {
                m_rig->coordinatorRig.clock->advance(DeviceHandoffViewModel::kPullTimeout);
            }
            const ProgramRun run = pull.finish();
            QCOMPARE(run.exitCode, arrives ? 0 : 1);
            QCOMPARE(arrives ? run.out : run.err,
                     arrives ? u"Pulled from Kitchen.\n"_s
                             : u"sonavertctl: Kitchen didn't respond. Make sure Sonavert is open "
                               "on it and try again.\n"_s);
        }
        QCOMPARE(m_rig->coordinatorRig.music->resumed.size(), 1);
    }

    void watchPrintsOneStatePerChange() {
        Ctl watch(m_rig->bus.address(), {u"watch"_s, u"--json"_s});
        QCOMPARE(object(watch.nextLine()).value("thisDevice").toObject().value("name"),
                 QJsonValue(u"This Mac"_s));

        // A push changes half a dozen values in one go; the watcher sees only the outcome.
        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 1);
        m_rig->coordinatorRig.clock->advance(2s); // the playback loop samples the player
        const QJsonObject playingHere = object(watch.nextLine());
        QCOMPARE(playingHere.value("thisDevice").toObject().value("isPlaying"), QJsonValue(true));
        QCoro::waitFor(m_rig->vm().transfer(m_rig->vm().devices().at(0)));
        const QJsonObject afterPush = object(watch.nextLine());
        QCOMPARE(afterPush.value("thisDevice").toObject().value("isPlaying"), QJsonValue(false));
        QVERIFY(!afterPush.value("isTransferring").toBool());
        QCOMPARE(afterPush.value("activityLabel"), QJsonValue());
        m_rig->vm().toggleFavorite(m_rig->vm().devices().at(1));
        const QJsonObject afterFavorite = object(watch.nextLine());
        QVERIFY(
            afterFavorite.value("devices").toArray().at(0).toObject().value("isFavorite").toBool());
        QCOMPARE(afterFavorite.value("devices").toArray().at(0).toObject().value("name").toString(),
                 u"Study"_s);

        // The app leaving the bus ends the watch. (The interface keeps the connection open.)
        m_rig->control.reset();
        QDBusConnection::disconnectFromBus(u"control-test"_s);
        const ProgramRun end = watch.finish();
        QCOMPARE(end.exitCode, 3);
        // With --json the end is one more object a line, as a script reading the stream wants.
        QVERIFY2(end.err.isEmpty(), qPrintable(end.err));
        const QJsonObject stopped = object(end.out.trimmed().split(u'\n').last());
        QCOMPARE(stopped.value("ok"), QJsonValue(false));
        QCOMPARE(stopped.value("error"), QJsonValue(u"Sonavert stopped."_s));
        QCOMPARE(stopped.value("exitCode"), QJsonValue(3));
    }

    void aCallInFlightIsAnsweredWhenTheAppStops() {
        m_rig->coordinatorRig.music->nowPlaying = song(u"Here"_s, 1);
        m_rig->coordinatorRig.cloud->latency = {{u"sendHandoff"_s, 1s}};
        QSignalSpy transferring(&m_rig->vm(), &DeviceHandoffViewModel::isTransferringChanged);
        Ctl push(m_rig->bus.address(), {u"push"_s, u"Kitchen"_s});
        QVERIFY(transferring.wait(kProcessLimitMs));
        const ProgramRun busy = m_rig->ctl({u"push"_s, u"Study"_s});
        QCOMPARE(busy.exitCode, 1);
        QCOMPARE(busy.err, u"sonavertctl: A push is already under way.\n"_s);
        m_rig->control.reset();
        const ProgramRun run = push.finish();
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, u"sonavertctl: Sonavert stopped before this finished.\n"_s);
    }

    void eachInstanceAnswersOnItsOwnNameAndNoneForAnother() {
        QCOMPARE(controlBusNames(std::nullopt, u"Study Mac"_s),
                 (QStringList{kSharedName, u"io.sonavert.Sonavert.study_mac"_s}));
        QCOMPARE(controlBusNames(u"org.example.Mine"_s, u"Study Mac"_s),
                 QStringList{u"org.example.Mine"_s});

        CoordinatorRig second;
        second.make();
        auto other = std::make_unique<ControlInterface>(ControlInterface::Parts{
            *second.coordinator, m_rig->session, m_rig->keys.kitchen->keys, m_rig->updater});
        QDBusConnection connection = m_rig->bus.connect(u"second"_s);
        QVERIFY(other->exportOn(connection));
        // The shared name belongs to the first instance; the second takes its own.
        QVERIFY(!awaitTask(requestBusName(connection, kSharedName)));
        QVERIFY(awaitTask(
            requestBusName(connection, controlBusNames(std::nullopt, u"Study Mac"_s).at(1))));

        const ProgramRun first = m_rig->ctl({u"devices"_s, u"--json"_s});
        QCOMPARE(array(first.out).size(), 2);
        const ProgramRun addressed = m_rig->ctl({u"--instance"_s, u"study MAC"_s, u"devices"_s});
        QCOMPARE(addressed.exitCode, 0);
        QCOMPARE(addressed.out, u"No other devices yet.\n"_s);
        other.reset();
        const ProgramRun absent =
            m_rig->ctl({u"--instance"_s, u"Attic"_s, u"push"_s, u"Kitchen"_s});
        QCOMPARE(absent.exitCode, 3);
        QCOMPARE(absent.err, u"sonavertctl: No Sonavert instance called Attic is running (no "
                             "io.sonavert.Sonavert.attic on the session bus).\n"_s);
    }

    // `sonavertctl sign-in LINK` hands the link over whole: the device takes the server's key
    // from it. A text that is no link is refused by the device too.
    void aLinkGoesToTheDeviceWithItsServerKey() {
        FakeAccountSession& session = m_rig->session;
        const QByteArray key(32, '\x2a');
        const QUrl link =
            makePairingLink(QUrl(u"https://192.168.1.20:8470"_s), u"KQ7-4FD-92X"_s, key);
        const ProgramRun signedIn = m_rig->ctl({u"sign-in"_s, link.toString()});
        QCOMPARE(signedIn.exitCode, 0);
        QCOMPARE(session.calls, QStringList{u"signIn https://192.168.1.20:8470 KQ7-4FD-92X "_s +
                                            QString::fromLatin1(key.toHex())});
        const ProgramRun typed =
            m_rig->ctl({u"sign-in"_s, u"--server"_s, u"https://192.168.1.20:8470"_s, u"--code"_s,
                        u"KQ7-4FD-92X"_s});
        QCOMPARE(typed.exitCode, 0);
        QCOMPARE(session.calls.last(), u"signIn https://192.168.1.20:8470 KQ7-4FD-92X"_s);

        QCOMPARE(m_rig->call(u"SignInWithLink"_s, {u"https://192.168.1.20:8470"_s}).errorName(),
                 u"io.sonavert.Sonavert.Error.Failed"_s);
        QCOMPARE(session.calls.size(), 2);
    }

    void showWindowReachesTheWindowOrSaysThereIsNone() {
        QCOMPARE(m_rig->call(u"ShowWindow"_s).errorName(),
                 u"io.sonavert.Sonavert.Error.NoWindow"_s);
        int shown = 0;
        m_rig->control->setWindowShower([&shown] { ++shown; });
        QCOMPARE(m_rig->call(u"ShowWindow"_s).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(shown, 1);
        m_rig->control->setWindowShower({});
    }
};

QTEST_GUILESS_MAIN(ControlInterfaceTest)
#include "control_interface_test.moc"
