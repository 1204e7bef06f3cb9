#include "src/crypto/encrypting_cloud_database.h"

#include "src/crypto/sealed_fields.h"

namespace sonavert::crypto {

using namespace clouddb;

namespace {

// Sealing fails only when the crypto library cannot start; nothing is sent then, as for a
// request that never left.
ModifyResult notSent(Error error) {
    ModifyResult result;
    result.overall = Status(std::move(error));
    return result;
}

Result<QList<RecordSave>> sealedSaves(QList<RecordSave> saves, const KeyRing* ring,
                                      SavePolicy policy) {
    for (RecordSave& save : saves) {
        if (ring == nullptr) {
            Result<RecordSave> bare = SealedFields::withoutKey(std::move(save), policy);
            SONAVERT_TRY(bare);
            save = std::move(bare).value();
            continue;
        }
        Result<CloudRecord> sealed = SealedFields::seal(std::move(save.record), ring->current());
        SONAVERT_TRY(sealed);
        save.record = std::move(sealed).value();
    }
    return saves;
}

} // namespace

EncryptingCloudDatabase::EncryptingCloudDatabase(std::shared_ptr<CloudDatabase> inner,
                                                 std::optional<KeyRing> ring)
    : m_inner(std::move(inner)) {
    setKeyRing(std::move(ring));
}

void EncryptingCloudDatabase::setKeyRing(std::optional<KeyRing> ring) {
    m_ring = ring ? std::make_shared<const KeyRing>(std::move(*ring)) : nullptr;
}

QCoro::Task<Result<AccountStatus>> EncryptingCloudDatabase::accountStatus(RequestOptions options) {
    return m_inner->accountStatus(std::move(options));
}

QCoro::Task<Result<QString>> EncryptingCloudDatabase::userRecordName(RequestOptions options) {
    return m_inner->userRecordName(std::move(options));
}

QCoro::Task<Status> EncryptingCloudDatabase::saveZone(QString zoneName, RequestOptions options) {
    return m_inner->saveZone(std::move(zoneName), std::move(options));
}

QCoro::Task<Status> EncryptingCloudDatabase::deleteZone(QString zoneName, RequestOptions options) {
    return m_inner->deleteZone(std::move(zoneName), std::move(options));
}

QCoro::Task<ModifyResult> EncryptingCloudDatabase::modifyRecords(QString zoneName,
                                                                 QList<RecordSave> saves,
                                                                 QStringList deletions,
                                                                 SavePolicy policy,
                                                                 RequestOptions options) {
    const std::shared_ptr<const KeyRing> ring = m_ring;
    const std::shared_ptr<QSet<QString>> reported = m_reported;
    const std::shared_ptr<std::function<void()>> onUnknownKey = m_unknownKey;
    bool sawUnknownKey = false;
    Result<QList<RecordSave>> sealed = sealedSaves(std::move(saves), ring.get(), policy);
    if (!sealed)
        co_return notSent(sealed.error());
    ModifyResult result =
        co_await m_inner->modifyRecords(std::move(zoneName), std::move(sealed).value(),
                                        std::move(deletions), policy, std::move(options));
    for (RecordOutcome& outcome : result.outcomes) {
        if (outcome.saved)
            outcome.saved = SealedFields::open(std::move(*outcome.saved), ring.get(),
                                               reported.get(), &sawUnknownKey);
    }
    if (sawUnknownKey && onUnknownKey && *onUnknownKey)
        (*onUnknownKey)();
    co_return result;
}

QCoro::Task<Result<QList<Result<CloudRecord>>>>
EncryptingCloudDatabase::fetchRecords(QString zoneName, QStringList recordNames,
                                      std::optional<QStringList> desiredKeys,
                                      RequestOptions options) {
    const std::shared_ptr<const KeyRing> ring = m_ring;
    const std::shared_ptr<QSet<QString>> reported = m_reported;
    const std::shared_ptr<std::function<void()>> onUnknownKey = m_unknownKey;
    bool sawUnknownKey = false;
    Result<QList<Result<CloudRecord>>> fetched = co_await m_inner->fetchRecords(
        std::move(zoneName), std::move(recordNames), std::move(desiredKeys), std::move(options));
    if (fetched) {
        for (Result<CloudRecord>& record : fetched.value()) {
            if (record)
                record = SealedFields::open(std::move(record).value(), ring.get(), reported.get(),
                                            &sawUnknownKey);
        }
    }
    if (sawUnknownKey && onUnknownKey && *onUnknownKey)
        (*onUnknownKey)();
    co_return fetched;
}

QCoro::Task<Result<ZoneChanges>>
EncryptingCloudDatabase::fetchZoneChanges(QString zoneName, std::optional<QByteArray> token,
                                          RequestOptions options) {
    const std::shared_ptr<const KeyRing> ring = m_ring;
    const std::shared_ptr<QSet<QString>> reported = m_reported;
    const std::shared_ptr<std::function<void()>> onUnknownKey = m_unknownKey;
    bool sawUnknownKey = false;
    Result<ZoneChanges> changes = co_await m_inner->fetchZoneChanges(
        std::move(zoneName), std::move(token), std::move(options));
    if (changes) {
        for (CloudRecord& record : changes.value().changed)
            record =
                SealedFields::open(std::move(record), ring.get(), reported.get(), &sawUnknownKey);
    }
    if (sawUnknownKey && onUnknownKey && *onUnknownKey)
        (*onUnknownKey)();
    co_return changes;
}

QCoro::Task<Result<Subscription>>
EncryptingCloudDatabase::fetchSubscription(QString subscriptionID, RequestOptions options) {
    return m_inner->fetchSubscription(std::move(subscriptionID), std::move(options));
}

QCoro::Task<Status> EncryptingCloudDatabase::saveSubscription(Subscription subscription,
                                                              RequestOptions options) {
    return m_inner->saveSubscription(std::move(subscription), std::move(options));
}

QCoro::Task<Status> EncryptingCloudDatabase::deleteSubscription(QString subscriptionID,
                                                                RequestOptions options) {
    return m_inner->deleteSubscription(std::move(subscriptionID), std::move(options));
}

} // namespace sonavert::crypto
