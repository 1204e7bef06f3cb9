// The encrypting database over the in-memory cloud: the services read what they wrote, the
// server holds none of what is played, and a payload that does not open, or is in clear, is
// dropped and said.

#include "src/clouddb/in_memory_cloud.h"
#include "src/crypto/encrypting_cloud_database.h"
#include "src/crypto/payload_cipher.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::crypto;
using namespace Qt::StringLiterals;
using sonavert::test::awaitTask;

namespace {

const QStringList kPrivateWords = {u"Blue in Green"_s, u"Miles Davis"_s, u"Kind of Blue"_s,
                                   u"1440857781"_s};
const QString kState = uR"({"songID":"1440857781","playbackTime":61.5,"songTitle":"Blue in Green",)"
                       uR"("artistName":"Miles Davis","albumTitle":"Kind of Blue"})"_s;

CloudRecord presence() {
    return CloudRecord{u"presence-A1"_s,
                       u"DevicePresence"_s,
                       {{u"deviceID"_s, FieldValue(u"A1"_s)},
                        {u"deviceName"_s, FieldValue(u"Kitchen"_s)},
                        {u"isOnline"_s, FieldValue(qint64(1))},
                        {u"lastSeen"_s, FieldValue(Timestamp::fromUnixMilliseconds(1700000000000))},
                        {u"nowPlaying"_s, FieldValue(kState)}},
                       {},
                       {}};
}

CloudRecord handoff(const QString& name = u"handoff_B2"_s) {
    return CloudRecord{
        name,
        u"HandoffCommand"_s,
        {{u"targetDeviceID"_s, FieldValue(u"B2"_s)},
         {u"messageID"_s, FieldValue(u"5E0C"_s)},
         {u"timestamp"_s, FieldValue(Timestamp::fromUnixMilliseconds(1767225600250))},
         {u"payload"_s, FieldValue(kState)}},
        {},
        {}};
}

QMap<QString, FieldValue> withoutField(CloudRecord record, const QString& field) {
    record.fields.remove(field);
    return record.fields;
}

} // namespace

class EncryptingCloudDatabaseTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::shared_ptr<InMemoryCloud> m_cloud;
    std::shared_ptr<InMemoryCloudDatabase> m_inner;
    AccountKey m_key = AccountKey::generate().value();
    std::unique_ptr<EncryptingCloudDatabase> m_db;

    void save(CloudDatabase& db, const CloudRecord& record) {
        const ModifyResult result = awaitTask(
            db.modifyRecords(kDefaultZone, {RecordSave{record, {}}}, {}, SavePolicy::AllKeys, {}));
        QVERIFY(result.overall);
        QCOMPARE(result.outcomes.at(0).saved->fields, record.fields);
    }
    CloudRecord fetched(CloudDatabase& db, const QString& name) {
        return awaitTask(db.fetchRecords(kDefaultZone, {name}, std::nullopt, {}))
            .value()[0]
            .value();
    }
    CloudRecord stored(const QString& name) {
        return *m_cloud->record(u"me"_s, kDefaultZone, name);
    }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_cloud = InMemoryCloud::create(m_clock);
        m_inner = m_cloud->connect(u"me"_s);
        m_db = std::make_unique<EncryptingCloudDatabase>(m_inner, KeyRing(m_key));
    }

    void recordsReadBackAsWrittenWhileTheServerHoldsNoPlaybackInClear() {
        for (const CloudRecord& record : {presence(), handoff()}) {
            save(*m_db, record);
            QCOMPARE(fetched(*m_db, record.recordName).fields, record.fields);
            const CloudRecord raw = stored(record.recordName);
            for (auto it = raw.fields.begin(); it != raw.fields.end(); ++it) {
                const auto* text = std::get_if<QString>(&it.value());
                for (const QString& word : kPrivateWords)
                    QVERIFY2(!text || !text->contains(word), qPrintable(it.key()));
            }
            const QString field =
                record.recordType == u"HandoffCommand"_s ? u"payload"_s : u"nowPlaying"_s;
            QVERIFY(PayloadCipher::isSealed(*raw.string(field)));
            QCOMPARE(withoutField(raw, field), withoutField(record, field));
        }
        const ZoneChanges changes =
            awaitTask(m_db->fetchZoneChanges(kDefaultZone, std::nullopt, {})).value();
        QCOMPARE(changes.changed.size(), 2);
        QCOMPARE(changes.changed[0].fields, presence().fields);
        QCOMPARE(changes.changed[1].fields, handoff().fields);
    }

    // Only a sealed value is believed: what is in clear was put there by the server (every
    // device seals), so a device holding the key drops it, saying so once per record however
    // often it looks. A device without the key reads nothing private either way.
    void clearPrivateValuesAreDroppedWithTheKeyOnly() {
        CloudRecord numbered = presence();
        numbered.recordName = u"presence-C3"_s;
        numbered.fields[u"nowPlaying"_s] = FieldValue(qint64(7));
        for (const CloudRecord& record : {handoff(), presence(), numbered})
            save(*m_inner, record);

        CapturingLogSink log;
        for (int look = 0; look < 2; ++look) {
            QCOMPARE(fetched(*m_db, u"handoff_B2"_s).fields, withoutField(handoff(), u"payload"_s));
            QCOMPARE(fetched(*m_db, u"presence-A1"_s).fields,
                     withoutField(presence(), u"nowPlaying"_s));
            QCOMPARE(fetched(*m_db, u"presence-C3"_s).fields,
                     withoutField(numbered, u"nowPlaying"_s));
        }
        const QStringList lines = log.messages(LogCategory::CloudKit);
        QCOMPARE(lines.size(), 3);
        for (const QString& line : lines)
            QVERIFY2(line.startsWith(u"event=payload_open_failed record_name="_s) &&
                         line.endsWith(u" key_id= reason=in_clear"_s),
                     qPrintable(line));

        EncryptingCloudDatabase keyless(m_inner, std::nullopt);
        QCOMPARE(fetched(keyless, u"handoff_B2"_s).fields, handoff().fields);
        QCOMPARE(fetched(keyless, u"presence-C3"_s).fields, numbered.fields);
    }

    // Only text is sealed: a private value of any other type would reach the server as it is,
    // so the save fails and sends nothing.
    void aPrivateFieldThatIsNotTextFailsTheSave() {
        CloudRecord record = presence();
        record.fields[u"nowPlaying"_s] = FieldValue(qint64(1440857781));
        const ModifyResult result = awaitTask(m_db->modifyRecords(
            kDefaultZone, {RecordSave{record, {}}}, {}, SavePolicy::AllKeys, {}));
        QVERIFY(!result.overall);
        QCOMPARE(result.overall.error().domain, u"SonavertCrypto"_s);
        QCOMPARE(result.overall.error().code, int(CryptoErrorCode::InClear));
        QVERIFY(!m_cloud->record(u"me"_s, kDefaultZone, record.recordName));
    }

    // History stays readable after a rotation; a command is news, and opens only under the key
    // that seals today's.
    void presenceUnderAnEarlierKeyOpensACommandDoesNot() {
        save(*m_db, presence());
        save(*m_db, handoff());
        const AccountKey rotated = AccountKey::generate().value();
        m_db->setKeyRing(KeyRing(rotated, {m_key}));
        QCOMPARE(fetched(*m_db, u"presence-A1"_s).fields, presence().fields);
        CapturingLogSink log;
        QCOMPARE(fetched(*m_db, u"handoff_B2"_s).fields, withoutField(handoff(), u"payload"_s));
        QVERIFY2(log.messages(LogCategory::CloudKit)
                     .constFirst()
                     .endsWith(u" field=payload key_id=%1 reason=retired_key"_s.arg(m_key.keyId())),
                 qPrintable(log.messages(LogCategory::CloudKit).join(u'\n')));
        save(*m_db, handoff());
        QCOMPARE(PayloadCipher::keyIdOf(*stored(u"handoff_B2"_s).string(u"payload"_s)),
                 rotated.keyId());
    }

    void payloadThatDoesNotOpenIsDroppedWithAnEvent_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("tampered") << u"tamper"_s << u"refused"_s;
        QTest::newRow("copied from another record") << u"move"_s << u"refused"_s;
        QTest::newRow("key this device lacks") << u"rekey"_s << u"unknown_key"_s;
        QTest::newRow("newer format") << u"version"_s << u"unknown_version"_s;
        // A command's sealed payload is bound to the clear fields that say which it is.
        QTest::newRow("numbered afresh") << u"messageID"_s << u"refused"_s;
        QTest::newRow("dated afresh") << u"timestamp"_s << u"refused"_s;
        QTest::newRow("addressed to another device") << u"targetDeviceID"_s << u"refused"_s;
        QTest::newRow("said to come from a device") << u"sourceDeviceID"_s << u"refused"_s;
    }
    void payloadThatDoesNotOpenIsDroppedWithAnEvent() {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        save(*m_db, handoff(u"handoff_C3"_s));
        save(*m_db, handoff());
        CloudRecord raw = stored(u"handoff_B2"_s);
        QString sealed = *raw.string(u"payload"_s);
        if (damage == u"tamper"_s)
            sealed[sealed.size() - 5] = sealed[sealed.size() - 5] == u'A' ? u'B' : u'A';
        else if (damage == u"move"_s)
            sealed = *stored(u"handoff_C3"_s).string(u"payload"_s);
        else if (damage == u"version"_s)
            sealed.replace(0, 3, u"sv9"_s);
        else if (damage == u"timestamp"_s)
            raw.fields[damage] = FieldValue(raw.timestamp(damage)->addSeconds(1));
        else if (damage != u"rekey"_s)
            raw.fields[damage] = FieldValue(u"C3"_s);
        raw.fields[u"payload"_s] = FieldValue(sealed);
        save(*m_inner, raw);
        if (damage == u"rekey"_s)
            m_db->setKeyRing(KeyRing(AccountKey::generate().value()));

        CapturingLogSink log;
        const CloudRecord read = fetched(*m_db, u"handoff_B2"_s);
        QCOMPARE(read.fields, withoutField(raw, u"payload"_s));
        const QStringList lines = log.messages(LogCategory::CloudKit);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(u"event=payload_open_failed record_name="_s),
                 qPrintable(lines[0]));
        QVERIFY2(lines[0].endsWith(u" field=payload key_id=%1 reason=%2"_s.arg(
                     PayloadCipher::keyIdOf(sealed), reason)),
                 qPrintable(lines[0]));
    }
};

QTEST_GUILESS_MAIN(EncryptingCloudDatabaseTest)
#include "encrypting_cloud_database_test.moc"
