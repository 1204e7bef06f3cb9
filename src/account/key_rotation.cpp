#include "src/account/key_rotation.h"

#include "src/runtime/log_channel.h"

#include <algorithm>

namespace sonavert {

using crypto::AccountKey;
using crypto::KeyRing;
using crypto::KeyShare;
using crypto::PinnedDevice;

KeyRotation::KeyRotation(std::shared_ptr<KeyRecords> records, QString deviceID, QString deviceName)
    : m_records(std::move(records))
    , m_deviceID(std::move(deviceID))
    , m_deviceName(std::move(deviceName)) {}

PinnedDevice KeyRotation::me(const HeldKeys& held) const {
    return PinnedDevice{m_deviceID, m_deviceName, held.device.publicKey()};
}

QList<PinnedDevice> KeyRotation::recipients(const HeldKeys& held, const QString& removedID) {
    QList<PinnedDevice> recipients;
    for (const PinnedDevice& pinned : held.pins)
        if (pinned.deviceID != removedID)
            recipients.append(pinned);
    return recipients;
}

QCoro::Task<Status> KeyRotation::send(const HeldKeys& held, const PinnedDevice& to,
                                      const KeyShare& share) {
    auto records = m_records;
    QByteArray bytes = share.toBytes();
    Result<QByteArray> box = held.device.boxFor(to.publicKey, bytes);
    bytes.fill('\0');
    SONAVERT_CO_TRY(box);
    co_return co_await records->sendShare(to.deviceID, m_deviceID, box.value());
}

QCoro::Task<Result<KeyRotation::Removal>> KeyRotation::remove(HeldKeys held, QString removedID) {
    // The new key first, the old ones after it: what was sealed before stays readable here.
    Result<AccountKey> created = AccountKey::generate();
    SONAVERT_CO_TRY(created);
    QList<AccountKey> earlier{held.ring.current()};
    earlier.append(held.ring.earlier());
    Removal removal{
        HeldKeys{KeyRing(created.value(), earlier), held.device, held.pins, held.removed}, {}};
    removal.keys.pins.remove(removedID);
    removal.keys.removed.insert(removedID);
    const KeyShare share{me(held), removal.keys.ring, {}, QStringList{removedID}};
    for (const PinnedDevice& to : recipients(held, removedID)) {
        const Status sent = co_await send(held, to, share);
        if (sent.ok())
            removal.sentTo.append(to.name);
        else
            logEvent(LogCategory::CloudKit, LogLevel::Error,
                     "event=key_share_failed device_id=%{public}s error=%{public}s", to.deviceID,
                     sent.error().description);
    }
    co_return removal;
}

QCoro::Task<int> KeyRotation::announce(HeldKeys held, PinnedDevice newcomer) {
    const KeyShare share{me(held), std::nullopt, {newcomer}, {}};
    int told = 0;
    for (const PinnedDevice& to : std::as_const(held.pins)) {
        if (to.deviceID == newcomer.deviceID)
            continue;
        const Status sent = co_await send(held, to, share);
        if (sent.ok())
            ++told;
    }
    co_return told;
}

QCoro::Task<Result<std::optional<HeldKeys>>> KeyRotation::take(HeldKeys held) {
    auto records = m_records;
    Result<QList<ShareEntry>> waiting = co_await records->sharesFor(m_deviceID, held.pins.keys());
    SONAVERT_CO_TRY(waiting);
    struct Opened {
        QString fromID;
        KeyShare share;
    };
    QList<Opened> shares;
    for (const ShareEntry& entry : std::as_const(waiting.value())) {
        Result<QByteArray> opened =
            held.device.openFrom(held.pins.value(entry.fromID).publicKey, entry.box);
        Result<KeyShare> share =
            opened ? KeyShare::fromBytes(opened.value()) : Result<KeyShare>(opened.error());
        if (opened)
            opened.value().fill('\0');
        if (share && share.value().from.deviceID == entry.fromID)
            shares.append(Opened{entry.fromID, std::move(share).value()});
        else
            logEvent(LogCategory::CloudKit, LogLevel::Error,
                     "event=key_update_refused from_device_id=%{public}s", entry.fromID);
        co_await records->removeShare(m_deviceID, entry.fromID);
    }
    // Removals first: whatever a computer taken out sent in the same pass is read after it is
    // out, and refused.
    std::stable_sort(shares.begin(), shares.end(), [](const Opened& a, const Opened& b) {
        return !a.share.removed.isEmpty() && b.share.removed.isEmpty();
    });
    bool isChanged = false;
    for (const Opened& opened : std::as_const(shares)) {
        const KeyShare& share = opened.share;
        // A ring that shares no key with this one is not a rotation of this account's key.
        if (!held.pins.contains(opened.fromID) ||
            (share.ring && !share.ring->sharesAKeyWith(held.ring))) {
            logEvent(LogCategory::CloudKit, LogLevel::Error,
                     "event=key_update_refused from_device_id=%{public}s", opened.fromID);
            continue;
        }
        for (const QString& removedID : share.removed) {
            if (removedID == m_deviceID)
                continue;
            if (!held.removed.contains(removedID)) {
                held.removed.insert(removedID);
                isChanged = true;
            }
            if (held.pins.remove(removedID) > 0) {
                isChanged = true;
                logEvent(LogCategory::CloudKit, LogLevel::Info,
                         "event=device_key_unpinned device_id=%{public}s from_device_id=%{public}s",
                         removedID, opened.fromID);
            }
        }
        for (const PinnedDevice& pinned : share.pins) {
            if (pinned.deviceID == m_deviceID || held.removed.contains(pinned.deviceID))
                continue;
            const auto known = held.pins.constFind(pinned.deviceID);
            if (known == held.pins.constEnd()) {
                held.pins.insert(pinned.deviceID, pinned);
                isChanged = true;
                logEvent(LogCategory::CloudKit, LogLevel::Info,
                         "event=device_key_pinned device_id=%{public}s from_device_id=%{public}s",
                         pinned.deviceID, opened.fromID);
            } else if (known->publicKey != pinned.publicKey) {
                // A pin never changes: a computer set up again joins under a new id.
                logEvent(LogCategory::CloudKit, LogLevel::Error,
                         "event=device_key_change_refused device_id=%{public}s "
                         "from_device_id=%{public}s",
                         pinned.deviceID, opened.fromID);
            }
        }
        // Only a key this computer never held is news: an old share served again (a server
        // replaying last month's rotation) must not bring back a key a removed computer knows.
        if (share.ring && !held.ring.find(share.ring->current().keyId())) {
            held.ring = share.ring->withEarlier(held.ring);
            isChanged = true;
            logEvent(LogCategory::CloudKit, LogLevel::Info,
                     "event=account_key_rotated key_id=%{public}s from_device_id=%{public}s",
                     held.ring.current().keyId(), opened.fromID);
        }
    }
    co_return isChanged ? std::optional(std::move(held)) : std::nullopt;
}

} // namespace sonavert
