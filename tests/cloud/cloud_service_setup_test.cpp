// A device's cloud service setting itself up (the account checked once, the zone created once,
// a legacy subscription removed once) and publishing a record with retries under a watchdog.
#include "src/cloud/service_error.h"
#include "tests/cloud/cloud_service_rig.h"

#include <QCryptographicHash>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {
const QString kZoneCreated = u"Tessary.presenceZoneCreated"_s;
const QString kLegacyRemoved = u"Tessary.presenceZoneSubscriptionRemoved"_s;

QList<CloudRecord> command() {
    QList<CloudRecord> records;
    records << CloudRecord{
        u"handoff_B"_s, u"HandoffCommand"_s, {{u"targetDeviceID"_s, FieldValue(u"B"_s)}}, {}, {}};
    return records;
}

const RequestFault kHang{RequestFault::Kind::Hang, {}, {}};

QString retryLine(int completed) {
    return u"event=publication_retry_scheduled kind=handoff correlation_id=M1 "
           "completed_attempt=%1 next_attempt=%2"_s.arg(completed)
               .arg(completed + 1);
}
} // namespace

class CloudServiceSetupTest : public QObject {
    Q_OBJECT

    std::optional<CapturingLogSink> log; // what every case logs, from its start

    std::optional<ServiceRig> rig; // made afresh for every case

private Q_SLOTS:
    void init() {
        log.emplace();
        rig.emplace();
    }
    void cleanup() {
        rig.reset();
        log.reset();
    }

    void concurrentAccountChecksShareOneRequest() {
        rig->database->latency = 1s;
        auto first = rig->service->ensureAccountAvailable();
        auto second = rig->service->ensureAccountAvailable();
        rig->clock->runUntil([&] { return first.isReady() && second.isReady(); }, 5s);
        QVERIFY(awaitTask(std::move(first)).ok());
        QVERIFY(awaitTask(std::move(second)).ok());
        QCOMPARE(rig->database->requestCounts.value(u"accountStatus"_s), 1);
        QVERIFY(
            rig->run(rig->service->ensureAccountAvailable()).ok()); // remembered: no new request
        QCOMPARE(rig->database->requestCounts.value(u"accountStatus"_s), 1);
    }

    void unavailableAccountIsReportedAndAskedAgain() {
        rig->cloud->setAccountStatus(u"user"_s, AccountStatus::TemporarilyUnavailable);
        rig->database->latency = 1s;
        auto first = rig->service->ensureAccountAvailable();
        auto second = rig->service->ensureAccountAvailable();
        rig->clock->runUntil([&] { return first.isReady() && second.isReady(); }, 5s);
        const auto a = awaitTask(std::move(first));
        QCOMPARE(a.error().description,
                 u"Your Sonavert account is not available. Sign in on this computer."_s);
        QCOMPARE(awaitTask(std::move(second)).error(), a.error());
        rig->cloud->setAccountStatus(u"user"_s, AccountStatus::Available);
        QVERIFY(rig->run(rig->service->ensureAccountAvailable()).ok());
        QCOMPARE(rig->database->requestCounts.value(u"accountStatus"_s), 2);

        ServiceRig failing;
        failing.failNext(u"accountStatus"_s, CloudErrorCode::NetworkUnavailable);
        QVERIFY(isCloudError(failing.run(failing.service->ensureAccountAvailable()).error(),
                             CloudErrorCode::NetworkUnavailable));
    }

    void zoneIsCreatedOnceAndTheEnvironmentLineWritten() {
        rig->database->latency = 1s;
        auto first = rig->service->ensurePresenceZone();
        auto second = rig->service->ensurePresenceZone();
        rig->clock->runUntil([&] { return first.isReady() && second.isReady(); }, 10s);
        QVERIFY(awaitTask(std::move(first)).ok() && awaitTask(std::move(second)).ok());
        QCOMPARE(rig->database->requestCounts.value(u"saveZone"_s), 1);
        QCOMPARE(rig->defaults->boolValue(kZoneCreated), std::optional(true));
        rig->clock->advance(5s);
        const QString userRecord = rig->run(rig->database->userRecordName({})).value();
        const QString fingerprint = QString::fromLatin1(
            QCryptographicHash::hash(userRecord.toUtf8(), QCryptographicHash::Sha256).toHex());
        QCOMPARE(fingerprint.size(), 64);
        const QString expected =
            u"event=presence_environment container=iCloud.io.sonavert.sonavert "
            "build_config=%1 account_status=available user_fingerprint=%2 session_id=%3"_s.arg(
                QStringLiteral(
#ifdef NDEBUG
                    "release"
#else
                    "debug"
#endif
                    ),
                fingerprint, rig->service->currentSessionID().left(8));
        QCOMPARE(log->messages(LogCategory::CloudKit), QStringList{expected});
    }

    void createdFlagSkipsTheServerButStillLogsTheEnvironment() {
        rig->defaults->setBool(kZoneCreated, true);
        QVERIFY(rig->run(rig->service->ensurePresenceZone()).ok());
        rig->clock->advance(1s);
        QCOMPARE(rig->database->requestCounts.value(u"saveZone"_s), 0);
        QCOMPARE(
            log->messages(LogCategory::CloudKit).filter(u"event=presence_environment"_s).size(), 1);
    }

    void partialFailureNamingTheZoneRecreatesItOnce() {
        const auto database = rig->run(rig->service->ensureAccountAvailable()).value();
        int runs = 0;
        std::vector<Error> items{cloudError(CloudErrorCode::ZoneNotFound)};
        const Error partial = partialFailure(items);
        auto status = rig->run(rig->service->withPresenceZoneRecovery(
            database, [&runs, partial]() -> QCoro::Task<Status> {
                ++runs;
                co_return runs == 1 ? Status(partial) : Status();
            }));
        QVERIFY(status.ok());
        QCOMPARE(runs, 2);
        QCOMPARE(rig->database->requestCounts.value(u"saveZone"_s), 2);
        QCOMPARE(log->count(u"event=presence_zone_missing action=recreate"_s), 1);

        runs = 0;
        status = rig->run(rig->service->withPresenceZoneRecovery(
            database, [&runs, partial]() -> QCoro::Task<Status> {
                ++runs;
                co_return Status(partial);
            }));
        QVERIFY(CloudKitHandoffService::isPresenceZoneMissing(status.error()));
        QCOMPARE(runs, 2);
        QVERIFY(!CloudKitHandoffService::isPresenceZoneMissing(partialFailure({})));
        QVERIFY(CloudKitHandoffService::isPresenceZoneMissing(
            cloudError(CloudErrorCode::UserDeletedZone)));
    }

    void legacySubscriptionIsRemovedOnce() {
        ServiceRig missing;
        QVERIFY(missing.run(missing.service->removeLegacyPresenceSubscription()).ok());
        QCOMPARE(missing.defaults->boolValue(kLegacyRemoved), std::optional(true));
        QVERIFY(log->messages(LogCategory::Push).isEmpty());

        ServiceRig existing;
        Subscription legacy;
        legacy.subscriptionID = u"presence-zone-sub"_s;
        legacy.recordType = u"DevicePresence"_s;
        QVERIFY(existing.run(existing.database->saveSubscription(legacy, {})).ok());
        QVERIFY(existing.run(existing.service->removeLegacyPresenceSubscription()).ok());
        QCOMPARE(log->messages(LogCategory::Push),
                 QStringList{u"event=subscription_deleted type=presence_zone"_s});
        QVERIFY(existing.run(existing.service->removeLegacyPresenceSubscription()).ok());
        QCOMPARE(existing.database->requestCounts.value(u"deleteSubscription"_s), 1);

        ServiceRig offline;
        offline.failNext(u"deleteSubscription"_s, CloudErrorCode::NetworkFailure);
        QVERIFY(offline.run(offline.service->removeLegacyPresenceSubscription()).ok());
        QVERIFY(!offline.defaults->contains(kLegacyRemoved));
    }

    void successAtOnceReturnsOneWithoutRetry() {
        rig->database->latency = 2s;
        const auto attempt =
            rig->run(rig->service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QCOMPARE(attempt.value(), 1);
        QCOMPARE(rig->clock->monotonicNow(), Duration(2s));
        QVERIFY(log->messages(LogCategory::CloudKit).isEmpty());
        QCOMPARE(rig->clock->pendingTimerCount(), std::size_t(0)); // the watchdog was cancelled
    }

    void neverAnsweringFailsAfterThreeWatchdogsAt24Seconds() {
        for (int i = 0; i < 3; ++i)
            rig->database->addFault(u"modifyRecords"_s, kHang);
        const auto attempt =
            rig->run(rig->service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(!attempt.ok());
        QVERIFY(service_error::isRequestTimedOut(attempt.error()));
        QCOMPARE(attempt.error().description,
                 u"The push timed out after 3 attempts. Please try again."_s);
        QCOMPARE(rig->clock->monotonicNow(), Duration(24s));
        QCOMPARE(log->messages(LogCategory::CloudKit), (QStringList{retryLine(1), retryLine(2)}));
        VirtualClock::drainEvents();
        QCOMPARE(rig->database->cancelledCount, 3);
        QCOMPARE(rig->database->requestCounts.value(u"modifyRecords"_s), 3);
    }

    void timeoutThenSuccessReturnsTwo() {
        rig->database->addFault(u"modifyRecords"_s, kHang);
        const auto attempt =
            rig->run(rig->service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QCOMPARE(attempt.value(), 2);
        QCOMPARE(log->messages(LogCategory::CloudKit), QStringList{retryLine(1)});
        QVERIFY(rig->stored(kDefaultZone, u"handoff_B"_s));
    }

    void timeoutThenNetworkErrorEndsWithoutThirdAttempt() {
        rig->database->addFault(u"modifyRecords"_s, kHang);
        rig->failNext(u"modifyRecords"_s, CloudErrorCode::NetworkFailure);
        const auto attempt =
            rig->run(rig->service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(isCloudError(attempt.error(), CloudErrorCode::NetworkFailure));
        QCOMPARE(rig->database->requestCounts.value(u"modifyRecords"_s), 2);
        QCOMPARE(rig->clock->monotonicNow(), Duration(8s));
    }

    void cloudErrorOfTheFirstAttemptEndsAtOnce() {
        rig->database->failRecord(u"handoff_B"_s, cloudError(CloudErrorCode::QuotaExceeded));
        const auto attempt =
            rig->run(rig->service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(isCloudError(attempt.error(), CloudErrorCode::PartialFailure));
        QCOMPARE(rig->clock->monotonicNow(), Duration(0s));
        QVERIFY(log->messages(LogCategory::CloudKit).isEmpty());
    }

    void resultJustAfterTheWatchdogIsDropped() {
        rig->database->addFault(u"modifyRecords"_s, {RequestFault::Kind::LateAnswer, {}, 8001ms});
        auto attempt = rig->service->performPublicationAttempt(command());
        rig->clock->advance(8s);
        QVERIFY(attempt.isReady());
        const Status outcome = awaitTask(std::move(attempt));
        QVERIFY(service_error::isRequestTimedOut(outcome.error()));
        // The late answer still lands (the server applied it) but reaches nobody.
        rig->clock->advance(1ms);
        QVERIFY(rig->stored(kDefaultZone, u"handoff_B"_s));
        QCOMPARE(rig->database->cancelledCount, 1);
    }

    void watchdogAndRequestTimeoutOnTheSameInstantGiveTheWatchdogsTimeout() {
        rig->database->addFault(u"modifyRecords"_s, {RequestFault::Kind::Delay, {}, 9s});
        auto attempt = rig->service->performPublicationAttempt(command());
        rig->clock->advance(8s);
        QVERIFY(service_error::isRequestTimedOut(awaitTask(std::move(attempt)).error()));
    }
};

QTEST_GUILESS_MAIN(CloudServiceSetupTest)
#include "cloud_service_setup_test.moc"
