// The encrypting database over the in-memory cloud: the services read what they wrote, the
// server holds none of what is played, and a payload that does not open is dropped and said.

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
    return CloudRecord{name,
                       u"HandoffCommand"_s,
                       {{u"targetDeviceID"_s, FieldValue(u"B2"_s)},
                        {u"messageID"_s, FieldValue(u"5E0C"_s)},
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

    void clearPayloadOfADeviceThatDoesNotSealYetIsReadAsItIs() {
        save(*m_inner, handoff());
        QCOMPARE(fetched(*m_db, u"handoff_B2"_s).fields, handoff().fields);
    }

    void payloadUnderAnEarlierKeyOpensWithTheRing() {
        save(*m_db, presence());
        const AccountKey rotated = AccountKey::generate().value();
        m_db->setKeyRing(KeyRing(rotated, {m_key}));
        QCOMPARE(fetched(*m_db, u"presence-A1"_s).fields, presence().fields);
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
            sealed.replace(0, 3, u"sv3"_s);
        raw.fields[u"payload"_s] = FieldValue(sealed);
        save(*m_inner, raw);
        if (damage == u"rekey"_s)
            m_db->setKeyRing(KeyRing(AccountKey::generate().value()));

        CapturingLogSink log;
        const CloudRecord read = fetched(*m_db, u"handoff_B2"_s);
        QCOMPARE(read.fields, withoutField(handoff(), u"payload"_s));
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
