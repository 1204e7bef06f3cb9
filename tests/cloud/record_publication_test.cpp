#include "src/cloud/service_error.h"
#include "tests/cloud/cloud_service_rig.h"

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

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

class RecordPublicationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void successAtOnceReturnsOneWithoutRetry() {
        CapturingLogSink log;
        ServiceRig rig;
        rig.database->latency = 2s;
        const auto attempt =
            rig.run(rig.service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QCOMPARE(attempt.value(), 1);
        QCOMPARE(rig.clock->monotonicNow(), Duration(2s));
        QVERIFY(log.messages(LogCategory::CloudKit).isEmpty());
        QCOMPARE(rig.clock->pendingTimerCount(), std::size_t(0)); // the watchdog was cancelled
    }

    void neverAnsweringFailsAfterThreeWatchdogsAt24Seconds() {
        CapturingLogSink log;
        ServiceRig rig;
        for (int i = 0; i < 3; ++i)
            rig.database->addFault(u"modifyRecords"_s, kHang);
        const auto attempt =
            rig.run(rig.service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(!attempt.ok());
        QVERIFY(service_error::isRequestTimedOut(attempt.error()));
        QCOMPARE(attempt.error().description,
                 u"The push timed out after 3 attempts. Please try again."_s);
        QCOMPARE(rig.clock->monotonicNow(), Duration(24s));
        QCOMPARE(log.messages(LogCategory::CloudKit), (QStringList{retryLine(1), retryLine(2)}));
        VirtualClock::drainEvents();
        QCOMPARE(rig.database->cancelledCount, 3);
        QCOMPARE(rig.database->requestCounts.value(u"modifyRecords"_s), 3);
    }

    void timeoutThenSuccessReturnsTwo() {
        CapturingLogSink log;
        ServiceRig rig;
        rig.database->addFault(u"modifyRecords"_s, kHang);
        const auto attempt =
            rig.run(rig.service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QCOMPARE(attempt.value(), 2);
        QCOMPARE(log.messages(LogCategory::CloudKit), QStringList{retryLine(1)});
        QVERIFY(rig.stored(kDefaultZone, u"handoff_B"_s));
    }

    void timeoutThenNetworkErrorEndsWithoutThirdAttempt() {
        ServiceRig rig;
        rig.database->addFault(u"modifyRecords"_s, kHang);
        rig.failNext(u"modifyRecords"_s, CloudErrorCode::NetworkFailure);
        const auto attempt =
            rig.run(rig.service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(isCloudError(attempt.error(), CloudErrorCode::NetworkFailure));
        QCOMPARE(rig.database->requestCounts.value(u"modifyRecords"_s), 2);
        QCOMPARE(rig.clock->monotonicNow(), Duration(8s));
    }

    void cloudErrorOfTheFirstAttemptEndsAtOnce() {
        CapturingLogSink log;
        ServiceRig rig;
        rig.database->failRecord(u"handoff_B"_s, cloudError(CloudErrorCode::QuotaExceeded));
        const auto attempt =
            rig.run(rig.service->publishWithRetry(command(), u"M1"_s, u"handoff"_s));
        QVERIFY(isCloudError(attempt.error(), CloudErrorCode::PartialFailure));
        QCOMPARE(rig.clock->monotonicNow(), Duration(0s));
        QVERIFY(log.messages(LogCategory::CloudKit).isEmpty());
    }

    void resultJustAfterTheWatchdogIsDropped() {
        ServiceRig rig;
        rig.database->addFault(u"modifyRecords"_s, {RequestFault::Kind::LateAnswer, {}, 8001ms});
        auto attempt = rig.service->performPublicationAttempt(command());
        rig.clock->advance(8s);
        QVERIFY(attempt.isReady());
        const Status outcome = awaitTask(std::move(attempt));
        QVERIFY(service_error::isRequestTimedOut(outcome.error()));
        // The late answer still lands (the server applied it) but reaches nobody.
        rig.clock->advance(1ms);
        QVERIFY(rig.stored(kDefaultZone, u"handoff_B"_s));
        QCOMPARE(rig.database->cancelledCount, 1);
    }

    void watchdogAndRequestTimeoutOnTheSameInstantGiveTheWatchdogsTimeout() {
        ServiceRig rig;
        rig.database->addFault(u"modifyRecords"_s, {RequestFault::Kind::Delay, {}, 9s});
        auto attempt = rig.service->performPublicationAttempt(command());
        rig.clock->advance(8s);
        QVERIFY(service_error::isRequestTimedOut(awaitTask(std::move(attempt)).error()));
    }
};

QTEST_GUILESS_MAIN(RecordPublicationTest)
#include "record_publication_test.moc"
