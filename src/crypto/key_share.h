#pragma once

#include "src/crypto/device_key_pair.h"
#include "src/crypto/key_ring.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <optional>

namespace sonavert::crypto {

/// Another computer of the account, known by the long-lived public key that keys are boxed to.
/// A device learns such a key only through a verification its user confirmed, or from a
/// computer it knows this way already, and never lets it change afterwards: whatever the
/// server lists, only these keys receive a rotated key or are believed when they send one.
struct PinnedDevice {
    QString deviceID;
    QString name;
    QByteArray publicKey;

    friend bool operator==(const PinnedDevice&, const PinnedDevice&) = default;
};

/// A pinned device as JSON, as shares and the device's own secret store keep it.
QJsonObject pinnedDeviceJson(const PinnedDevice& device);
Result<PinnedDevice> pinnedDeviceFromJson(const QJsonValue& value);

/// What one computer of the account tells another inside a box made from its long-lived key
/// (or, in a verification, from the key of that exchange): who it is, the keys (when it shares
/// or rotates them), the computers it knows, and the ones it took out. A receiver believes it
/// only because of the key that boxed it, never because of anything the server lists.
struct KeyShare {
    PinnedDevice from;
    std::optional<KeyRing> ring;
    QList<PinnedDevice> pins;
    QStringList removed; ///< device ids no longer part of the account's keys

    /// Compact JSON, keys in base64; the caller wipes it once boxed.
    QByteArray toBytes() const;
    /// Malformed for anything that is not a share of this shape, BadKey for a key of the
    /// wrong length.
    static Result<KeyShare> fromBytes(const QByteArray& bytes);
};

} // namespace sonavert::crypto
