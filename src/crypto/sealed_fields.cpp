#include "src/crypto/sealed_fields.h"

#include "src/crypto/payload_cipher.h"
#include "src/runtime/log_channel.h"

namespace sonavert::crypto {

using clouddb::CloudRecord;
using clouddb::FieldValue;

namespace {

struct PrivateField {
    QLatin1String recordType;
    QLatin1String fieldName;
    bool isRequired; ///< the record means nothing without it
};

// The playback state a device publishes, and the one a handoff command (a push, or the answer
// to a pull) carries. A pull request names only device ids, which the server needs to route.
constexpr PrivateField kPrivateFields[] = {
    {QLatin1String("DevicePresence"), QLatin1String("nowPlaying"), false},
    {QLatin1String("HandoffCommand"), QLatin1String("payload"), true},
};

void logDropped(const CloudRecord& record, const QString& field, const QString& sealed,
                const Error& error) {
    logEvent(LogCategory::CloudKit, LogLevel::Error,
             "event=payload_open_failed record_name=%{private,mask.hash}s field=%{public}s "
             "key_id=%{public}s reason=%{public}s",
             record.recordName, field, PayloadCipher::keyIdOf(sealed),
             cryptoErrorReason(error.code));
}

const PrivateField* privateField(const QString& recordType, const QString& fieldName) {
    for (const PrivateField& field : kPrivateFields) {
        if (field.recordType == recordType && field.fieldName == fieldName)
            return &field;
    }
    return nullptr;
}

} // namespace

bool SealedFields::isSealed(const QString& recordType, const QString& fieldName) {
    return privateField(recordType, fieldName) != nullptr;
}

Result<clouddb::RecordSave> SealedFields::withoutKey(clouddb::RecordSave save,
                                                     clouddb::SavePolicy policy) {
    CloudRecord& record = save.record;
    for (auto it = record.fields.begin(); it != record.fields.end();) {
        const PrivateField* field = privateField(record.recordType, it.key());
        if (field == nullptr) {
            ++it;
            continue;
        }
        if (field->isRequired)
            return cryptoError(CryptoErrorCode::NoKey, noKeyText());
        if (policy == clouddb::SavePolicy::ChangedKeys && !save.removedFields.contains(it.key()))
            save.removedFields.append(it.key());
        it = record.fields.erase(it);
    }
    return save;
}

Result<CloudRecord> SealedFields::seal(CloudRecord record, const AccountKey& key) {
    for (auto it = record.fields.begin(); it != record.fields.end(); ++it) {
        const auto* clear = std::get_if<QString>(&it.value());
        if (clear == nullptr || !isSealed(record.recordType, it.key()))
            continue;
        Result<QString> sealed = PayloadCipher::seal(key, record.recordName, it.key(), *clear);
        SONAVERT_TRY(sealed);
        it.value() = FieldValue(std::move(sealed).value());
    }
    return record;
}

CloudRecord SealedFields::open(CloudRecord record, const KeyRing* ring, QSet<QString>* reported,
                               bool* sawUnknownKey) {
    // Bounded: a device that never gets the key meets new sealed texts all day.
    constexpr qsizetype kMaxReported = 512;
    for (auto it = record.fields.begin(); it != record.fields.end();) {
        const auto* value = std::get_if<QString>(&it.value());
        if (value == nullptr || !isSealed(record.recordType, it.key()) ||
            !PayloadCipher::isSealed(*value)) {
            ++it;
            continue;
        }
        Result<QString> opened =
            ring ? PayloadCipher::open(*ring, record.recordName, it.key(), *value)
                 : Result<QString>(cryptoError(CryptoErrorCode::NoKey, noKeyText()));
        if (opened) {
            it.value() = FieldValue(std::move(opened).value());
            ++it;
            continue;
        }
        if (sawUnknownKey && opened.error().code == int(CryptoErrorCode::UnknownKey))
            *sawUnknownKey = true;
        // Presence is sealed afresh on every pass; one line per record, field, key and reason
        // says all there is to say.
        const QString what = record.recordName + QLatin1Char('\n') + it.key() + QLatin1Char('\n') +
                             PayloadCipher::keyIdOf(*value) + QLatin1Char('\n') +
                             QString::number(opened.error().code);
        if (reported == nullptr || !reported->contains(what)) {
            logDropped(record, it.key(), *value, opened.error());
            if (reported) {
                if (reported->size() >= kMaxReported)
                    reported->clear();
                reported->insert(what);
            }
        }
        it = record.fields.erase(it);
    }
    return record;
}

} // namespace sonavert::crypto
