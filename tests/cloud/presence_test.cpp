#include "src/model/record_json.h"
#include "tests/cloud/cloud_service_rig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;

namespace {

const QString kZone = QStringLiteral("DevicePresenceZone");

PlaybackState song() {
    return {QStringLiteral("42"),
            61.5,
            QStringLiteral("Song"),
            QStringLiteral("Artist"),
            std::nullopt,
            std::nullopt,
            std::nullopt};
}

QMap<QString, QString> observedOf(const CloudRecord& record) {
    QMap<QString, QString> out;
    const QJsonObject object =
        QJsonDocument::fromJson(record.string(QStringLiteral("observedSessions"))->toUtf8())
            .object();
    for (auto it = object.begin(); it != object.end(); ++it)
        out.insert(it.key(), it.value().toString());
    return out;
}

DevicePresence presenceOf(const DeviceList& devices, const QString& id) {
    for (const auto& d : devices)
        if (d.id == id)
            return d.presence;
    return DevicePresence::Offline;
}

/// Publishes and fetches on both sides until each lists the other online; gives the rounds.
int handshake(ServiceRig& a, ServiceRig& b) {
    for (int round = 1; round <= 5; ++round) {
        (void)a.publish(kDeviceA, QStringLiteral("a"));
        const auto seenByB = b.run(b.service->fetchPresence(kDeviceB));
        (void)b.publish(kDeviceB, QStringLiteral("b"));
        const auto seenByA = a.run(a.service->fetchPresence(kDeviceA));
        if (presenceOf(seenByA.value(), kDeviceB) == DevicePresence::Online &&
            presenceOf(b.run(b.service->peerDevices(kDeviceB)), kDeviceA) == DevicePresence::Online)
            return round;
        Q_UNUSED(seenByB);
    }
    return -1;
}

} // namespace

class PresenceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoFreshDevicesReachOnlineOnBothSides() {
        ServiceRig a;
        ServiceRig b(a.cloud, a.clock);
        (void)a.publish(kDeviceA, QStringLiteral("a"));
        const auto first = b.run(b.service->fetchPresence(kDeviceB)).value();
        QCOMPARE(presenceOf(first, kDeviceA), DevicePresence::Connecting);
        QCOMPARE(b.run(b.service->pendingHandshakes()), 1);
        // A's first publication could not name B yet; the second round completes both sides.
        QCOMPARE(handshake(a, b), 2);
    }

    void freshnessFollowsTheCorrectedServerClock() {
        ServiceRig a;
        ServiceRig b(a.cloud, a.clock);
        a.cloud->setServerClockOffset(30.0); // the server's clock runs 30 s ahead
        QVERIFY(handshake(a, b) > 0);
        (void)b.publish(kDeviceB, QStringLiteral("b"), song());
        (void)a.run(a.service->fetchPresence(kDeviceA));
        QVERIFY(std::abs(a.service->serverClockOffset() - 30.0) < 0.01);

        a.clock->advance(89s);
        auto listed = a.run(a.service->peerDevices(kDeviceA));
        QCOMPARE(listed.first().presence, DevicePresence::Online);
        QCOMPARE(listed.first().nowPlaying, std::optional(song()));
        a.clock->advance(2s);
        listed = a.run(a.service->peerDevices(kDeviceA));
        QCOMPARE(listed.first().presence, DevicePresence::Offline);
        QCOMPARE(listed.first().nowPlaying, std::nullopt);
    }

    void seedsEnterThePublicationButNeverThisDeviceAndPeersOverrideThem() {
        CapturingLogSink log;
        ServiceRig a;
        a.run(a.service->seedObservedSessions({{kDeviceA, QStringLiteral("own")},
                                               {kDeviceB, QStringLiteral("seeded-b")},
                                               {kDeviceC, QStringLiteral("seeded-c")}}));
        a.run(a.service->noteNearbyPeer(kDeviceC, QStringLiteral("c"), QStringLiteral("nearby-c"),
                                        a.service->currentSessionID(), kDeviceA));
        QVERIFY(a.publish(kDeviceA, QStringLiteral("a")).ok());
        const auto record =
            a.cloud->record(QStringLiteral("user"), kZone, QStringLiteral("presence-") + kDeviceA);
        QCOMPARE(observedOf(*record),
                 (QMap<QString, QString>{{kDeviceB, QStringLiteral("seeded-b")},
                                         {kDeviceC, QStringLiteral("nearby-c")}}));
        QVERIFY(log.messages(LogCategory::CloudKit)
                    .last()
                    .startsWith(
                        QStringLiteral("event=presence_published device_id=AAAAAAAA session_id=%1 "
                                       "observed_peers=2 "
                                       "acked_device_ids=BBBBBBBB,CCCCCCCC clock_offset_seconds=")
                            .arg(a.service->currentSessionID().left(8))));

        // Seeds are taken only before the first fetch; the fetch empties them.
        (void)a.run(a.service->fetchPresence(kDeviceA));
        a.run(a.service->seedObservedSessions({{kDeviceB, QStringLiteral("late")}}));
        QVERIFY(a.publish(kDeviceA, QStringLiteral("a")).ok());
        QVERIFY(!observedOf(*a.cloud->record(QStringLiteral("user"), kZone,
                                             QStringLiteral("presence-") + kDeviceA))
                     .contains(kDeviceB));
    }

    void oneDiscoveryWakePerPeerSession() {
        CapturingLogSink log;
        ServiceRig a;
        {
            ServiceRig b(a.cloud, a.clock);
            (void)b.publish(kDeviceB, QStringLiteral("b"));
            (void)a.run(a.service->fetchPresence(kDeviceA));
            (void)a.publish(kDeviceA, QStringLiteral("a"));
            (void)a.publish(kDeviceA, QStringLiteral("a"));
            VirtualClock::drainEvents();
            QCOMPARE(log.count(QStringLiteral("event=discovery_wake_sent peer_device_id=BBBBBBBB")),
                     1);
            const auto wake =
                a.cloud->record(QStringLiteral("user"), kDefaultZone,
                                QStringLiteral("discovery_%1_%2").arg(kDeviceA, kDeviceB));
            QVERIFY(wake);
            QCOMPARE(wake->string(QStringLiteral("targetDeviceID")), std::optional(kDeviceB));
            QCOMPARE(wake->string(QStringLiteral("payload")),
                     std::optional<QString>(QStringLiteral("{}")));
        }
        ServiceRig restarted(a.cloud, a.clock); // B again, with a new session
        (void)restarted.publish(kDeviceB, QStringLiteral("b"));
        (void)a.run(a.service->fetchPresence(kDeviceA));
        (void)a.publish(kDeviceA, QStringLiteral("a"));
        VirtualClock::drainEvents();
        QCOMPARE(log.count(QStringLiteral("event=discovery_wake_sent peer_device_id=BBBBBBBB")), 2);
    }

    void markingOfflineKeepsNameAndObservedSessionsAndDropsNowPlaying() {
        CapturingLogSink log;
        ServiceRig a;
        a.run(a.service->seedObservedSessions({{kDeviceB, QStringLiteral("sb")}}));
        QVERIFY(a.publish(kDeviceA, QStringLiteral("Studio"), song()).ok());
        QVERIFY(a.run(a.service->markOffline(kDeviceA)).ok());
        const auto record =
            *a.cloud->record(QStringLiteral("user"), kZone, QStringLiteral("presence-") + kDeviceA);
        QCOMPARE(record.string(QStringLiteral("deviceName")),
                 std::optional<QString>(QStringLiteral("Studio")));
        QCOMPARE(observedOf(record).value(kDeviceB), QStringLiteral("sb"));
        QCOMPARE(record.integer(QStringLiteral("isOnline")), std::optional<qint64>(0));
        QVERIFY(!record.fields.contains(QStringLiteral("nowPlaying")));
        QCOMPARE(log.messages(LogCategory::CloudKit).last(),
                 QStringLiteral("event=presence_marked_offline device_id=AAAAAAAA"));
    }

    void aFailedSaveChangesNothing() {
        CapturingLogSink log;
        ServiceRig a;
        a.cloud->setServerClockOffset(1.0);
        QVERIFY(a.publish(kDeviceA, QStringLiteral("a")).ok());
        const double offset = a.service->serverClockOffset();
        const auto published = a.service->lastPublishedObservedSessions();
        const int lines = log.messages(LogCategory::CloudKit).size();

        a.cloud->setServerClockOffset(9.0);
        a.run(a.service->seedObservedSessions({{kDeviceB, QStringLiteral("x")}}));
        a.database->failRecord(QStringLiteral("presence-") + kDeviceA,
                               cloudError(CloudErrorCode::ServiceUnavailable));
        QVERIFY(!a.publish(kDeviceA, QStringLiteral("a")).ok());
        QCOMPARE(a.service->serverClockOffset(), offset);
        QCOMPARE(a.service->lastPublishedObservedSessions(), published);
        QCOMPARE(log.messages(LogCategory::CloudKit).size(), lines);
    }

    void expiredTokenRefetchesOnceFromTheBeginning() {
        ServiceRig a;
        ServiceRig b(a.cloud, a.clock);
        (void)b.publish(kDeviceB, QStringLiteral("b"));
        (void)a.run(a.service->fetchPresence(kDeviceA));
        QVERIFY(a.defaults->data(QStringLiteral("Tessary.presenceZoneChangeToken")));
        a.run(a.service->noteNearbyPeer(kDeviceC, QStringLiteral("c"), QStringLiteral("sc"),
                                        a.service->currentSessionID(), kDeviceA));
        QCOMPARE(a.service->peerMap().size(), std::size_t(2));

        a.cloud->expireChangeTokens();
        const int before = a.database->requestCounts.value(QStringLiteral("fetchZoneChanges"));
        const auto listed = a.run(a.service->fetchPresence(kDeviceA));
        QVERIFY(listed.ok());
        QCOMPARE(a.database->requestCounts.value(QStringLiteral("fetchZoneChanges")), before + 2);
        QCOMPARE(a.service->peerMap().size(), std::size_t(1)); // only what the refetch returned
        QCOMPARE(listed.value().size(), 1);
    }

    void missingZoneIsRecreatedOnceAndASecondFailureReachesTheCaller() {
        CapturingLogSink log;
        ServiceRig a;
        QVERIFY(a.publish(kDeviceA, QStringLiteral("a")).ok());
        a.cloud->deleteZoneByUser(QStringLiteral("user"), kZone);
        QVERIFY(a.run(a.service->fetchPresence(kDeviceA)).ok());
        QCOMPARE(log.count(QStringLiteral("event=presence_zone_missing action=recreate")), 1);

        const RequestFault gone{
            RequestFault::Kind::Fail, cloudError(CloudErrorCode::ZoneNotFound), {}};
        a.database->addFault(QStringLiteral("fetchZoneChanges"), gone);
        a.database->addFault(QStringLiteral("fetchZoneChanges"), gone);
        const auto failed = a.run(a.service->fetchPresence(kDeviceA));
        QVERIFY(isCloudError(failed.error(), CloudErrorCode::ZoneNotFound));
        QCOMPARE(log.count(QStringLiteral("event=presence_zone_missing action=recreate")), 2);
    }

    void malformedRecordsAreSkippedAndTheListIsSortedWithoutThisDevice() {
        ServiceRig a;
        QVERIFY(a.publish(kDeviceA, QStringLiteral("me")).ok());
        for (const auto& [id, name] :
             {std::pair{kDeviceB, QStringLiteral("b")}, std::pair{kDeviceC, QStringLiteral("C")}}) {
            ServiceRig other(a.cloud, a.clock);
            (void)other.publish(id, name);
        }
        QList<RecordSave> bad;
        const auto presence = [](const QString& name, QMap<QString, FieldValue> fields) {
            return RecordSave{CloudRecord{name, QStringLiteral("DevicePresence"), fields,
                                          std::nullopt, std::nullopt},
                              {}};
        };
        bad << presence(QStringLiteral("presence-noname"),
                        {{QStringLiteral("deviceID"), FieldValue(QStringLiteral("X"))},
                         {QStringLiteral("sessionID"), FieldValue(QStringLiteral("s"))},
                         {QStringLiteral("lastSeen"), FieldValue(a.clock->now())}});
        bad << presence(QStringLiteral("presence-textdate"),
                        {{QStringLiteral("deviceID"), FieldValue(QStringLiteral("Y"))},
                         {QStringLiteral("deviceName"), FieldValue(QStringLiteral("y"))},
                         {QStringLiteral("sessionID"), FieldValue(QStringLiteral("s"))},
                         {QStringLiteral("lastSeen"), FieldValue(QStringLiteral("now"))}});
        RecordSave wrongType = presence(QStringLiteral("presence-type"), {});
        wrongType.record.recordType = QStringLiteral("Something");
        bad << wrongType;
        QVERIFY(
            a.run(a.database->modifyRecords(kZone, bad, {}, SavePolicy::AllKeys, {})).overall.ok());

        const auto listed = a.run(a.service->fetchPresence(kDeviceA)).value();
        QStringList names;
        for (const auto& d : listed)
            names << d.name;
        QCOMPARE(names, (QStringList{"C", "b"}));
    }

    void onlineFlagDecidesWhatFreshnessCannot() {
        ServiceRig a;
        ServiceRig b(a.cloud, a.clock);
        QVERIFY(handshake(a, b) > 0);
        QVERIFY(b.run(b.service->markOffline(kDeviceB)).ok());
        const auto listed = a.run(a.service->fetchPresence(kDeviceA)).value();
        QCOMPARE(listed.first().presence, DevicePresence::Offline);
    }

    void connectingLineReportsAnOlderSessionAsNotAcknowledged() {
        CapturingLogSink log;
        ServiceRig a;
        {
            ServiceRig oldA(a.cloud, a.clock); // this device's previous run
            ServiceRig b(a.cloud, a.clock);
            QVERIFY(handshake(oldA, b) > 0);
            (void)b.publish(kDeviceB, QStringLiteral("b"));
        }
        (void)a.publish(kDeviceA, QStringLiteral("a"));
        (void)a.run(a.service->fetchPresence(kDeviceA));
        (void)a.publish(kDeviceA, QStringLiteral("a")); // now names B's session
        (void)a.run(a.service->fetchPresence(kDeviceA));
        const auto lines =
            log.messages(LogCategory::CloudKit).filter(QStringLiteral("presence_peer_connecting"));
        QVERIFY(!lines.isEmpty());
        QVERIFY2(
            QRegularExpression(
                QStringLiteral("^event=presence_peer_connecting peer_device_id=BBBBBBBB "
                               "peer_session_id=\\S{8} local_ack=true peer_ack=false "
                               "peer_saw_device_ids=AAAAAAAA heartbeat_age_seconds=\\d+\\.\\d{6}$"))
                .match(lines.last())
                .hasMatch(),
            qPrintable(lines.last()));
    }

    void nearbyPeerCountsOnlyForThisRunsSession() {
        ServiceRig a;
        a.run(a.service->noteNearbyPeer(kDeviceB, QStringLiteral("b"), QStringLiteral("sb"),
                                        QStringLiteral("other-run"), kDeviceA));
        QVERIFY(a.service->peerMap().empty());
        a.run(a.service->noteNearbyPeer(kDeviceB, QStringLiteral("b"), QStringLiteral("sb"),
                                        a.service->currentSessionID(), kDeviceA));
        const auto listed = a.run(a.service->peerDevices(kDeviceA));
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed.first().presence, DevicePresence::Online);
    }

    void storedTokenSurvivesARestartAndUnreadableOnesCountAsNone() {
        ServiceRig a;
        (void)a.run(a.service->fetchPresence(kDeviceA));
        const auto stored = a.defaults->data(QStringLiteral("Tessary.presenceZoneChangeToken"));
        QVERIFY(stored);
        CloudKitHandoffService restarted(a.database, a.defaults, a.clock);
        QCOMPARE(restarted.presenceSessionToken(), a.service->presenceSessionToken());
        a.defaults->setData(QStringLiteral("Tessary.presenceZoneChangeToken"), "garbage");
        CloudKitHandoffService damaged(a.database, a.defaults, a.clock);
        QCOMPARE(damaged.presenceSessionToken(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(PresenceTest)
#include "presence_test.moc"
