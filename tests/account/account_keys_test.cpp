// The account key between devices on an in-memory cloud and a virtual clock: who creates it,
// who waits, the verified exchange with its codes on both sides, and a server in the middle
// that swaps keys, poses as a verifier, alters the reveal or cuts the boxed keys short.

#include "src/crypto/confirmation_code.h"
#include "src/crypto/key_share.h"
#include "src/crypto/payload_cipher.h"
#include "src/runtime/log_channel.h"
#include "tests/support/account_keys_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::crypto;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

QString otherCode(const QString& code) {
    return QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
}

/// Kitchen holds the key, Study waits for it with its verification open.
struct StartedRig : KeysRig {
    StartedRig() { start(); }
};

QByteArray field(const CloudRecord& record, const QString& name) {
    return QByteArray::fromBase64(record.string(name).value_or(QString()).toLatin1());
}

QString base64(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

bool reaches(KeysRig& rig, const KeysDevice& device, AccountKeys::State state) {
    return rig.runUntil([&] { return device.keys.state() == state; });
}

/// Runs until `device` shows the code of an incoming verification (or, asked, its problem).
bool shows(KeysRig& rig, const KeysDevice& device, bool problem = false) {
    return rig.runUntil([&] {
        const auto& incoming = device.keys.incoming();
        return incoming && !(problem ? incoming->problem : incoming->code).isEmpty();
    });
}

/// `device` started again on the secrets it kept.
void restart(KeysRig& rig, std::unique_ptr<KeysDevice>& device,
             const std::shared_ptr<RewritingCloudDatabase>& line, const QString& id,
             const QString& name) {
    device = std::make_unique<KeysDevice>(line, rig.clock, id, name, device->secrets);
    device->keys.setAccount(kAccount);
}

CloudRecord keysRecord(const QString& name, const QString& type, QMap<QString, FieldValue> fields) {
    return CloudRecord{name, type, std::move(fields), {}, {}};
}

/// Writes `record` into the keys' zone as the server (or any holder of `line`) could.
bool plantRecord(KeysRig& rig, CloudDatabase& line, const CloudRecord& record,
                 SavePolicy policy = SavePolicy::AllKeys) {
    return rig.run(line.modifyRecords(AccountKeys::kZone, {RecordSave{record, {}}}, {}, policy, {}))
        .overall.ok();
}

QString sealNowPlaying(const AccountKey& key, const QString& text) {
    return PayloadCipher::seal(key, u"presence-x"_s, u"nowPlaying"_s, text).value();
}

Result<QString> openNowPlaying(const KeyRing& ring, const QString& sealed) {
    return PayloadCipher::open(ring, u"presence-x"_s, u"nowPlaying"_s, sealed);
}

/// `verifier` verifies `target` with both users confirming the code.
bool verify(KeysRig& rig, KeysDevice& verifier, KeysDevice& target, const QString& targetName,
            const QString& verifierName) {
    target.keys.openVerification();
    const Result<QString> code = rig.run(verifier.keys.beginVerification(targetName));
    if (!code.ok() || !shows(rig, target) || target.keys.incoming()->code != code.value())
        return false;
    return rig.run(verifier.keys.confirmVerification(targetName, code.value())).ok() &&
           rig.run(target.keys.confirmVerification(verifierName, code.value())).ok() &&
           reaches(rig, target, AccountKeys::State::Verified);
}

} // namespace

class AccountKeysTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstDeviceCreatesTheKeyOthersWaitForIt() {
        StartedRig rig;
        QVERIFY(rig.kitchen->keys.keyRing().has_value());
        QVERIFY(!rig.study->keys.keyRing().has_value());
        QCOMPARE(rig.study->secrets->writeCount, 0);

        const QList<KeyedDevice> devices = rig.run(rig.study->keys.devices()).value();
        QCOMPARE(devices.size(), 2);
        for (const KeyedDevice& device : devices) {
            QCOMPARE(device.hasKey, device.name == u"Kitchen"_s);
            QCOMPARE(device.isThisDevice, device.name == u"Study"_s);
        }

        // Restarted, Kitchen keeps its key instead of making a second one.
        const QString keyID = rig.kitchen->keys.keyRing()->current().keyId();
        restart(rig, rig.kitchen, rig.kitchenLine, kKitchenID, u"Kitchen"_s);
        QVERIFY(reaches(rig, *rig.kitchen, AccountKeys::State::Verified));
        QCOMPARE(rig.kitchen->keys.keyRing()->current().keyId(), keyID);
        // Another account's key is not this one's.
        rig.kitchen->keys.setAccount(u"https://other.example|family"_s);
        QVERIFY(rig.runUntil(
            [&] { return rig.kitchen->keys.state() != AccountKeys::State::Checking; }));
        QVERIFY(!rig.kitchen->keys.keyRing() ||
                rig.kitchen->keys.keyRing()->current().keyId() != keyID);
    }

    void confirmedOnBothSidesTheKeyArrives() {
        StartedRig rig;
        const QString code = rig.run(rig.kitchen->keys.beginVerification(u"study"_s)).value();
        QCOMPARE(code.size(), 6);
        QVERIFY(shows(rig, *rig.study));
        QCOMPARE(rig.study->keys.incoming()->code, code);
        QCOMPARE(rig.study->keys.incoming()->verifierName, u"Kitchen"_s);

        QVERIFY(rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, code)).ok());
        // Boxed and waiting, but Study takes nothing its user has not confirmed.
        rig.clock->advance(10s);
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);

        QVERIFY(rig.run(rig.study->keys.confirmVerification(u"Kitchen"_s, code)).ok());
        QVERIFY(reaches(rig, *rig.study, AccountKeys::State::Verified));
        const KeyRing& studyRing = *rig.study->keys.keyRing();
        QCOMPARE(studyRing.current().keyId(), rig.kitchen->keys.keyRing()->current().keyId());
        QVERIFY(rig.runUntil([&] { return !rig.verificationOf(kStudyID); }));
        QVERIFY(rig.study->secrets->writeCount > 0);

        const QString sealed = sealNowPlaying(rig.kitchen->keys.keyRing()->current(), u"song"_s);
        QCOMPARE(openNowPlaying(studyRing, sealed).value(), u"song"_s);
        const QList<KeyedDevice> devices = rig.run(rig.kitchen->keys.devices()).value();
        QVERIFY(std::all_of(devices.begin(), devices.end(),
                            [](const KeyedDevice& device) { return device.hasKey; }));
    }

    void differentCodesShareNothing() {
        StartedRig rig;
        const QString code = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).value();
        const Result<void> refused =
            rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, otherCode(code)));
        QVERIFY(!refused.ok());
        QVERIFY(refused.error().is(KeyVerification::ErrorCode::CodesDiffer));
        QVERIFY(!rig.verificationOf(kStudyID));
        QVERIFY(shows(rig, *rig.study, true));
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);
        // Confirming a verification that is not under way says what to do.
        QVERIFY(!rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, code)).ok());

        // The same on the receiving side: a wrong code there refuses what Kitchen boxed.
        rig.study->keys.closeVerification();
        rig.study->keys.openVerification();
        const QString again = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).value();
        QVERIFY(shows(rig, *rig.study));
        QVERIFY(rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, again)).ok());
        QVERIFY(!rig.run(rig.study->keys.confirmVerification(u"Kitchen"_s, otherCode(again))).ok());
        rig.clock->advance(10s);
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);
        QVERIFY(!rig.study->keys.keyRing());
    }

    void aServerSwappingTheNewKeyMakesTheCodesDiffer() {
        StartedRig rig;
        const DeviceKeyPair server = DeviceKeyPair::generate().value();
        rig.kitchenLine->onFetch = [&](CloudRecord& record) {
            if (record.recordType == AccountKeys::kVerificationRecordType &&
                record.fields.contains(u"targetKey"_s))
                record.fields[u"targetKey"_s] = base64(server.publicKey());
        };
        const QString kitchenCode =
            rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).value();
        QVERIFY(shows(rig, *rig.study));
        const QString studyCode = rig.study->keys.incoming()->code;
        QVERIFY(kitchenCode != studyCode);
        // The user types what Study shows into Kitchen: refused, nothing boxed for anyone.
        QVERIFY(!rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, studyCode)).ok());
        QVERIFY(!rig.verificationOf(kStudyID) ||
                !rig.verificationOf(kStudyID)->fields.contains(u"boxedKeys"_s));
    }

    void aServerPosingAsAVerifierIsNotBelieved() {
        StartedRig rig;
        CapturingLogSink log;
        // The server writes a verification of its own, with a key of its own making.
        const DeviceKeyPair server = DeviceKeyPair::generate().value();
        const QByteArray verificationID = QByteArrayLiteral("0123456789abcdef");
        CloudRecord request = keysRecord(
            u"verification-"_s + kStudyID, AccountKeys::kVerificationRecordType,
            {{u"verifierName"_s, u"Kitchen"_s},
             {u"verificationID"_s, base64(verificationID)},
             {u"commitment"_s, base64(keyCommitment(server.publicKey(), verificationID))}});
        auto line = rig.cloud->connect(u"user"_s);
        QVERIFY(plantRecord(rig, *line, request));
        QVERIFY(rig.runUntil(
            [&] { return rig.verificationOf(kStudyID)->fields.contains(u"targetKey"_s); }));
        const QByteArray studyKey = field(*rig.verificationOf(kStudyID), u"targetKey"_s);

        // Its own account key, boxed to Study's fresh key and revealed as promised.
        const AccountKey forged = AccountKey::generate().value();
        const QByteArray raw(reinterpret_cast<const char*>(forged.data()), AccountKey::kSize);
        const CloudRecord reveal =
            keysRecord(request.recordName, request.recordType,
                       {{u"verifierKey"_s, base64(server.publicKey())},
                        {u"boxedKeys"_s, base64(server.boxFor(studyKey, raw).value())}});
        QVERIFY(plantRecord(rig, *line, reveal, SavePolicy::ChangedKeys));
        QVERIFY(shows(rig, *rig.study));
        rig.clock->advance(20s);
        // Nothing adopted without the user, and the user has no matching code to give: the
        // real Kitchen never showed one.
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);
        QVERIFY(!rig.run(rig.study->keys.confirmVerification(
                             u"Kitchen"_s, otherCode(rig.study->keys.incoming()->code)))
                     .ok());
        rig.clock->advance(10s);
        QVERIFY(!rig.study->keys.keyRing());

        // A reveal that breaks the commitment ends the exchange with an event line.
        rig.study->keys.closeVerification();
        rig.study->keys.openVerification();
        const QByteArray secondID = QByteArrayLiteral("fedcba9876543210");
        request.fields[u"verificationID"_s] = base64(secondID);
        request.fields[u"commitment"_s] = base64(keyCommitment(server.publicKey(), secondID));
        QVERIFY(plantRecord(rig, *line, request));
        QVERIFY(rig.runUntil(
            [&] { return field(*rig.verificationOf(kStudyID), u"answeredID"_s) == secondID; }));
        const DeviceKeyPair other = DeviceKeyPair::generate().value();
        const CloudRecord swapped = keysRecord(request.recordName, request.recordType,
                                               {{u"verifierKey"_s, base64(other.publicKey())}});
        QVERIFY(plantRecord(rig, *line, swapped, SavePolicy::ChangedKeys));
        QVERIFY(shows(rig, *rig.study, true));
        QVERIFY(rig.study->keys.incoming()->code.isEmpty());
        QCOMPARE(log.count(u"event=key_verification_refused reason=commitment"_s), 1);
    }

    void boxedKeysCutShortOrAlteredAreRefused() {
        for (const bool isTruncated : {true, false}) {
            StartedRig rig;
            CapturingLogSink log;
            rig.studyLine->onFetch = [&](CloudRecord& record) {
                if (!record.fields.contains(u"boxedKeys"_s))
                    return;
                QByteArray box = field(record, u"boxedKeys"_s);
                if (isTruncated)
                    box.chop(7);
                else
                    box[box.size() / 2] = char(box[box.size() / 2] ^ 0x20);
                record.fields[u"boxedKeys"_s] = base64(box);
            };
            const QString code = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).value();
            QVERIFY(shows(rig, *rig.study));
            QVERIFY(rig.run(rig.kitchen->keys.confirmVerification(u"Study"_s, code)).ok());
            QVERIFY(rig.run(rig.study->keys.confirmVerification(u"Kitchen"_s, code)).ok());
            QVERIFY(shows(rig, *rig.study, true));
            QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);
            QCOMPARE(log.count(u"event=key_verification_refused reason=box"_s), 1);
        }
    }

    void aComputerLeftWithoutAnyHolderStartsOver() {
        StartedRig rig;
        const QString oldKeyID = rig.kitchen->keys.keyRing()->current().keyId();
        // Only a computer waiting for the key may make a new one.
        QVERIFY(!rig.run(rig.kitchen->keys.startOver()).ok());
        // Kitchen, the only holder, is gone for good: Study would wait for ever.
        rig.kitchen.reset();
        rig.clock->advance(30s);
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Unverified);
        QVERIFY(rig.run(rig.study->keys.startOver()).ok());
        QCOMPARE(rig.study->keys.state(), AccountKeys::State::Verified);
        QVERIFY(rig.study->keys.keyRing()->current().keyId() != oldKeyID);
        const QList<KeyedDevice> devices = rig.run(rig.study->keys.devices()).value();
        QVERIFY(std::any_of(devices.begin(), devices.end(), [](const KeyedDevice& device) {
            return device.isThisDevice && device.hasKey;
        }));
        // Restarted, it keeps the new key.
        restart(rig, rig.study, rig.studyLine, kStudyID, u"Study"_s);
        QVERIFY(reaches(rig, *rig.study, AccountKeys::State::Verified));
        QVERIFY(rig.study->keys.keyRing()->current().keyId() != oldKeyID);
    }

    void removingAComputerRotatesTheKeyForTheOthers() {
        StartedRig rig;
        const QString atticID = u"CCCCCCCC-3333-4333-8333-333333333333"_s;
        KeysDevice attic(rig.cloud->connect(u"user"_s), rig.clock, atticID, u"Attic"_s);
        attic.keys.setAccount(kAccount);
        QVERIFY(reaches(rig, attic, AccountKeys::State::Unverified));
        QVERIFY(verify(rig, *rig.kitchen, *rig.study, u"Study"_s, u"Kitchen"_s));
        QVERIFY(verify(rig, *rig.kitchen, attic, u"Attic"_s, u"Kitchen"_s));
        const QString oldKeyID = rig.kitchen->keys.keyRing()->current().keyId();
        const QString before = sealNowPlaying(rig.kitchen->keys.keyRing()->current(), u"before"_s);

        CapturingLogSink log;
        const Result<int> sent = rig.run(rig.kitchen->keys.removeComputer(u"attic"_s));
        QVERIFY2(sent.ok(), qPrintable(sent.ok() ? QString() : sent.error().description));
        QCOMPARE(sent.value(), 1); // Study; not Attic, not Kitchen itself
        const KeyRing& kitchenRing = *rig.kitchen->keys.keyRing();
        QVERIFY(kitchenRing.current().keyId() != oldKeyID);
        QVERIFY(!rig.cloud->record(u"user"_s, AccountKeys::kZone, u"devicekeys-"_s + atticID));

        // Study takes the new key on its next look (or at once, asked to).
        rig.study->keys.checkForNewKeyNow();
        QVERIFY(rig.runUntil([&] {
            return rig.study->keys.keyRing()->current().keyId() == kitchenRing.current().keyId();
        }));
        const QString after = sealNowPlaying(kitchenRing.current(), u"after"_s);
        QCOMPARE(openNowPlaying(*rig.study->keys.keyRing(), after).value(), u"after"_s);
        QCOMPARE(openNowPlaying(*rig.study->keys.keyRing(), before).value(), u"before"_s);
        // Attic, removed, keeps the old key only: what is sealed now does not open there.
        rig.clock->advance(2 * AccountKeys::kUpdateInterval);
        QCOMPARE(attic.keys.keyRing()->current().keyId(), oldKeyID);
        QVERIFY(!openNowPlaying(*attic.keys.keyRing(), after).ok());
        QVERIFY(log.messages().join(u'\n').contains(u"event=account_key_rotated"_s));

        // Shares that did not come from a pinned key: one the server boxed itself in Kitchen's
        // name, and one Attic, taken out, boxes with its real key and a ring of its choosing.
        // Neither moves anyone's key.
        const AccountKey forged = AccountKey::generate().value();
        const KeyRing forgedRing(
            forged, {AccountKey::fromBase64(kitchenRing.current().toBase64()).value()});
        const DeviceKeyPair server = DeviceKeyPair::generate().value();
        const StoredKeys atticKeys =
            *rig.run(AccountKeyStore(attic.secrets).load(kAccount)).value();
        auto line = rig.cloud->connect(u"user"_s);
        const auto plant = [&](const DeviceKeyPair& from, const QString& fromID,
                               const QString& toID) {
            const auto to =
                rig.cloud->record(u"user"_s, AccountKeys::kZone, u"devicekeys-"_s + toID);
            QVERIFY(to);
            const QByteArray share = KeyShare{
                PinnedDevice{fromID, u"x"_s, from.publicKey()},
                forgedRing,
                {},
                {}}.toBytes();
            QVERIFY(plantRecord(
                rig, *line,
                keysRecord(
                    u"keyshare-"_s + toID + u'-' + fromID, u"KeyShare"_s,
                    {{u"fromDeviceID"_s, fromID},
                     {u"box"_s, base64(from.boxFor(field(*to, u"boxKey"_s), share).value())}})));
        };
        plant(server, kKitchenID, kStudyID);
        plant(*atticKeys.device, atticID, kStudyID);
        plant(*atticKeys.device, atticID, kKitchenID);
        rig.study->keys.checkForNewKeyNow();
        rig.kitchen->keys.checkForNewKeyNow();
        QVERIFY(rig.runUntil([&] {
            return log.count(u"event=key_update_refused from_device_id="_s + kKitchenID) == 1;
        }));
        rig.clock->advance(2 * AccountKeys::kUpdateInterval);
        QCOMPARE(rig.study->keys.keyRing()->current().keyId(), kitchenRing.current().keyId());
        QCOMPARE(rig.kitchen->keys.keyRing()->current().keyId(), kitchenRing.current().keyId());
        QVERIFY(!rig.study->keys.keyRing()->find(forged.keyId()));
    }

    void aGhostPlantedBeforeRemovalGetsNothing() {
        KeysRig rig(KeysRig::Backend::Server);
        CapturingLogSink log;
        rig.start();
        const QString atticID = u"CCCCCCCC-3333-4333-8333-333333333333"_s;
        KeysDevice attic(rig.newLine(u"Attic"_s), rig.clock, atticID, u"Attic"_s);
        attic.keys.setAccount(kAccount);
        QVERIFY(reaches(rig, attic, AccountKeys::State::Unverified));
        QVERIFY(verify(rig, *rig.kitchen, *rig.study, u"Study"_s, u"Kitchen"_s));
        QVERIFY(verify(rig, *rig.kitchen, attic, u"Attic"_s, u"Kitchen"_s));
        // Study learned Attic's key from Kitchen, which it trusts.
        rig.study->keys.checkForNewKeyNow();
        QVERIFY(rig.runUntil([&] {
            return log.count(u"event=device_key_pinned device_id="_s + atticID +
                             u" from_device_id="_s + kKitchenID) == 1;
        }));

        // Before it is taken out, Attic claims a code it made for a "computer" of its own and
        // publishes a key for it vouched under the account's current key.
        const QString ghostID = u"EEEEEEEE-5555-4555-8555-555555555555"_s;
        const QString ghostToken = rig.claimToken(rig.tokens.at(2), u"Ghost"_s);
        QVERIFY(!ghostToken.isEmpty());
        clouddb::CloudEndpoint endpoint;
        endpoint.server = rig.server->url();
        endpoint.container = QString::fromLatin1(app_identity::kContainerIdentifier);
        endpoint.token = ghostToken;
        auto ghostLine = std::make_shared<RewritingCloudDatabase>(
            std::make_shared<clouddb::HttpCloudDatabase>(endpoint, rig.clock));
        rig.lines.append(ghostLine);
        const DeviceKeyPair ghost = DeviceKeyPair::generate().value();
        const AccountKey& current = attic.keys.keyRing()->current();
        QVERIFY(plantRecord(
            rig, *ghostLine,
            keysRecord(
                u"devicekeys-"_s + ghostID, AccountKeys::kDeviceRecordType,
                {{u"deviceID"_s, ghostID},
                 {u"deviceName"_s, u"Ghost"_s},
                 {u"keyID"_s, current.keyId()},
                 {u"boxKey"_s, base64(ghost.publicKey())},
                 {u"boxKeyTag"_s, base64(deviceKeyTag(current, ghostID, ghost.publicKey()))}})));

        // Taking Attic out says who gets the new key, and the ghost is not among them.
        const RemovalPlan plan = rig.run(rig.kitchen->keys.planRemoval(u"Attic"_s)).value();
        QCOMPARE(plan.recipients, QStringList{u"Study"_s});
        QCOMPARE(plan.leftOut, QStringList{u"Ghost"_s});
        QCOMPARE(rig.run(rig.kitchen->keys.removeComputer(u"Attic"_s)).value(), 1);
        QVERIFY(!rig.recordNamed(u"keyshare-"_s + ghostID + u'-' + kKitchenID));
        rig.study->keys.checkForNewKeyNow();
        const KeyRing& kitchenRing = *rig.kitchen->keys.keyRing();
        QVERIFY(rig.runUntil([&] {
            return rig.study->keys.keyRing()->current().keyId() == kitchenRing.current().keyId();
        }));
        // Study does not let Attic back in either: a second removal plan from there leaves it
        // out, and whatever is sealed now opens neither with Attic's ring nor for the ghost.
        const QString after = sealNowPlaying(kitchenRing.current(), u"now"_s);
        QVERIFY(!openNowPlaying(*attic.keys.keyRing(), after).ok());
        const QList<KeyedDevice> seen = rig.run(rig.study->keys.devices()).value();
        QVERIFY(std::none_of(seen.begin(), seen.end(), [&](const KeyedDevice& device) {
            return device.isPinned && (device.deviceID == atticID || device.deviceID == ghostID);
        }));
    }

    void twoFirstComputersStartedTogetherEndWithOneKey() {
        KeysRig rig(KeysRig::Backend::Server);
        rig.kitchen->keys.setAccount(kAccount);
        rig.study->keys.setAccount(kAccount);
        QVERIFY(rig.runUntil([&] {
            return rig.kitchen->keys.state() != AccountKeys::State::Checking &&
                   rig.study->keys.state() != AccountKeys::State::Checking;
        }));
        const bool kitchenWon = rig.kitchen->keys.keyRing().has_value();
        KeysDevice& winner = kitchenWon ? *rig.kitchen : *rig.study;
        KeysDevice& loser = kitchenWon ? *rig.study : *rig.kitchen;
        QCOMPARE(winner.keys.state(), AccountKeys::State::Verified);
        QCOMPARE(loser.keys.state(), AccountKeys::State::Unverified);
        QVERIFY(!loser.keys.keyRing());
        QVERIFY(loser.keys.lostFirstKey());
        QVERIFY(!winner.keys.lostFirstKey());

        // The loser is verified like any new computer, and then reads what the winner seals.
        const QString winnerName = kitchenWon ? u"Kitchen"_s : u"Study"_s;
        const QString loserName = kitchenWon ? u"Study"_s : u"Kitchen"_s;
        // Its user sees the window say so and opens the verification a moment later.
        rig.runUntil([] { return false; }, 3s);
        loser.keys.openVerification();
        const Result<QString> code = rig.run(winner.keys.beginVerification(loserName));
        QVERIFY2(code.ok(), qPrintable(code.ok() ? QString() : code.error().description));
        QVERIFY(rig.runUntil(
            [&] { return loser.keys.incoming() && loser.keys.incoming()->code == code.value(); }));
        QVERIFY(rig.run(winner.keys.confirmVerification(loserName, code.value())).ok());
        const Result<void> taken =
            rig.run(loser.keys.confirmVerification(winnerName, code.value()));
        QVERIFY2(taken.ok(), qPrintable(taken.ok() ? QString() : taken.error().description));
        QVERIFY(reaches(rig, loser, AccountKeys::State::Verified));
        QVERIFY(!loser.keys.lostFirstKey());
        const QString sealed = sealNowPlaying(winner.keys.keyRing()->current(), u"song"_s);
        QCOMPARE(openNowPlaying(*loser.keys.keyRing(), sealed).value(), u"song"_s);
    }

    void aVerificationIsAnsweredOnlyWhileOpenAndOncePerOpening() {
        StartedRig rig;
        rig.study->keys.closeVerification();
        // Closed: the request shows, unanswered, and Kitchen gets no answer.
        const Result<QString> unanswered = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s));
        QVERIFY(!unanswered.ok());
        QVERIFY(!rig.verificationOf(kStudyID));
        QVERIFY(rig.study->keys.incoming() && !rig.study->keys.incoming()->isAnswered);
        QCOMPARE(rig.study->keys.incoming()->verifierName, u"Kitchen"_s);

        rig.study->keys.openVerification();
        const QString first = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).value();
        QVERIFY(rig.runUntil([&] {
            return rig.study->keys.incoming() && rig.study->keys.incoming()->code == first;
        }));
        // A second request in the same opening (a restart, or a server trying codes) is not
        // answered; Study says why.
        QVERIFY(!rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).ok());
        QVERIFY(rig.study->keys.incoming()->problem.contains(u"again"_s));
        QVERIFY(!rig.study->keys.keyRing());
        // Opened again, the next request is answered.
        rig.study->keys.closeVerification();
        rig.study->keys.openVerification();
        QVERIFY(verify(rig, *rig.kitchen, *rig.study, u"Study"_s, u"Kitchen"_s));
    }

    void aComputerSetUpAgainUnderItsNameIsTheOneVerified() {
        StartedRig rig;
        // Study reinstalled: a new device id, the old record left behind under the same name.
        rig.clock->advance(5s);
        rig.study = std::make_unique<KeysDevice>(
            rig.studyLine, rig.clock, u"DDDDDDDD-4444-4444-8444-444444444444"_s, u"Study"_s);
        rig.study->keys.setAccount(kAccount);
        QVERIFY(reaches(rig, *rig.study, AccountKeys::State::Unverified));
        QVERIFY(verify(rig, *rig.kitchen, *rig.study, u"Study"_s, u"Kitchen"_s));
    }

    void verifyingNeedsAKnownOtherComputerAndTheKey() {
        StartedRig rig;
        QVERIFY(!rig.run(rig.kitchen->keys.beginVerification(u"Attic"_s)).ok());
        QVERIFY(!rig.run(rig.kitchen->keys.beginVerification(u"Kitchen"_s)).ok());
        QVERIFY(!rig.run(rig.study->keys.beginVerification(u"Kitchen"_s)).ok());
        // Study not running: Kitchen gives up after its minute, and says why.
        rig.study.reset();
        const Result<QString> unanswered = rig.run(rig.kitchen->keys.beginVerification(u"Study"_s));
        QVERIFY(!unanswered.ok());
        QVERIFY(unanswered.error().is(KeysErrorCode::NoAnswer));
        QVERIFY(!rig.verificationOf(kStudyID));
    }
};

QTEST_GUILESS_MAIN(AccountKeysTest)
#include "account_keys_test.moc"
