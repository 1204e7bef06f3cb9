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
};

// The playback state a device publishes, and the one a handoff command (a push, or the answer
// to a pull) carries. A pull request names only device ids, which the server needs to route.
constexpr PrivateField kPrivateFields[] = {
    {QLatin1String("DevicePresence"), QLatin1String("nowPlaying")},
    {QLatin1String("HandoffCommand"), QLatin1String("payload")},
};

void logDropped(const CloudRecord& record, const QString& field, const QString& sealed,
                const Error& error) {
    logEvent(LogCategory::CloudKit, LogLevel::Error,
             "event=payload_open_failed record_name=%{private,mask.hash}s field=%{public}s "
             "key_id=%{public}s reason=%{public}s",
             record.recordName, field, PayloadCipher::keyIdOf(sealed),
             cryptoErrorReason(error.code));
}

} // namespace

bool SealedFields::isSealed(const QString& recordType, const QString& fieldName) {
    for (const PrivateField& field : kPrivateFields) {
        if (field.recordType == recordType && field.fieldName == fieldName)
            return true;
    }
    return false;
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

CloudRecord SealedFields::open(CloudRecord record, const KeyRing& ring) {
    for (auto it = record.fields.begin(); it != record.fields.end();) {
        const auto* value = std::get_if<QString>(&it.value());
        if (value == nullptr || !isSealed(record.recordType, it.key()) ||
            !PayloadCipher::isSealed(*value)) {
            ++it;
            continue;
        }
        Result<QString> opened = PayloadCipher::open(ring, record.recordName, it.key(), *value);
        if (opened) {
            it.value() = FieldValue(std::move(opened).value());
            ++it;
        } else {
            logDropped(record, it.key(), *value, opened.error());
            it = record.fields.erase(it);
        }
    }
    return record;
}

} // namespace sonavert::crypto
