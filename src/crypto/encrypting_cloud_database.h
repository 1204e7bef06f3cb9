#pragma once

#include "src/clouddb/cloud_database.h"
#include "src/crypto/key_ring.h"

#include <QSet>
#include <functional>
#include <memory>

namespace sonavert::crypto {

/// A cloud database whose private playback fields (SealedFields) are sealed on the way to the
/// server and opened on the way back, so the services above it read every record exactly as
/// they wrote it while the server keeps only ciphertext. Saves seal under the ring's current
/// key; reads open a presence with whichever key of the ring it names, a command only with the
/// current one, and drop what is in clear. Without a ring (a device not verified yet) private
/// fields are neither sent nor read: see SealedFields::withoutKey.
class EncryptingCloudDatabase : public clouddb::CloudDatabase {
public:
    EncryptingCloudDatabase(std::shared_ptr<clouddb::CloudDatabase> inner,
                            std::optional<KeyRing> ring);

    /// Takes a new ring (the key arrived, or a rotation); requests under way finish with the
    /// one they began with.
    void setKeyRing(std::optional<KeyRing> ring);
    bool hasKeyRing() const { return m_ring != nullptr; }
    /// Called when a record read names a key the ring lacks: a rotated key is on its way.
    void setUnknownKeyHandler(std::function<void()> handler) {
        m_unknownKey = std::make_shared<std::function<void()>>(std::move(handler));
    }

    QCoro::Task<Result<clouddb::AccountStatus>>
    accountStatus(clouddb::RequestOptions options = {}) override;
    QCoro::Task<Result<QString>> userRecordName(clouddb::RequestOptions options = {}) override;
    QCoro::Task<Status> saveZone(QString zoneName, clouddb::RequestOptions options = {}) override;
    QCoro::Task<Status> deleteZone(QString zoneName, clouddb::RequestOptions options = {}) override;
    QCoro::Task<clouddb::ModifyResult>
    modifyRecords(QString zoneName, QList<clouddb::RecordSave> saves, QStringList deletions,
                  clouddb::SavePolicy policy, clouddb::RequestOptions options = {}) override;
    QCoro::Task<Result<QList<Result<clouddb::CloudRecord>>>>
    fetchRecords(QString zoneName, QStringList recordNames,
                 std::optional<QStringList> desiredKeys = std::nullopt,
                 clouddb::RequestOptions options = {}) override;
    QCoro::Task<Result<clouddb::ZoneChanges>>
    fetchZoneChanges(QString zoneName, std::optional<QByteArray> token,
                     clouddb::RequestOptions options = {}) override;
    QCoro::Task<Result<clouddb::Subscription>>
    fetchSubscription(QString subscriptionID, clouddb::RequestOptions options = {}) override;
    QCoro::Task<Status> saveSubscription(clouddb::Subscription subscription,
                                         clouddb::RequestOptions options = {}) override;
    QCoro::Task<Status> deleteSubscription(QString subscriptionID,
                                           clouddb::RequestOptions options = {}) override;

private:
    std::shared_ptr<clouddb::CloudDatabase> m_inner;
    std::shared_ptr<const KeyRing> m_ring; ///< null until this device holds the key
    /// Sealed texts already reported as unreadable; shared with requests under way, which may
    /// finish after this object.
    std::shared_ptr<QSet<QString>> m_reported = std::make_shared<QSet<QString>>();
    std::shared_ptr<std::function<void()>> m_unknownKey;
};

} // namespace sonavert::crypto
