#include "src/account/key_records.h"

#include "src/runtime/log_channel.h"

namespace sonavert {

using namespace clouddb;

namespace {

const QString kDeviceID = QStringLiteral("deviceID");
const QString kDeviceName = QStringLiteral("deviceName");
const QString kKeyID = QStringLiteral("keyID");
const QString kBoxKey = QStringLiteral("boxKey");
const QString kBoxKeyTag = QStringLiteral("boxKeyTag");
const QString kTargetID = QStringLiteral("targetDeviceID");
const QString kVerifierID = QStringLiteral("verifierDeviceID");
const QString kVerifierName = QStringLiteral("verifierName");
const QString kVerificationID = QStringLiteral("verificationID");
const QString kCommitment = QStringLiteral("commitment");
const QString kTargetKey = QStringLiteral("targetKey");
const QString kAnsweredID = QStringLiteral("answeredID");
const QString kVerifierKey = QStringLiteral("verifierKey");
const QString kDeviceKeyBox = QStringLiteral("deviceKeyBox");
const QString kBoxedKeys = QStringLiteral("boxedKeys");
const QString kFromDeviceID = QStringLiteral("fromDeviceID");
const QString kBox = QStringLiteral("box");
const QString kFirstKeyName = QStringLiteral("firstkey");

QString deviceRecordName(const QString& deviceID) {
    return QStringLiteral("devicekeys-") + deviceID;
}

QString verificationRecordName(const QString& deviceID) {
    return QStringLiteral("verification-") + deviceID;
}

QString shareRecordName(const QString& toID, const QString& fromID) {
    return QStringLiteral("keyshare-") + toID + QLatin1Char('-') + fromID;
}

QByteArray bytesField(const CloudRecord& record, const QString& field) {
    return QByteArray::fromBase64(record.string(field).value_or(QString()).toLatin1());
}

QString text(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

/// Only the parts that are there: a verification record grows one part at a time.
void insertBytes(CloudRecord& record, const QString& field, const QByteArray& bytes) {
    if (!bytes.isEmpty())
        record.fields.insert(field, text(bytes));
}

VerificationEntry verificationOf(const CloudRecord& record) {
    VerificationEntry entry;
    entry.targetID = record.string(kTargetID).value_or(QString());
    entry.verifierID = record.string(kVerifierID).value_or(QString());
    entry.verifierName = record.string(kVerifierName).value_or(QString());
    entry.verificationID = bytesField(record, kVerificationID);
    entry.commitment = bytesField(record, kCommitment);
    entry.answeredID = bytesField(record, kAnsweredID);
    entry.targetKey = bytesField(record, kTargetKey);
    entry.verifierKey = bytesField(record, kVerifierKey);
    entry.deviceKeyBox = bytesField(record, kDeviceKeyBox);
    entry.boxedKeys = bytesField(record, kBoxedKeys);
    return entry;
}

CloudRecord verificationRecord(const QString& targetID, const VerificationEntry& entry) {
    CloudRecord record;
    record.recordName = verificationRecordName(targetID);
    record.recordType = KeyRecords::kVerificationRecordType;
    if (!entry.targetID.isEmpty())
        record.fields.insert(kTargetID, entry.targetID);
    if (!entry.verifierID.isEmpty())
        record.fields.insert(kVerifierID, entry.verifierID);
    if (!entry.verifierName.isEmpty())
        record.fields.insert(kVerifierName, entry.verifierName);
    insertBytes(record, kVerificationID, entry.verificationID);
    insertBytes(record, kCommitment, entry.commitment);
    insertBytes(record, kAnsweredID, entry.answeredID);
    insertBytes(record, kTargetKey, entry.targetKey);
    insertBytes(record, kVerifierKey, entry.verifierKey);
    insertBytes(record, kDeviceKeyBox, entry.deviceKeyBox);
    insertBytes(record, kBoxedKeys, entry.boxedKeys);
    return record;
}

} // namespace

KeyRecords::KeyRecords(std::shared_ptr<CloudDatabase> database)
    : m_database(std::move(database)) {}

QCoro::Task<Status> KeyRecords::ensureZone() {
    auto database = m_database;
    co_return co_await database->saveZone(kZone);
}

QCoro::Task<Result<QList<DeviceKeysEntry>>> KeyRecords::devices() {
    auto database = m_database;
    Result<ZoneChanges> zone = co_await database->fetchZoneChanges(kZone, std::nullopt);
    SONAVERT_CO_TRY(zone);
    QList<DeviceKeysEntry> devices;
    for (const CloudRecord& record : std::as_const(zone.value().changed)) {
        if (record.recordType != kDeviceRecordType)
            continue;
        devices.append(DeviceKeysEntry{record.string(kDeviceID).value_or(QString()),
                                       record.string(kDeviceName).value_or(QString()),
                                       record.string(kKeyID).value_or(QString()),
                                       bytesField(record, kBoxKey), bytesField(record, kBoxKeyTag),
                                       record.modified});
    }
    co_return devices;
}

QCoro::Task<Status> KeyRecords::publish(DeviceKeysEntry entry) {
    CloudRecord record;
    record.recordName = deviceRecordName(entry.deviceID);
    record.recordType = kDeviceRecordType;
    record.fields.insert(kDeviceID, entry.deviceID);
    record.fields.insert(kDeviceName, entry.name);
    record.fields.insert(kKeyID, entry.keyID);
    insertBytes(record, kBoxKey, entry.boxKey);
    insertBytes(record, kBoxKeyTag, entry.boxKeyTag);
    co_return co_await save(std::move(record), SavePolicy::AllKeys);
}

QCoro::Task<> KeyRecords::removeDevice(QString deviceID) {
    co_await remove(deviceRecordName(deviceID));
}

QCoro::Task<Result<std::optional<VerificationEntry>>> KeyRecords::verification(QString targetID) {
    Result<std::optional<CloudRecord>> fetched = co_await fetch(verificationRecordName(targetID));
    SONAVERT_CO_TRY(fetched);
    if (!fetched.value())
        co_return std::optional<VerificationEntry>();
    co_return std::optional(verificationOf(*fetched.value()));
}

QCoro::Task<Status> KeyRecords::startVerification(VerificationEntry entry) {
    const QString targetID = entry.targetID;
    co_return co_await save(verificationRecord(targetID, entry), SavePolicy::AllKeys);
}

QCoro::Task<Status> KeyRecords::addToVerification(QString targetID, VerificationEntry part) {
    co_return co_await save(verificationRecord(targetID, part), SavePolicy::ChangedKeys);
}

QCoro::Task<> KeyRecords::endVerification(QString targetID) {
    co_await remove(verificationRecordName(targetID));
}

QCoro::Task<Status> KeyRecords::sendShare(QString toID, QString fromID, QByteArray box) {
    CloudRecord record;
    record.recordName = shareRecordName(toID, fromID);
    record.recordType = kShareRecordType;
    record.fields.insert(kFromDeviceID, fromID);
    record.fields.insert(kBox, text(box));
    co_return co_await save(std::move(record), SavePolicy::AllKeys);
}

QCoro::Task<Result<QList<ShareEntry>>> KeyRecords::sharesFor(QString toID, QStringList fromIDs) {
    auto database = m_database;
    QList<ShareEntry> shares;
    // A share is named after both ends, so a computer finds its own without listing the zone,
    // and one sender cannot overwrite another's.
    constexpr qsizetype kPerLookup = 200;
    for (qsizetype first = 0; first < fromIDs.size(); first += kPerLookup) {
        QStringList names;
        for (const QString& fromID : fromIDs.mid(first, kPerLookup))
            names.append(shareRecordName(toID, fromID));
        Result<QList<Result<CloudRecord>>> fetched = co_await database->fetchRecords(kZone, names);
        SONAVERT_CO_TRY(fetched);
        for (qsizetype i = 0; i < fetched.value().size() && i < names.size(); ++i) {
            const Result<CloudRecord>& record = fetched.value()[i];
            if (!record) {
                if (isCloudError(record.error(), CloudErrorCode::UnknownItem))
                    continue;
                co_return record.error();
            }
            shares.append(ShareEntry{fromIDs[first + i], bytesField(record.value(), kBox)});
        }
    }
    co_return shares;
}

QCoro::Task<> KeyRecords::removeShare(QString toID, QString fromID) {
    co_await remove(shareRecordName(toID, fromID));
}

QCoro::Task<Result<bool>> KeyRecords::claimFirstKey(QString deviceID) {
    CloudRecord claim;
    claim.recordName = kFirstKeyName;
    claim.recordType = kFirstKeyRecordType;
    claim.fields.insert(kDeviceID, deviceID);
    const Status written = co_await save(claim, SavePolicy::IfNew);
    if (written.ok())
        co_return true;
    if (!isCloudError(written.error(), CloudErrorCode::ServerRecordChanged))
        co_return written.error();
    // Taken: by this computer on an earlier try whose answer was lost, or by another.
    Result<std::optional<CloudRecord>> held = co_await fetch(kFirstKeyName);
    SONAVERT_CO_TRY(held);
    co_return held.value() && held.value()->string(kDeviceID) == deviceID;
}

QCoro::Task<Status> KeyRecords::takeFirstKeyClaim(QString deviceID) {
    CloudRecord claim;
    claim.recordName = kFirstKeyName;
    claim.recordType = kFirstKeyRecordType;
    claim.fields.insert(kDeviceID, deviceID);
    co_return co_await save(std::move(claim), SavePolicy::AllKeys);
}

QCoro::Task<Status> KeyRecords::save(CloudRecord record, SavePolicy policy) {
    auto database = m_database;
    QList<RecordSave> saves;
    saves.append(RecordSave{std::move(record), {}});
    const QStringList noDeletions;
    const ModifyResult result =
        co_await database->modifyRecords(kZone, std::move(saves), noDeletions, policy);
    co_return result.overall;
}

QCoro::Task<Result<std::optional<CloudRecord>>> KeyRecords::fetch(QString recordName) {
    auto database = m_database;
    const QStringList names(recordName);
    Result<QList<Result<CloudRecord>>> fetched = co_await database->fetchRecords(kZone, names);
    SONAVERT_CO_TRY(fetched);
    if (fetched.value().isEmpty())
        co_return std::optional<CloudRecord>();
    Result<CloudRecord>& record = fetched.value().first();
    if (!record) {
        if (isCloudError(record.error(), CloudErrorCode::UnknownItem))
            co_return std::optional<CloudRecord>();
        co_return record.error();
    }
    co_return std::optional(std::move(record).value());
}

QCoro::Task<> KeyRecords::remove(QString recordName) {
    auto database = m_database;
    QStringList deletions;
    deletions.append(recordName);
    const QList<RecordSave> noSaves;
    const ModifyResult result =
        co_await database->modifyRecords(kZone, noSaves, std::move(deletions), SavePolicy::AllKeys);
    if (!result.overall.ok())
        logEvent(LogCategory::CloudKit, LogLevel::Debug,
                 "event=key_record_cleanup_failed error=%{public}s",
                 result.overall.error().description);
}

} // namespace sonavert
