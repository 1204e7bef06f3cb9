#include "src/model/record_json.h"
#include "tests/cloud/cloud_service_rig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kZone = u"DevicePresenceZone"_s;

PlaybackState song() {
    return {u"42"_s, 61.5, u"Song"_s, u"Artist"_s, {}, {}, {}};
}

QMap<QString, QString> observedOf(const CloudRecord& record) {
    QMap<QString, QString> out;
    const QJsonObject object =
        QJsonDocument::fromJson(record.string(u"observedSessions"_s)->toUtf8()).object();
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
        (void)a.publish(kDeviceA, u"a"_s);
        const auto seenByB = b.run(b.service->fetchPresence(kDeviceB));
        (void)b.publish(kDeviceB, u"b"_s);
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

    std::optional<CapturingLogSink> log; // what every case logs, from its start

    std::optional<ServiceRig> a; // made afresh for every case

private Q_SLOTS:
    void init() {
        log.emplace();
        a.emplace();
    }
    void cleanup() {
        a.reset();
        log.reset();
    }

    void twoFreshDevicesReachOnlineOnBothSides() {
        ServiceRig b(a->cloud, a->clock);
        (void)a->publish(kDeviceA, u"a"_s);
        const auto first = b.run(b.service->fetchPresence(kDeviceB)).value();
        QCOMPARE(presenceOf(first, kDeviceA), DevicePresence::Connecting);
        QCOMPARE(b.run(b.service->pendingHandshakes()), 1);
        // A's first publication could not name B yet; the second round completes both sides.
        QCOMPARE(handshake(*a, b), 2);
    }

    void freshnessFollowsTheCorrectedServerClock() {
        ServiceRig b(a->cloud, a->clock);
        a->cloud->setServerClockOffset(30.0); // the server's clock runs 30 s ahead
        QVERIFY(handshake(*a, b) > 0);
        (void)b.publish(kDeviceB, u"b"_s, song());
        (void)a->run(a->service->fetchPresence(kDeviceA));
        QVERIFY(std::abs(a->service->serverClockOffset() - 30.0) < 0.01);

        a->clock->advance(89s);
        auto listed = a->run(a->service->peerDevices(kDeviceA));
        QCOMPARE(listed.first().presence, DevicePresence::Online);
        QCOMPARE(listed.first().nowPlaying, std::optional(song()));
        a->clock->advance(2s);
        listed = a->run(a->service->peerDevices(kDeviceA));
        QCOMPARE(listed.first().presence, DevicePresence::Offline);
        QCOMPARE(listed.first().nowPlaying, std::nullopt);
    }

    void seedsEnterThePublicationButNeverThisDeviceAndPeersOverrideThem() {
        a->run(a->service->seedObservedSessions(
            {{kDeviceA, u"own"_s}, {kDeviceB, u"seeded-b"_s}, {kDeviceC, u"seeded-c"_s}}));
        a->run(a->service->noteNearbyPeer(kDeviceC, u"c"_s, u"nearby-c"_s,
                                          a->service->currentSessionID(), kDeviceA));
        QVERIFY(a->publish(kDeviceA, u"a"_s).ok());
        const auto record = a->stored(kZone, u"presence-"_s + kDeviceA);
        QCOMPARE(observedOf(*record),
                 (QMap<QString, QString>{{kDeviceB, u"seeded-b"_s}, {kDeviceC, u"nearby-c"_s}}));
        QVERIFY(log->messages(LogCategory::CloudKit)
                    .last()
                    .startsWith(u"event=presence_published device_id=AAAAAAAA session_id=%1 "
                                "observed_peers=2 "
                                "acked_device_ids=BBBBBBBB,CCCCCCCC clock_offset_seconds="_s.arg(
                                    a->service->currentSessionID().left(8))));

        // Seeds are taken only before the first fetch; the fetch empties them.
        (void)a->run(a->service->fetchPresence(kDeviceA));
        a->run(a->service->seedObservedSessions({{kDeviceB, u"late"_s}}));
        QVERIFY(a->publish(kDeviceA, u"a"_s).ok());
        QVERIFY(!observedOf(*a->stored(kZone, u"presence-"_s + kDeviceA)).contains(kDeviceB));
    }

    void oneDiscoveryWakePerPeerSession() {
        {
            ServiceRig b(a->cloud, a->clock);
            (void)b.publish(kDeviceB, u"b"_s);
            (void)a->run(a->service->fetchPresence(kDeviceA));
            (void)a->publish(kDeviceA, u"a"_s);
            (void)a->publish(kDeviceA, u"a"_s);
            VirtualClock::drainEvents();
            QCOMPARE(log->count(u"event=discovery_wake_sent peer_device_id=BBBBBBBB"_s), 1);
            const auto wake = a->stored(kDefaultZone, u"discovery_%1_%2"_s.arg(kDeviceA, kDeviceB));
            QVERIFY(wake);
            QCOMPARE(wake->string(u"targetDeviceID"_s), std::optional(kDeviceB));
            QCOMPARE(wake->string(u"payload"_s), std::optional(u"{}"_s));
        }
        ServiceRig restarted(a->cloud, a->clock); // B again, with a new session
        (void)restarted.publish(kDeviceB, u"b"_s);
        (void)a->run(a->service->fetchPresence(kDeviceA));
        (void)a->publish(kDeviceA, u"a"_s);
        VirtualClock::drainEvents();
        QCOMPARE(log->count(u"event=discovery_wake_sent peer_device_id=BBBBBBBB"_s), 2);
    }

    // An idle device publishes the field all the same, empty (sealed, it is as long as a
    // song), and the others read it as nothing playing.
    void anIdleDeviceStillCarriesItsNowPlayingEmpty() {
        ServiceRig b(a->cloud, a->clock);
        QVERIFY(handshake(*a, b) > 0);
        (void)b.publish(kDeviceB, u"b"_s, song());
        QVERIFY(b.publish(kDeviceB, u"b"_s).ok());
        const auto record = *a->stored(kZone, u"presence-"_s + kDeviceB);
        QCOMPARE(record.string(u"nowPlaying"_s), std::optional(QString()));
        (void)a->run(a->service->fetchPresence(kDeviceA));
        const auto listed = a->run(a->service->peerDevices(kDeviceA));
        QCOMPARE(listed.first().presence, DevicePresence::Online);
        QCOMPARE(listed.first().nowPlaying, std::nullopt);
    }

    // How the song is reached travels in commands only: the presence others read carries the
    // song, neither an offer's secret nor a stream's address.
    void presenceShowsTheSongNotHowToReachIt() {
        ServiceRig b(a->cloud, a->clock);
        QVERIFY(handshake(*a, b) > 0);
        PlaybackState playing = song();
        playing.offer = TrackOffer{u"https://10.0.0.7:4000/track/secret"_s, u"a2V5"_s};
        playing.streamURL = u"https://radio.example/live"_s;
        playing.location = u"file:///home/me/song.flac"_s;
        QVERIFY(b.publish(kDeviceB, u"b"_s, playing).ok());
        const QString published =
            a->stored(kZone, u"presence-"_s + kDeviceB)->string(u"nowPlaying"_s).value();
        for (const QString& hidden : {u"secret"_s, u"radio.example"_s, u"song.flac"_s})
            QVERIFY2(!published.contains(hidden), qPrintable(published));
        (void)a->run(a->service->fetchPresence(kDeviceA));
        QCOMPARE(a->run(a->service->peerDevices(kDeviceA)).first().nowPlaying,
                 std::optional(song()));
    }

    void markingOfflineKeepsNameAndObservedSessionsAndDropsNowPlaying() {
        a->run(a->service->seedObservedSessions({{kDeviceB, u"sb"_s}}));
        QVERIFY(a->publish(kDeviceA, u"Studio"_s, song()).ok());
        QVERIFY(a->run(a->service->markOffline(kDeviceA)).ok());
        const auto record = *a->stored(kZone, u"presence-"_s + kDeviceA);
        QCOMPARE(record.string(u"deviceName"_s), std::optional(u"Studio"_s));
        QCOMPARE(observedOf(record).value(kDeviceB), u"sb"_s);
        QCOMPARE(record.integer(u"isOnline"_s), std::optional<qint64>(0));
        QVERIFY(!record.fields.contains(u"nowPlaying"_s));
        QCOMPARE(log->messages(LogCategory::CloudKit).last(),
                 u"event=presence_marked_offline device_id=AAAAAAAA"_s);
    }

    void aFailedSaveChangesNothing() {
        a->cloud->setServerClockOffset(1.0);
        QVERIFY(a->publish(kDeviceA, u"a"_s).ok());
        const double offset = a->service->serverClockOffset();
        const auto published = a->service->lastPublishedObservedSessions();
        const int lines = log->messages(LogCategory::CloudKit).size();

        a->cloud->setServerClockOffset(9.0);
        a->run(a->service->seedObservedSessions({{kDeviceB, u"x"_s}}));
        a->database->failRecord(u"presence-"_s + kDeviceA,
                                cloudError(CloudErrorCode::ServiceUnavailable));
        QVERIFY(!a->publish(kDeviceA, u"a"_s).ok());
        QCOMPARE(a->service->serverClockOffset(), offset);
        QCOMPARE(a->service->lastPublishedObservedSessions(), published);
        QCOMPARE(log->messages(LogCategory::CloudKit).size(), lines);
    }

    void expiredTokenRefetchesOnceFromTheBeginning() {
        ServiceRig b(a->cloud, a->clock);
        (void)b.publish(kDeviceB, u"b"_s);
        (void)a->run(a->service->fetchPresence(kDeviceA));
        QVERIFY(a->defaults->data(u"Tessary.presenceZoneChangeToken"_s));
        a->run(a->service->noteNearbyPeer(kDeviceC, u"c"_s, u"sc"_s, a->service->currentSessionID(),
                                          kDeviceA));
        QCOMPARE(a->service->peerMap().size(), std::size_t(2));

        a->cloud->expireChangeTokens();
        const int before = a->database->requestCounts.value(u"fetchZoneChanges"_s);
        const auto listed = a->run(a->service->fetchPresence(kDeviceA));
        QVERIFY(listed.ok());
        QCOMPARE(a->database->requestCounts.value(u"fetchZoneChanges"_s), before + 2);
        QCOMPARE(a->service->peerMap().size(), std::size_t(1)); // only what the refetch returned
        QCOMPARE(listed.value().size(), 1);
    }

    void missingZoneIsRecreatedOnceAndASecondFailureReachesTheCaller() {
        QVERIFY(a->publish(kDeviceA, u"a"_s).ok());
        a->cloud->deleteZoneByUser(u"user"_s, kZone);
        QVERIFY(a->run(a->service->fetchPresence(kDeviceA)).ok());
        QCOMPARE(log->count(u"event=presence_zone_missing action=recreate"_s), 1);

        const RequestFault gone{
            RequestFault::Kind::Fail, cloudError(CloudErrorCode::ZoneNotFound), {}};
        a->database->addFault(u"fetchZoneChanges"_s, gone);
        a->database->addFault(u"fetchZoneChanges"_s, gone);
        const auto failed = a->run(a->service->fetchPresence(kDeviceA));
        QVERIFY(isCloudError(failed.error(), CloudErrorCode::ZoneNotFound));
        QCOMPARE(log->count(u"event=presence_zone_missing action=recreate"_s), 2);
    }

    void malformedRecordsAreSkippedAndTheListIsSortedWithoutThisDevice() {
        QVERIFY(a->publish(kDeviceA, u"me"_s).ok());
        for (const auto& [id, name] : {std::pair{kDeviceB, u"b"_s}, std::pair{kDeviceC, u"C"_s}}) {
            ServiceRig other(a->cloud, a->clock);
            (void)other.publish(id, name);
        }
        const auto presence = [](const QString& name, QMap<QString, FieldValue> fields,
                                 const QString& type = u"DevicePresence"_s) {
            return CloudRecord{name, type, fields, {}, {}};
        };
        QVERIFY(a->save(
            kZone, {presence(u"presence-noname"_s, {{u"deviceID"_s, FieldValue(u"X"_s)},
                                                    {u"sessionID"_s, FieldValue(u"s"_s)},
                                                    {u"lastSeen"_s, FieldValue(a->clock->now())}}),
                    presence(u"presence-textdate"_s, {{u"deviceID"_s, FieldValue(u"Y"_s)},
                                                      {u"deviceName"_s, FieldValue(u"y"_s)},
                                                      {u"sessionID"_s, FieldValue(u"s"_s)},
                                                      {u"lastSeen"_s, FieldValue(u"now"_s)}}),
                    presence(u"presence-type"_s, {}, u"Something"_s)}));

        const auto listed = a->run(a->service->fetchPresence(kDeviceA)).value();
        QCOMPARE(listed.size(), 2);
        QCOMPARE(listed.at(0).name + listed.at(1).name, u"Cb"_s);
    }

    void onlineFlagDecidesWhatFreshnessCannot() {
        ServiceRig b(a->cloud, a->clock);
        QVERIFY(handshake(*a, b) > 0);
        QVERIFY(b.run(b.service->markOffline(kDeviceB)).ok());
        const auto listed = a->run(a->service->fetchPresence(kDeviceA)).value();
        QCOMPARE(listed.first().presence, DevicePresence::Offline);
    }

    void connectingLineReportsAnOlderSessionAsNotAcknowledged() {
        {
            ServiceRig oldA(a->cloud, a->clock); // this device's previous run
            ServiceRig b(a->cloud, a->clock);
            QVERIFY(handshake(oldA, b) > 0);
            (void)b.publish(kDeviceB, u"b"_s);
        }
        (void)a->publish(kDeviceA, u"a"_s);
        (void)a->run(a->service->fetchPresence(kDeviceA));
        (void)a->publish(kDeviceA, u"a"_s); // now names B's session
        (void)a->run(a->service->fetchPresence(kDeviceA));
        const auto lines =
            log->messages(LogCategory::CloudKit).filter(u"presence_peer_connecting"_s);
        QVERIFY(!lines.isEmpty());
        QVERIFY2(QRegularExpression(
                     u"^event=presence_peer_connecting peer_device_id=BBBBBBBB "
                     "peer_session_id=\\S{8} local_ack=true peer_ack=false "
                     "peer_saw_device_ids=AAAAAAAA heartbeat_age_seconds=\\d+\\.\\d{6}$"_s)
                     .match(lines.last())
                     .hasMatch(),
                 qPrintable(lines.last()));
    }

    void nearbyPeerCountsOnlyForThisRunsSession() {
        a->run(a->service->noteNearbyPeer(kDeviceB, u"b"_s, u"sb"_s, u"other-run"_s, kDeviceA));
        QVERIFY(a->service->peerMap().empty());
        a->run(a->service->noteNearbyPeer(kDeviceB, u"b"_s, u"sb"_s, a->service->currentSessionID(),
                                          kDeviceA));
        const auto listed = a->run(a->service->peerDevices(kDeviceA));
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed.first().presence, DevicePresence::Online);
    }

    void storedTokenSurvivesARestartAndUnreadableOnesCountAsNone() {
        (void)a->run(a->service->fetchPresence(kDeviceA));
        const auto stored = a->defaults->data(u"Tessary.presenceZoneChangeToken"_s);
        QVERIFY(stored);
        CloudKitHandoffService restarted(a->database, a->defaults, a->clock);
        QCOMPARE(restarted.presenceSessionToken(), a->service->presenceSessionToken());
        a->defaults->setData(u"Tessary.presenceZoneChangeToken"_s, "garbage");
        CloudKitHandoffService damaged(a->database, a->defaults, a->clock);
        QCOMPARE(damaged.presenceSessionToken(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(PresenceTest)
#include "presence_test.moc"
