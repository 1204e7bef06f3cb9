#pragma once

#include "src/account/key_records.h"
#include "src/crypto/key_share.h"

#include <QMap>
#include <QSet>

namespace sonavert {

/// The keys a computer that holds its account's key keeps: the ring, its own long-lived pair,
/// and the other computers it has pinned, by device id.
struct HeldKeys {
    crypto::KeyRing ring;
    crypto::DeviceKeyPair device;
    QMap<QString, crypto::PinnedDevice> pins;
    /// Computers taken out: never pinned again, whatever an old share served again says.
    QSet<QString> removed;
};

/// What a computer's pinned keys let it do with the others: make a new key when one of them is
/// taken out and box it to the rest, tell the rest about a computer it has just verified, and
/// take what the computers it has pinned send it. A share from any other key (a computer taken
/// out, or one the server made up) is never read.
class KeyRotation {
public:
    KeyRotation(std::shared_ptr<KeyRecords> records, QString deviceID, QString deviceName);

    /// Who receives the new key when `removedID` is taken out: every pinned computer but it.
    static QList<crypto::PinnedDevice> recipients(const HeldKeys& held, const QString& removedID);

    struct Removal {
        HeldKeys keys;      ///< the new ring and the pins without the computer taken out
        QStringList sentTo; ///< the names of the computers the new key went to
    };
    /// A new key boxed to every pinned computer but `removedID`, with the word that it is out.
    QCoro::Task<Result<Removal>> remove(HeldKeys held, QString removedID);
    /// Tells every pinned computer but `newcomer` itself about it; how many were told.
    QCoro::Task<int> announce(HeldKeys held, crypto::PinnedDevice newcomer);
    /// The keys after taking every share the pinned computers left for this one; nullopt when
    /// none changed anything.
    QCoro::Task<Result<std::optional<HeldKeys>>> take(HeldKeys held);

private:
    QCoro::Task<Status> send(const HeldKeys& held, const crypto::PinnedDevice& to,
                             const crypto::KeyShare& share);
    crypto::PinnedDevice me(const HeldKeys& held) const;

    std::shared_ptr<KeyRecords> m_records;
    QString m_deviceID;
    QString m_deviceName;
};

} // namespace sonavert
