// Handoff commands and pull requests between devices' cloud services: sent, received once and
// consumed, refused when too old, unreadable or unproven; and delivered across the receiver's
// runs: a command queued while the device was off waits for it up to a day, a command is
// played at most once whoever writes it again, and a command taken but not yet played survives
// a restart.

#include "src/model/record_json.h"
#include "tests/cloud/cloud_service_rig.h"
#include "tests/support/checked.h"

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

PlaybackState song() {
    return {u"1440857781"_s, 42.25,        u"Song"_s,     u"Artist"_s,
            u"Album"_s,      std::nullopt, u"caller-id"_s};
}

/// Writes a handoff command for B as another device would, `age` seconds old.
void writeCommand(ServiceRig& rig, std::optional<double> age, std::optional<QString> payload,
                  std::optional<QString> messageID = u"MSG-1"_s) {
    CloudRecord record{u"handoff_"_s + kDeviceB, u"HandoffCommand"_s, {}, {}, {}};
    record.fields.insert(u"targetDeviceID"_s, FieldValue(kDeviceB));
    if (messageID)
        record.fields.insert(u"messageID"_s, FieldValue(*messageID));
    if (payload)
        record.fields.insert(u"payload"_s, FieldValue(*payload));
    if (age)
        record.fields.insert(u"timestamp"_s, FieldValue(rig.clock->now().addSeconds(-*age)));
    QVERIFY(rig.save(kDefaultZone, {record}));
}

QString payloadAt(double position) {
    PlaybackState state = song();
    state.playbackTime = position;
    return QString::fromUtf8(*encodeJson(state));
}

QString validPayload() {
    return payloadAt(song().playbackTime);
}

/// What B takes from the cloud now.
std::optional<PlaybackState> fetched(ServiceRig& b) {
    return b.run(b.service->fetchHandoff(kDeviceB)).value();
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

class HandoffAndPullTest : public QObject {
    Q_OBJECT

    std::optional<CapturingLogSink> log; // what every case logs, from its start
    // A sender and the receiver B on one cloud and clock, made afresh for every case.
    std::optional<ServiceRig> a;
    std::optional<ServiceRig> b;

private Q_SLOTS:
    void init() {
        log.emplace();
        a.emplace();
        b.emplace(a->cloud, a->clock);
    }
    void cleanup() {
        b.reset();
        a.reset();
        log.reset();
    }

    void sentCommandIsReceivedOnceAndConsumed() {
        QVERIFY(a->run(a->service->sendHandoff(song(), kDeviceB)).ok());
        QCOMPARE(a->service->outboundSent(), QSet<QString>{kDeviceB});
        const auto record = *a->stored(kDefaultZone, u"handoff_"_s + kDeviceB);
        const QString messageID = *record.string(u"messageID"_s);
        QCOMPARE(messageID.size(), 36);
        QCOMPARE(messageID, messageID.toUpper());
        QCOMPARE(record.integer(u"schemaVersion"_s), std::optional<qint64>(1));
        const auto handoff = log->messages(LogCategory::Handoff);
        QVERIFY(handoff.first().startsWith(
            u"event=handoff_save_started message_id=%1 target_device_id=<mask.hash: '"_s.arg(
                messageID)));
        QVERIFY(handoff.last().startsWith(
            u"event=handoff_save_succeeded message_id=%1 attempt=1 duration_seconds="_s.arg(
                messageID)));

        QCOMPARE(a->run(a->service->fetchQueuedPushTargets()), QSet<QString>{kDeviceB});
        auto received = fetched(*b);
        QVERIFY(received);
        PlaybackState expected = song();
        expected.handoffMessageID = messageID;
        QCOMPARE(*received, expected);
        b->service->settleHandoff(messageID);
        QCOMPARE(fetched(*b), std::nullopt);
        QCOMPARE(log->messages(LogCategory::Handoff).filter(u"handoff_fetch_not_found"_s).size(),
                 1);
        // The sender's probe sees the command gone.
        QCOMPARE(a->run(a->service->fetchQueuedPushTargets()), QSet<QString>());
        QVERIFY(a->service->outboundSent().isEmpty());
    }

    void secondPushReplacesTheFirst() {
        QVERIFY(a->run(a->service->sendHandoff(song(), kDeviceB)).ok());
        PlaybackState later = song();
        later.playbackTime = 99.0;
        QVERIFY(a->run(a->service->sendHandoff(later, kDeviceB)).ok());
        QCOMPARE(a->cloud->recordNames(u"user"_s, kDefaultZone),
                 QStringList{u"handoff_"_s + kDeviceB});
        const auto payload =
            a->stored(kDefaultZone, u"handoff_"_s + kDeviceB)->string(u"payload"_s);
        QCOMPARE(decodePlaybackState(payload->toUtf8())->playbackTime, 99.0);
    }

    // A command written while this run goes is taken under sixty seconds old; one queued
    // before it, up to a day (the ledger forgets a played command's id after a day: an older
    // copy would play again). Any other is refused with its age, and kept.
    void aCommandIsTakenOnlyWhileFresh_data() {
        QTest::addColumn<int>("runningFor");
        QTest::addColumn<std::optional<double>>("age");
        QTest::addColumn<QString>("refusal"); // empty: taken
        const double aDay = ConsumedMessageLedger::kRememberedSeconds;
        QTest::newRow("written now, 59 s") << 600 << std::optional(59.0) << QString();
        QTest::newRow("written now, 60 s")
            << 600 << std::optional(60.0) << u"age_seconds=60.000000 has_payload=true"_s;
        QTest::newRow("queued, under a day") << 30 << std::optional(aDay - 1) << QString();
        QTest::newRow("queued, over a day")
            << 30 << std::optional(aDay + 1) << u"age_seconds=86401.000000 has_payload=true"_s;
        QTest::newRow("no timestamp, no payload")
            << 0 << std::optional<double>() << u"age_seconds=-1.000000 has_payload=false"_s;
    }
    void aCommandIsTakenOnlyWhileFresh() {
        QFETCH(int, runningFor);
        QFETCH(std::optional<double>, age);
        QFETCH(QString, refusal);
        CapturingLogSink log;
        b->clock->advance(std::chrono::seconds(runningFor));
        CHECKED(writeCommand(*b, age, age ? std::optional(validPayload()) : std::nullopt));
        QCOMPARE(fetched(*b).has_value(), refusal.isEmpty());
        if (!refusal.isEmpty()) {
            QCOMPARE(log.messages(LogCategory::Handoff).last(),
                     u"event=handoff_rejected message_id=MSG-1 reason=invalid_or_expired "_s +
                         refusal);
            QVERIFY(isStored(*b));
        }
    }

    // A receiver looks every two seconds and the refused record stays: it is said once, and
    // again only for a record written anew.
    void aRefusedCommandIsLoggedOncePerRecord() {
        b->clock->advance(10min);
        const auto rejections = [&] {
            return log->messages(LogCategory::Handoff).filter(u"event=handoff_rejected"_s);
        };
        // What a computer without the key reads: the sealed payload does not open.
        CHECKED(writeCommand(*b, 1.0, std::nullopt));
        for (int look = 0; look < 3; ++look) {
            QCOMPARE(fetched(*b), std::nullopt);
            b->clock->advance(2s);
        }
        QCOMPARE(rejections().size(), 1);
        QVERIFY(isStored(*b)); // still kept
        CHECKED(writeCommand(*b, 1.0, std::nullopt, u"MSG-2"_s));
        QCOMPARE(fetched(*b), std::nullopt);
        QCOMPARE(fetched(*b), std::nullopt);
        QCOMPARE(rejections().size(), 2);
        QVERIFY(rejections().last().contains(u"message_id=MSG-2"_s));
        // Once it can be read, the same record is taken as any other.
        CHECKED(writeCommand(*b, 1.0, validPayload(), u"MSG-2"_s));
        QVERIFY(fetched(*b));
    }

    void commandWithoutMessageIDIsLegacy() {
        CHECKED(writeCommand(*b, 1.0, validPayload(), std::nullopt));
        const auto received = fetched(*b);
        QCOMPARE(received->handoffMessageID, std::optional(u"legacy"_s));
    }

    void undecodablePayloadFailsAndIsKept() {
        CHECKED(writeCommand(*b, 1.0, QString()));
        const auto received = b->run(b->service->fetchHandoff(kDeviceB));
        QVERIFY(!received.ok());
        QVERIFY(log->messages(LogCategory::Handoff)
                    .last()
                    .startsWith(u"event=handoff_decode_failed message_id=MSG-1 error=<private>"_s));
        QVERIFY(isStored(*b));
    }

    void failedDeleteStillGivesTheStateButNeverTwice() {
        CHECKED(writeCommand(*b, 1.0, validPayload()));
        b->failNext(u"modifyRecords"_s, CloudErrorCode::NetworkFailure);
        QVERIFY(fetched(*b));
        QCOMPARE(log->messages(LogCategory::Handoff).last(),
                 u"event=handoff_delete_failed message_id=MSG-1 error=<private>"_s);
        b->service->settleHandoff(u"MSG-1"_s);
        // Still in the cloud and still fresh, but played: it is deleted, not given again.
        QCOMPARE(fetched(*b), std::nullopt);
        QCOMPARE(log->messages(LogCategory::Handoff).last(),
                 u"event=handoff_delete_succeeded message_id=MSG-1"_s);
        QVERIFY(!isStored(*b));
    }

    void otherFetchErrorsReachTheCaller() {
        b->failNext(u"fetchRecords"_s, CloudErrorCode::ServiceUnavailable);
        QVERIFY(isCloudError(b->run(b->service->fetchHandoff(kDeviceB)).error(),
                             CloudErrorCode::ServiceUnavailable));
    }

    void timedOutSendIsLoggedAndNotQueued() {
        for (int i = 0; i < 3; ++i)
            a->database->addFault(u"modifyRecords"_s, {RequestFault::Kind::Hang, {}, {}});
        const Status sent = a->run(a->service->sendHandoff(song(), kDeviceB));
        QCOMPARE(sent.error().description,
                 u"The push timed out after 3 attempts. Please try again."_s);
        QVERIFY(log->messages(LogCategory::Handoff)
                    .last()
                    .endsWith(u" attempts=3 timeout_seconds_per_attempt=8.000000"_s));
        QVERIFY(a->service->outboundSent().isEmpty());
        QCOMPARE(a->run(a->service->fetchQueuedPushTargets()), QSet<QString>());
        QCOMPARE(a->database->requestCounts.value(u"fetchRecords"_s),
                 0); // nothing to probe
    }

    void probeKeepsItsSetWhenTheLookupFailsAndRunsBesideASend() {
        QVERIFY(a->run(a->service->sendHandoff(song(), kDeviceB)).ok());
        a->failNext(u"fetchRecords"_s, CloudErrorCode::NetworkFailure);
        QCOMPARE(a->run(a->service->fetchQueuedPushTargets()), QSet<QString>{kDeviceB});
        QCOMPARE(log->messages(LogCategory::Handoff).last(),
                 u"event=queued_push_probe_failed error=<private>"_s);

        // A send to C is in flight while the probe runs: C joins only once its save succeeded.
        a->database->latency = 1s;
        auto sending = a->service->sendHandoff(song(), kDeviceC);
        auto probing = a->service->fetchQueuedPushTargets();
        a->clock->runUntil([&] { return sending.isReady() && probing.isReady(); }, 10s);
        QVERIFY(awaitTask(std::move(sending)).ok());
        QCOMPARE(awaitTask(std::move(probing)), (QSet<QString>{kDeviceB, kDeviceC}));
        QCOMPARE(a->service->outboundSent(), (QSet<QString>{kDeviceB, kDeviceC}));
    }

    void pullRequestIsAcceptedOnceAndTheLatestRequesterWins() {
        ServiceRig c(a->cloud, a->clock); // B and C ask A, the source
        QVERIFY(b->run(b->service->sendPullRequest(kDeviceA, kDeviceB)).ok());
        a->clock->advance(3s);
        QVERIFY(c.run(c.service->sendPullRequest(kDeviceA, kDeviceC)).ok());
        const CloudRecord request = *a->stored(kDefaultZone, u"pullrequest_"_s + kDeviceA);
        QCOMPARE(a->run(a->service->fetchPullRequest(kDeviceA)).value(), std::optional(kDeviceC));
        QCOMPARE(a->run(a->service->fetchPullRequest(kDeviceA)).value(), std::nullopt);
        QVERIFY(log->messages(LogCategory::Pull)
                    .filter(u"event=pull_request_delete_succeeded"_s)
                    .size() == 1);
        // The server puts the answered request back: it is not answered twice, in this run
        // or the next.
        for (int run = 0; run < 2; ++run) {
            QVERIFY(a->save(kDefaultZone, {request}));
            QCOMPARE(a->run(a->service->fetchPullRequest(kDeviceA)).value(), std::nullopt);
            QVERIFY(!a->stored(kDefaultZone, request.recordName));
            a->service =
                std::make_unique<CloudKitHandoffService>(a->database, a->defaults, a->clock);
        }
        QCOMPARE(log->messages(LogCategory::Pull)
                     .filter(u"event=pull_request_duplicate_ignored request_id="_s +
                             *request.string(u"requestID"_s))
                     .size(),
                 2);
    }

    void nothingPlayingAnswerLeavesAWaitingHandoffAlone() {
        // A plays nothing; B asked it, and a push from C waits for B.
        ServiceRig c(a->cloud, a->clock);
        QVERIFY(c.run(c.service->sendHandoff(song(), kDeviceB)).ok());
        QVERIFY(a->run(a->service->sendPullUnavailable(kDeviceB, kDeviceA)).ok());
        const auto record = *a->stored(kDefaultZone, u"pullunavailable_"_s + kDeviceB);
        // A handoff command by type, so the requester's subscription wakes it.
        QCOMPARE(record.recordType, u"HandoffCommand"_s);
        QCOMPARE(record.string(u"targetDeviceID"_s), std::optional(kDeviceB));
        QCOMPARE(b->run(b->service->fetchPullUnavailable(kDeviceB)).value(),
                 std::optional(kDeviceA));
        QCOMPARE(b->run(b->service->fetchPullUnavailable(kDeviceB)).value(), std::nullopt);
        QCOMPARE(fetched(*b)->songID, song().songID);
        const QString replyID = *record.string(u"replyID"_s);
        QVERIFY(
            log->messages(LogCategory::Pull)
                .contains(u"event=pull_unavailable_delete_succeeded reply_id=%1"_s.arg(replyID)));

        QVERIFY(a->run(a->service->sendPullUnavailable(kDeviceB, kDeviceA)).ok());
        a->clock->advance(61s); // an answer nobody took in time is never taken
        QCOMPARE(b->run(b->service->fetchPullUnavailable(kDeviceB)).value(), std::nullopt);
        QVERIFY(log->messages(LogCategory::Pull).last().endsWith(u" reason=invalid_or_expired"_s));
    }

    void stalePullRequestIsRejected() {
        QVERIFY(b->run(b->service->sendPullRequest(kDeviceA, kDeviceB)).ok());
        const QString requestID =
            *a->stored(kDefaultZone, u"pullrequest_"_s + kDeviceA)->string(u"requestID"_s);
        a->clock->advance(61s);
        QCOMPARE(a->run(a->service->fetchPullRequest(kDeviceA)).value(), std::nullopt);
        QCOMPARE(log->messages(LogCategory::Pull).last(),
                 u"event=pull_request_rejected request_id=%1 reason=invalid_or_expired"_s.arg(
                     requestID));
    }

    // A request proves its sender holds the key by its own id, sealed: one without it, or
    // with another request's, is refused and left unanswered, whatever else it says. Nor
    // does a request queued before this run get a command's day: sixty seconds it is.
    void pullRequestWithoutItsProofIsRefused_data() {
        QTest::addColumn<std::optional<QString>>("requestID");
        QTest::addColumn<std::optional<QString>>("proof");
        QTest::addColumn<int>("age");
        QTest::newRow("no proof") << std::optional(u"REQ-1"_s) << std::optional<QString>() << 0;
        QTest::newRow("another request's proof")
            << std::optional(u"REQ-1"_s) << std::optional(u"REQ-0"_s) << 0;
        QTest::newRow("no id, as devices that did not prove wrote them")
            << std::optional<QString>() << std::optional(u"legacy"_s) << 0;
        QTest::newRow("proven, queued ten minutes before this run")
            << std::optional(u"REQ-OLD"_s) << std::optional(u"REQ-OLD"_s) << 600;
    }
    void pullRequestWithoutItsProofIsRefused() {
        QFETCH(std::optional<QString>, requestID);
        QFETCH(std::optional<QString>, proof);
        QFETCH(int, age);
        CapturingLogSink log;
        CloudRecord request{u"pullrequest_"_s + kDeviceA, u"HandoffRequest"_s, {}, {}, {}};
        request.fields.insert(u"targetDeviceID"_s, FieldValue(kDeviceA));
        request.fields.insert(u"requesterDeviceID"_s, FieldValue(kDeviceB));
        request.fields.insert(u"timestamp"_s, FieldValue(a->clock->now().addSeconds(-age)));
        if (requestID)
            request.fields.insert(u"requestID"_s, FieldValue(*requestID));
        if (proof)
            request.fields.insert(u"proof"_s, FieldValue(*proof));
        QVERIFY(a->save(kDefaultZone, {request}));
        QCOMPARE(a->run(a->service->fetchPullRequest(kDeviceA)).value(), std::nullopt);
        QCOMPARE(log.messages(LogCategory::Pull).last(),
                 u"event=pull_request_rejected request_id=%1 reason=invalid_or_expired"_s.arg(
                     requestID.value_or(u"legacy"_s)));
        QVERIFY(a->stored(kDefaultZone, request.recordName));
    }

    void subscriptionsAreCreatedOnceThenFound() {
        for (int i = 0; i < 2; ++i) {
            QVERIFY(a->run(a->service->ensureHandoffSubscription(kDeviceA)).ok());
            QVERIFY(a->run(a->service->ensurePullSubscription(kDeviceA)).ok());
        }
        QStringList kinds;
        for (const QString& line : log->messages(LogCategory::Push))
            kinds << line.section(QLatin1Char(' '), 0, 1);
        QCOMPARE(kinds, (QStringList{"event=subscription_created type=handoff",
                                     "event=subscription_created type=pull",
                                     "event=subscription_exists type=handoff",
                                     "event=subscription_exists type=pull"}));
        const auto handoff =
            a->run(a->database->fetchSubscription(u"handoff-sub-"_s + kDeviceA, {}));
        QCOMPARE(handoff.value().recordType, u"HandoffCommand"_s);
        QCOMPARE(handoff.value().filters.value(u"targetDeviceID"_s), FieldValue(kDeviceA));
        QVERIFY(handoff.value().firesOnCreate && handoff.value().firesOnUpdate &&
                !handoff.value().firesOnDelete);

        a->failNext(u"fetchSubscription"_s, CloudErrorCode::NetworkFailure);
        QVERIFY(!a->run(a->service->ensureHandoffSubscription(kDeviceA)).ok());
    }

    // Queued while off
    void commandQueuedBeforeThisRunIsAcceptedUpToADay() {
        b->clock->advance(30s);
        CHECKED(writeCommand(*b, 10 * 60 + 30, payloadAt(17.5), u"MSG-QUEUED"_s));
        const auto received = fetched(*b);
        QVERIFY(received);
        QCOMPARE(received->playbackTime, 17.5);
        QCOMPARE(received->handoffMessageID, std::optional(u"MSG-QUEUED"_s));
        QVERIFY(log->messages(LogCategory::Handoff)
                    .filter(u"event=handoff_fetch_succeeded message_id=MSG-QUEUED "
                            "age_seconds=630.000000 "_s)
                    .size() == 1);
        QVERIFY(!isStored(*b));
    }

    // Played at most once
    void commandWrittenAgainAfterItWasPlayedIsDeletedUnplayed() {
        CHECKED(writeCommand(*b, 1, validPayload(), u"MSG-1"_s));
        QVERIFY(fetched(*b));
        b->service->settleHandoff(u"MSG-1"_s);
        // The sender's earlier attempt reaches the server late and writes it again.
        CHECKED(writeCommand(*b, 3, validPayload(), u"MSG-1"_s));
        QCOMPARE(fetched(*b), std::nullopt);
        QVERIFY(log->messages(LogCategory::Handoff)
                    .contains(u"event=handoff_duplicate_ignored message_id=MSG-1"_s));
        QVERIFY(!isStored(*b)); // the sender's queued mark ends
        // ... and still after a restart.
        restart(*b);
        CHECKED(writeCommand(*b, 1, validPayload(), u"MSG-1"_s));
        QCOMPARE(fetched(*b), std::nullopt);
        // A new push is a new message and plays.
        CHECKED(writeCommand(*b, 1, validPayload(), u"MSG-2"_s));
        QVERIFY(fetched(*b));
    }

    // Taken, not yet played
    void takenCommandIsGivenAgainAfterARestartUntilSettled() {
        CHECKED(writeCommand(*b, 1, payloadAt(80.0), u"MSG-1"_s));
        QVERIFY(fetched(*b));
        QVERIFY(!isStored(*b)); // the cloud's copy is gone; only this device has it now
        restart(*b);
        b->clock->advance(10min);
        const int fetchesBefore = b->database->requestCounts.value(u"fetchRecords"_s);
        const auto restored = fetched(*b);
        QVERIFY(restored);
        QCOMPARE(restored->playbackTime, 80.0);
        QCOMPARE(restored->handoffMessageID, std::optional(u"MSG-1"_s));
        QCOMPARE(b->database->requestCounts.value(u"fetchRecords"_s), fetchesBefore);
        QVERIFY(log->messages(LogCategory::Handoff)
                    .last()
                    .startsWith(u"event=handoff_taken_restored message_id=MSG-1 "
                                "taken_seconds_ago=600.000000"_s));
        b->service->settleHandoff(u"MSG-1"_s);
        QCOMPARE(fetched(*b), std::nullopt);
    }

    void deviceStoppedBeforeTheDeleteFinishesPlaysOnceAndDeletesTheCopy() {
        CHECKED(writeCommand(*b, 1, validPayload(), u"MSG-1"_s));
        // The delete reaches the server only after this run has ended.
        b->database->addFault(u"modifyRecords"_s, {RequestFault::Kind::LateAnswer, {}, 30s});
        auto fetching = b->service->fetchHandoff(kDeviceB);
        b->clock->runUntil(
            [&] { return b->database->requestCounts.value(u"modifyRecords"_s) == 1; }, 10s);
        restart(*b); // stopped while the delete is on its way
        QVERIFY(isStored(*b));
        QVERIFY(fetched(*b));
        b->service->settleHandoff(u"MSG-1"_s);
        QCOMPARE(fetched(*b), std::nullopt);
        QVERIFY(!isStored(*b));
        QVERIFY(log->messages(LogCategory::Handoff)
                    .contains(u"event=handoff_duplicate_ignored message_id=MSG-1"_s));
        b->clock->runUntil([&] { return fetching.isReady(); }, 60s);
    }

    void damagedTakenCopyIsDroppedWithADecodingError() {
        b->defaults->setStringDictionary(
            u"Sonavert.handoff.takenCommand"_s,
            {{u"id"_s, u"MSG-1"_s}, {u"payload"_s, u"not json"_s}, {u"takenAt"_s, u"0"_s}});
        QVERIFY(!b->run(b->service->fetchHandoff(kDeviceB)).ok());
        CHECKED(writeCommand(*b, 1, validPayload(), u"MSG-2"_s));
        QCOMPARE(fetched(*b)->handoffMessageID, std::optional(u"MSG-2"_s));
    }
};

QTEST_GUILESS_MAIN(HandoffAndPullTest)
#include "handoff_and_pull_test.moc"
