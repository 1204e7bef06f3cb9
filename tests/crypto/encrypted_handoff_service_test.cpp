// The cloud service, unchanged, over the encrypting database: a presence and a handoff travel
// between two devices of one key while the cloud keeps none of the song in clear, and a device
// without the key reads no playback at all instead of ciphertext.

#include "src/crypto/encrypting_cloud_database.h"
#include "src/model/record_json.h"
#include "tests/cloud/cloud_service_rig.h"

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::crypto;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

PlaybackState song() {
    return {u"1440857781"_s,   42.25,        u"Blue in Green"_s, u"Miles Davis"_s,
            u"Kind of Blue"_s, std::nullopt, std::nullopt};
}

/// The rig's device, its service now over an encrypting database with `key`.
void encryptWith(ServiceRig& rig, const AccountKey& key) {
    rig.service.reset();
    auto database = std::make_shared<EncryptingCloudDatabase>(rig.database, KeyRing(key));
    rig.service = std::make_unique<CloudKitHandoffService>(database, rig.defaults, rig.clock);
}

bool holdsInClear(const CloudRecord& record, const QString& word) {
    for (const FieldValue& value : record.fields) {
        const auto* text = std::get_if<QString>(&value);
        if (text && text->contains(word))
            return true;
    }
    return false;
}

} // namespace

class EncryptedHandoffServiceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void presenceAndHandoffTravelSealed() {
        const AccountKey key = AccountKey::generate().value();
        ServiceRig a;
        ServiceRig b(a.cloud, a.clock);
        ServiceRig stranger(a.cloud, a.clock);
        encryptWith(a, key);
        encryptWith(b, key);
        encryptWith(stranger, AccountKey::generate().value());

        QVERIFY(a.publish(kDeviceA, u"Kitchen"_s, song()).ok());
        QVERIFY(a.run(a.service->sendHandoff(song(), kDeviceB)).ok());
        const CloudRecord presence = *a.stored(u"DevicePresenceZone"_s, u"presence-"_s + kDeviceA);
        const CloudRecord handoff = *a.stored(kDefaultZone, u"handoff_"_s + kDeviceB);
        for (const QString& word :
             {song().songTitle, song().artistName, *song().albumTitle, song().songID}) {
            QVERIFY2(!holdsInClear(presence, word) && !holdsInClear(handoff, word),
                     qPrintable(word));
        }

        const DeviceList seenByB = b.run(b.service->fetchPresence(kDeviceB)).value();
        QCOMPARE(seenByB.size(), 1);
        QCOMPARE(seenByB[0].nowPlaying, song());
        const DeviceList seenByStranger =
            stranger.run(stranger.service->fetchPresence(kDeviceC)).value();
        QCOMPARE(seenByStranger.size(), 1);
        QCOMPARE(seenByStranger[0].nowPlaying, std::nullopt);

        const auto received = b.run(b.service->fetchHandoff(kDeviceB)).value();
        QVERIFY(received.has_value());
        QCOMPARE(received->songTitle, song().songTitle);
        QCOMPARE(received->playbackTime, song().playbackTime);
    }
};

QTEST_GUILESS_MAIN(EncryptedHandoffServiceTest)
#include "encrypted_handoff_service_test.moc"
