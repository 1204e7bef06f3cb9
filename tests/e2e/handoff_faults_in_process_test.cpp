// Handoffs under the faults of a bad day, between whole devices in one process on virtual
// time: a push queued for a device that is off for ten minutes, a save held up by the cloud
// for a whole watchdog period, a save that reaches the cloud twice, and a receiver stopped
// between taking a command and playing it. Each song plays once, where the sender stopped.

#include "tests/e2e/in_process_device.h"
#include "tests/support/checked.h"

#include <QRegularExpression>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace std::chrono_literals;

namespace {

const QString kSong = QStringLiteral("So What");

/// The message id of the handoff the sender saved last, from its save line.
QString savedMessageID(const CapturingLogSink& log) {
    static const QRegularExpression saved(
        QStringLiteral("^event=handoff_save_succeeded message_id=(\\S+) "));
    QString id;
    for (const QString& line : log.messages(LogCategory::Handoff))
        if (const auto match = saved.match(line); match.hasMatch())
            id = match.captured(1);
    return id;
}

int resumesOf(const CapturingLogSink& log, const QString& messageID) {
    const QString started =
        QStringLiteral("event=playback_resume_started trigger=background message_id=") + messageID;
    int count = 0;
    for (const QString& line : log.messages(LogCategory::Playback))
        count += line.startsWith(started);
    return count;
}

} // namespace

class HandoffFaultsInProcessTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::shared_ptr<clouddb::InMemoryCloud> m_cloud;
    std::unique_ptr<InProcessDevice> m_kitchen;
    std::unique_ptr<InProcessDevice> m_study;

    bool runUntil(const std::function<bool()>& condition, Duration limit = 60s) {
        return m_clock->runUntil(condition, limit);
    }
    void startAndMeet() {
        m_kitchen->start();
        m_study->start();
        QVERIFY(runUntil([&] { return m_kitchen->seesOnline(QStringLiteral("Study")); }));
        QVERIFY(runUntil([&] { return m_study->seesOnline(QStringLiteral("Kitchen")); }));
    }
    /// Kitchen plays the song for `played`, then pushes it to Study, its save meeting
    /// `saveFault`; the push's task.
    QCoro::Task<> pushAfter(Duration played,
                            std::optional<clouddb::RequestFault> saveFault = std::nullopt) {
        m_kitchen->playNow(kSong);
        m_clock->advance(played);
        if (saveFault)
            m_kitchen->database->addFault(QStringLiteral("modifyRecords"), *saveFault);
        return m_kitchen->coordinator->transfer(*m_kitchen->peer(QStringLiteral("Study")));
    }
    double studyPosition() const { return m_study->player->snapshot().position; }
    /// Study starts the song and is moved to within a second of `position` right away (a
    /// start further back would reach it only seconds later, by playing).
    bool studyStartsNear(double position) {
        if (!runUntil([&] { return m_study->plays(kSong); }, 30s))
            return false;
        return runUntil([&] { return std::abs(studyPosition() - position) < 1.0; }, 2s);
    }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_cloud = clouddb::InMemoryCloud::create(m_clock);
        m_kitchen = std::make_unique<InProcessDevice>(
            QStringLiteral("AAAAAAAA-1111-4111-8111-111111111111"), QStringLiteral("Kitchen"),
            m_clock, m_cloud, kLibrary);
        m_study = std::make_unique<InProcessDevice>(
            QStringLiteral("BBBBBBBB-2222-4222-8222-222222222222"), QStringLiteral("Study"),
            m_clock, m_cloud, kLibrary);
    }
    void cleanup() {
        for (InProcessDevice* device : {m_kitchen.get(), m_study.get()})
            device->stop();
        m_clock->runUntil([] { return false; }, 600s);
        m_study.reset();
        m_kitchen.reset();
        VirtualClock::drainEvents();
    }

    void pushQueuedForTenMinutesPlaysWhenTheDeviceStartsOnce() {
        CapturingLogSink log;
        CHECKED(startAndMeet());
        m_study->stop();
        QVERIFY(runUntil([&] { return !m_kitchen->seesOnline(QStringLiteral("Study")); }, 10s));
        QVERIFY(runUntil([&] { return m_kitchen->peer(QStringLiteral("Study")).has_value(); }));
        auto push = pushAfter(25s);
        QVERIFY(runUntil([&] { return push.isReady(); }));
        const double stoppedAt = m_kitchen->player->snapshot().position;
        QCOMPARE(m_kitchen->player->snapshot().state, PlayerState::Paused);
        const QString id = savedMessageID(log);
        QVERIFY(!id.isEmpty());
        const QString studyID = m_study->id;
        QVERIFY(m_kitchen->coordinator->queuedPushTargets().contains(studyID));

        m_clock->advance(10min);
        m_study->start();
        QVERIFY(studyStartsNear(stoppedAt));
        QVERIFY(runUntil(
            [&] { return !m_kitchen->coordinator->queuedPushTargets().contains(studyID); }, 30s));
        m_clock->advance(2min);
        QCOMPARE(resumesOf(log, id), 1);
        QVERIFY(m_study->plays(kSong));
        QVERIFY(log.messages(LogCategory::Handoff)
                    .filter(QStringLiteral("handoff_rejected"))
                    .isEmpty());
    }

    void saveHeldUpForAWatchdogPeriodLandsWhereTheSenderStopped() {
        CapturingLogSink log;
        CHECKED(startAndMeet());
        // The first attempt of the push's save never answers; its watchdog fires after 8 s
        // and the second attempt goes through.
        auto push =
            pushAfter(40s, clouddb::RequestFault{clouddb::RequestFault::Kind::Hang, {}, {}});
        QVERIFY(runUntil([&] { return push.isReady(); }));
        QVERIFY2(log.messages(LogCategory::Handoff)
                     .filter(QStringLiteral("event=handoff_save_succeeded"))
                     .last()
                     .contains(QStringLiteral(" attempt=2 ")),
                 "the save was not held up");
        const double stoppedAt = m_kitchen->player->snapshot().position;
        QCOMPARE(m_kitchen->player->snapshot().state, PlayerState::Paused);
        QVERIFY2(stoppedAt < 41.0, qPrintable(QString::number(stoppedAt)));
        QVERIFY(studyStartsNear(stoppedAt));
    }

    void saveThatReachesTheCloudTwicePlaysOnce() {
        CapturingLogSink log;
        CHECKED(startAndMeet());
        // The first attempt is applied only after its watchdog fired, after the second one:
        // the cloud holds the same command again once Study has played it.
        auto push =
            pushAfter(30s, clouddb::RequestFault{clouddb::RequestFault::Kind::LateAnswer, {}, 12s});
        QVERIFY(runUntil([&] { return push.isReady(); }));
        const QString id = savedMessageID(log);
        QVERIFY(studyStartsNear(m_kitchen->player->snapshot().position));
        m_clock->advance(1min);
        QCOMPARE(resumesOf(log, id), 1);
        QVERIFY(log.messages(LogCategory::Handoff)
                    .contains(QStringLiteral("event=handoff_duplicate_ignored message_id=") + id));
        QVERIFY(!m_cloud->record(QStringLiteral("user"), clouddb::kDefaultZone,
                                 QStringLiteral("handoff_") + m_study->id));
    }

    void receiverStoppedBetweenTakingAndPlayingPlaysOnItsNextStartOnce() {
        CapturingLogSink log;
        CHECKED(startAndMeet());
        auto push = pushAfter(50s);
        QVERIFY(runUntil([&] { return push.isReady(); }));
        const double stoppedAt = m_kitchen->player->snapshot().position;
        const QString id = savedMessageID(log);
        // Taken (and deleted from the cloud) but not yet played when Study is killed.
        QVERIFY(runUntil([&] {
            return m_study->coordinator->activityLabel() ==
                   std::optional(QStringLiteral("Resuming playback\u2026"));
        }));
        QCOMPARE(resumesOf(log, id), 0);
        m_study->kill();
        m_clock->advance(5s);
        QVERIFY(!m_study->plays(kSong));
        QVERIFY(!m_cloud->record(QStringLiteral("user"), clouddb::kDefaultZone,
                                 QStringLiteral("handoff_") + m_study->id));

        m_study->start();
        QVERIFY(studyStartsNear(stoppedAt));
        m_clock->advance(1min);
        QCOMPARE(resumesOf(log, id), 1);
        QVERIFY(m_study->plays(kSong));
    }
};

QTEST_GUILESS_MAIN(HandoffFaultsInProcessTest)
#include "handoff_faults_in_process_test.moc"
