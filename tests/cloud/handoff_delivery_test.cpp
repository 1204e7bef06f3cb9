// Delivery of handoff commands to the receiving service across its runs: a command queued while
// the device was off waits for it up to a day, a command is played at most once whoever writes
// it again, and a command taken but not yet played survives a restart.

#include "src/model/record_json.h"
#include "tests/cloud/cloud_service_rig.h"
#include "tests/support/checked.h"

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

PlaybackState song(double position = 42.25) {
    return {u"1440857781"_s, position,     u"Song"_s,   u"Artist"_s,
            u"Album"_s,      std::nullopt, std::nullopt};
}

/// Writes a handoff command for B as another device would, written `age` seconds ago.
void writeCommand(ServiceRig& rig, double age, const QString& messageID,
                  const PlaybackState& state = song()) {
    CloudRecord record{u"handoff_"_s + kDeviceB, u"HandoffCommand"_s, {}, {}, {}};
    record.fields.insert(u"targetDeviceID"_s, FieldValue(kDeviceB));
    record.fields.insert(u"messageID"_s, FieldValue(messageID));
    record.fields.insert(u"payload"_s, FieldValue(QString::fromUtf8(*encodeJson(state))));
    record.fields.insert(u"timestamp"_s, FieldValue(rig.clock->now().addSeconds(-age)));
    QVERIFY(rig.save(kDefaultZone, {record}));
}

bool isStored(const ServiceRig& rig) {
    return rig.stored(kDefaultZone, u"handoff_"_s + kDeviceB).has_value();
}

/// B's service is stopped (as a killed process would be) and a new run starts on the same
/// profile.
void restart(ServiceRig& rig) {
    rig.service.reset();
    VirtualClock::drainEvents();
    rig.service = std::make_unique<CloudKitHandoffService>(rig.database, rig.defaults, rig.clock);
}

} // namespace

class HandoffDeliveryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Queued while off
    void commandQueuedBeforeThisRunIsAcceptedUpToADay() {
        CapturingLogSink log;
        ServiceRig b;
        b.clock->advance(30s);
        CHECKED(writeCommand(b, 10 * 60 + 30, u"MSG-QUEUED"_s, song(17.5)));
        const auto received = b.run(b.service->fetchHandoff(kDeviceB)).value();
        QVERIFY(received);
        QCOMPARE(received->playbackTime, 17.5);
        QCOMPARE(received->handoffMessageID, std::optional(u"MSG-QUEUED"_s));
        QVERIFY(log.messages(LogCategory::Handoff)
                    .filter(u"event=handoff_fetch_succeeded message_id=MSG-QUEUED "
                            "age_seconds=630.000000 "_s)
                    .size() == 1);
        QVERIFY(!isStored(b));
    }

    // The ledger forgets a played command's id after a day: a copy of a command older than
    // that would play again, so none is taken, however long the device was off.
    void commandQueuedMoreThanADayAgoIsRefused() {
        CapturingLogSink log;
        ServiceRig b;
        b.clock->advance(30s);
        const double aDay = ConsumedMessageLedger::kRememberedSeconds;
        CHECKED(writeCommand(b, aDay + 1, u"MSG-OLD"_s));
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
        QCOMPARE(log.messages(LogCategory::Handoff).last(),
                 u"event=handoff_rejected message_id=MSG-OLD reason=invalid_or_expired "
                 "age_seconds=86401.000000 has_payload=true"_s);
        CHECKED(writeCommand(b, aDay - 1, u"MSG-DAY"_s));
        QVERIFY(b.run(b.service->fetchHandoff(kDeviceB)).value().has_value());
    }

    void commandWrittenDuringThisRunStillExpiresAfterSixtySeconds() {
        CapturingLogSink log;
        ServiceRig b;
        b.clock->advance(61s);
        CHECKED(writeCommand(b, 0, u"MSG-LATE"_s));
        b.clock->advance(60s);
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
        QCOMPARE(log.messages(LogCategory::Handoff).last(),
                 u"event=handoff_rejected message_id=MSG-LATE reason=invalid_or_expired "
                 "age_seconds=60.000000 has_payload=true"_s);
        QVERIFY(isStored(b));
    }

    void pullRequestsKeepTheirSixtySecondRule() {
        CapturingLogSink log;
        ServiceRig a;
        CloudRecord request{u"pullrequest_"_s + kDeviceA, u"HandoffRequest"_s, {}, {}, {}};
        request.fields.insert(u"targetDeviceID"_s, FieldValue(kDeviceA));
        request.fields.insert(u"requesterDeviceID"_s, FieldValue(kDeviceB));
        request.fields.insert(u"requestID"_s, FieldValue(u"REQ-OLD"_s));
        request.fields.insert(u"proof"_s, FieldValue(u"REQ-OLD"_s));
        request.fields.insert(u"timestamp"_s, FieldValue(a.clock->now().addSeconds(-600)));
        QVERIFY(a.save(kDefaultZone, {request}));
        QCOMPARE(a.run(a.service->fetchPullRequest(kDeviceA)).value(), std::nullopt);
        QCOMPARE(log.messages(LogCategory::Pull).last(),
                 u"event=pull_request_rejected request_id=REQ-OLD reason=invalid_or_expired"_s);
    }

    // Played at most once
    void commandWrittenAgainAfterItWasPlayedIsDeletedUnplayed() {
        CapturingLogSink log;
        ServiceRig b;
        CHECKED(writeCommand(b, 1, u"MSG-1"_s));
        QVERIFY(b.run(b.service->fetchHandoff(kDeviceB)).value().has_value());
        b.service->settleHandoff(u"MSG-1"_s);
        // The sender's earlier attempt reaches the server late and writes it again.
        CHECKED(writeCommand(b, 3, u"MSG-1"_s));
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
        QVERIFY(log.messages(LogCategory::Handoff)
                    .contains(u"event=handoff_duplicate_ignored message_id=MSG-1"_s));
        QVERIFY(!isStored(b)); // the sender's queued mark ends
        // ... and still after a restart.
        restart(b);
        CHECKED(writeCommand(b, 1, u"MSG-1"_s));
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
        // A new push is a new message and plays.
        CHECKED(writeCommand(b, 1, u"MSG-2"_s));
        QVERIFY(b.run(b.service->fetchHandoff(kDeviceB)).value().has_value());
    }

    // Taken, not yet played
    void takenCommandIsGivenAgainAfterARestartUntilSettled() {
        CapturingLogSink log;
        ServiceRig b;
        CHECKED(writeCommand(b, 1, u"MSG-1"_s, song(80.0)));
        QVERIFY(b.run(b.service->fetchHandoff(kDeviceB)).value().has_value());
        QVERIFY(!isStored(b)); // the cloud's copy is gone; only this device has it now
        restart(b);
        b.clock->advance(10min);
        const int fetchesBefore = b.database->requestCounts.value(u"fetchRecords"_s);
        const auto restored = b.run(b.service->fetchHandoff(kDeviceB)).value();
        QVERIFY(restored);
        QCOMPARE(restored->playbackTime, 80.0);
        QCOMPARE(restored->handoffMessageID, std::optional(u"MSG-1"_s));
        QCOMPARE(b.database->requestCounts.value(u"fetchRecords"_s), fetchesBefore);
        QVERIFY(log.messages(LogCategory::Handoff)
                    .last()
                    .startsWith(u"event=handoff_taken_restored message_id=MSG-1 "
                                "taken_seconds_ago=600.000000"_s));
        b.service->settleHandoff(u"MSG-1"_s);
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
    }

    void deviceStoppedBeforeTheDeleteFinishesPlaysOnceAndDeletesTheCopy() {
        CapturingLogSink log;
        ServiceRig b;
        CHECKED(writeCommand(b, 1, u"MSG-1"_s));
        // The delete reaches the server only after this run has ended.
        b.database->addFault(u"modifyRecords"_s, {RequestFault::Kind::LateAnswer, {}, 30s});
        auto fetching = b.service->fetchHandoff(kDeviceB);
        b.clock->runUntil([&] { return b.database->requestCounts.value(u"modifyRecords"_s) == 1; },
                          10s);
        restart(b); // stopped while the delete is on its way
        QVERIFY(isStored(b));
        QVERIFY(b.run(b.service->fetchHandoff(kDeviceB)).value().has_value());
        b.service->settleHandoff(u"MSG-1"_s);
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value(), std::nullopt);
        QVERIFY(!isStored(b));
        QVERIFY(log.messages(LogCategory::Handoff)
                    .contains(u"event=handoff_duplicate_ignored message_id=MSG-1"_s));
        b.clock->runUntil([&] { return fetching.isReady(); }, 60s);
    }

    void damagedTakenCopyIsDroppedWithADecodingError() {
        ServiceRig b;
        b.defaults->setStringDictionary(
            u"Sonavert.handoff.takenCommand"_s,
            {{u"id"_s, u"MSG-1"_s}, {u"payload"_s, u"not json"_s}, {u"takenAt"_s, u"0"_s}});
        QVERIFY(!b.run(b.service->fetchHandoff(kDeviceB)).ok());
        CHECKED(writeCommand(b, 1, u"MSG-2"_s));
        QCOMPARE(b.run(b.service->fetchHandoff(kDeviceB)).value()->handoffMessageID,
                 std::optional(u"MSG-2"_s));
    }
};

QTEST_GUILESS_MAIN(HandoffDeliveryTest)
#include "handoff_delivery_test.moc"
