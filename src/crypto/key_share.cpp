#include "src/crypto/key_share.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace sonavert::crypto {

namespace {

const QString kFrom = QStringLiteral("from");
const QString kRing = QStringLiteral("ring");
const QString kPins = QStringLiteral("pins");
const QString kRemoved = QStringLiteral("removed");
const QString kID = QStringLiteral("id");
const QString kName = QStringLiteral("name");
const QString kKey = QStringLiteral("key");

} // namespace

QJsonObject pinnedDeviceJson(const PinnedDevice& device) {
    return {{kID, device.deviceID},
            {kName, device.name},
            {kKey, QString::fromLatin1(device.publicKey.toBase64())}};
}

namespace {

Error malformedShare() {
    return cryptoError(CryptoErrorCode::Malformed,
                       QStringLiteral("The keys received are damaged."));
}

} // namespace

Result<PinnedDevice> pinnedDeviceFromJson(const QJsonValue& value) {
    const QJsonObject object = value.toObject();
    PinnedDevice device{object.value(kID).toString(), object.value(kName).toString(),
                        QByteArray::fromBase64(object.value(kKey).toString().toLatin1())};
    if (device.deviceID.isEmpty())
        return malformedShare();
    if (device.publicKey.size() != DeviceKeyPair::kPublicKeySize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("A computer's key received has the wrong length."));
    return device;
}

QByteArray KeyShare::toBytes() const {
    QJsonObject object{{kFrom, pinnedDeviceJson(from)}};
    if (ring) {
        QByteArray bytes = ring->toBytes();
        object.insert(kRing, QString::fromLatin1(bytes.toBase64()));
        bytes.fill('\0');
    }
    QJsonArray pinned;
    for (const PinnedDevice& device : pins)
        pinned.append(pinnedDeviceJson(device));
    object.insert(kPins, pinned);
    object.insert(kRemoved, QJsonArray::fromStringList(removed));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

Result<KeyShare> KeyShare::fromBytes(const QByteArray& bytes) {
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return malformedShare();
    const QJsonObject object = document.object();
    KeyShare share;
    Result<PinnedDevice> from = pinnedDeviceFromJson(object.value(kFrom));
    SONAVERT_TRY(from);
    share.from = std::move(from).value();
    if (object.contains(kRing)) {
        QByteArray raw = QByteArray::fromBase64(object.value(kRing).toString().toLatin1());
        Result<KeyRing> ring = KeyRing::fromBytes(raw);
        raw.fill('\0');
        SONAVERT_TRY(ring);
        share.ring = std::move(ring).value();
    }
    for (const QJsonValue value : object.value(kPins).toArray()) {
        Result<PinnedDevice> device = pinnedDeviceFromJson(value);
        SONAVERT_TRY(device);
        share.pins.append(std::move(device).value());
    }
    for (const QJsonValue value : object.value(kRemoved).toArray())
        share.removed.append(value.toString());
    return share;
}

} // namespace sonavert::crypto
