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
    bool isCommand;  ///< sealed bound to the command's clear fields, opened under the current key
};

// The playback state a device publishes, and the one a handoff command (a push, or the answer
// to a pull) carries. Pull requests and "nothing plays here" answers carry no playback, only
// ids the server needs to route; their proof is their own id, sealed, so that only a holder of
// the key can ask for a song or end a wait.
constexpr PrivateField kPrivateFields[] = {
    {QLatin1String("DevicePresence"), QLatin1String("nowPlaying"), false, false},
    {QLatin1String("HandoffCommand"), QLatin1String("payload"), true, true},
    {QLatin1String("HandoffCommand"), QLatin1String("proof"), true, true},
    {QLatin1String("HandoffRequest"), QLatin1String("proof"), true, true},
};

// What says which command a record is, who sent it to whom and when. A command's sealed
// fields are bound to these as the record carries them (a field it lacks is bound as absent),
// so a server that dates or numbers an old sealed value afresh, or readdresses it, gets a
// record that does not open.
constexpr QLatin1String kCommandFields[] = {
    QLatin1String("messageID"),      QLatin1String("replyID"),
    QLatin1String("requestID"),      QLatin1String("requesterDeviceID"),
    QLatin1String("sourceDeviceID"), QLatin1String("targetDeviceID"),
    QLatin1String("timestamp"),
};

QString boundText(const FieldValue& value) {
    if (const auto* text = std::get_if<QString>(&value))
        return QLatin1Char('s') + *text;
    if (const auto* number = std::get_if<qint64>(&value))
        return QLatin1Char('i') + QString::number(*number);
    // Milliseconds: what the wire keeps of a date, so both ends bind the same number.
    return QLatin1Char('t') + QString::number(std::get<Timestamp>(value).unixMilliseconds());
}

QStringList commandBinding(const CloudRecord& record) {
    QStringList bound;
    for (const QLatin1String name : kCommandFields) {
        const auto it = record.fields.constFind(name);
        bound << (it == record.fields.cend() ? QString(name)
                                             : name + QLatin1Char('=') + boundText(*it));
    }
    return bound;
}

QString textOf(const FieldValue& value) {
    const auto* text = std::get_if<QString>(&value);
    return text ? *text : QString();
}

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

Error inClear() {
    return cryptoError(CryptoErrorCode::InClear,
                       QStringLiteral("A private value is in clear where only a sealed one "
                                      "belongs."));
}

// Only text is sealed: any other value would go to the server as it is.
Error notText(const QString& recordType, const QString& fieldName) {
    return cryptoError(CryptoErrorCode::InClear,
                       QStringLiteral("The private field %1 of a %2 is not text, so it cannot be "
                                      "sealed; nothing was sent.")
                           .arg(fieldName, recordType));
}

Result<QString> openField(const CloudRecord& record, const PrivateField& field,
                          const QString& fieldName, const FieldValue& value, const KeyRing& ring) {
    const auto* text = std::get_if<QString>(&value);
    if (text == nullptr || !PayloadCipher::isSealed(*text))
        return inClear();
    if (field.isCommand)
        return PayloadCipher::openBound(ring, record.recordName, fieldName, *text,
                                        commandBinding(record));
    return PayloadCipher::open(ring, record.recordName, fieldName, *text);
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
    const QStringList binding = commandBinding(record);
    for (auto it = record.fields.begin(); it != record.fields.end(); ++it) {
        const PrivateField* field = privateField(record.recordType, it.key());
        if (field == nullptr)
            continue;
        const auto* clear = std::get_if<QString>(&it.value());
        if (clear == nullptr)
            return notText(record.recordType, it.key());
        Result<QString> sealed =
            field->isCommand
                ? PayloadCipher::sealBound(key, record.recordName, it.key(), *clear, binding)
                : PayloadCipher::seal(key, record.recordName, it.key(), *clear);
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
        const PrivateField* field = privateField(record.recordType, it.key());
        const QString text = textOf(it.value());
        // Without the key a device reads nothing private: what is sealed does not open, and a
        // clear value is all there is to read.
        if (field == nullptr || (ring == nullptr && !PayloadCipher::isSealed(text))) {
            ++it;
            continue;
        }
        Result<QString> opened =
            ring ? openField(record, *field, it.key(), it.value(), *ring)
                 : Result<QString>(cryptoError(CryptoErrorCode::NoKey, noKeyText()));
        if (opened) {
            it.value() = FieldValue(std::move(opened).value());
            ++it;
            continue;
        }
        if (sawUnknownKey && opened.error().code == int(CryptoErrorCode::UnknownKey))
            *sawUnknownKey = true;
        // Presence is sealed afresh on every pass, and a refused command is looked at on every
        // poll; one line per record, field, key and reason says all there is to say.
        const QString what = record.recordName + QLatin1Char('\n') + it.key() + QLatin1Char('\n') +
                             PayloadCipher::keyIdOf(text) + QLatin1Char('\n') +
                             QString::number(opened.error().code);
        if (reported == nullptr || !reported->contains(what)) {
            logDropped(record, it.key(), text, opened.error());
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
