#pragma once

#include "src/clouddb/cloud_error.h"
#include "src/clouddb/cloud_types.h"

#include <QCoro/QCoroTask>
#include <QObject>

namespace sonavert::clouddb {

/// The user's private cloud database, as a device sees it. Every operation is awaited and
/// gives its errors as values with the platform's codes. Requests honour
/// `RequestOptions::timeout` (then fail with NetworkFailure) and `cancellation` (then fail
/// with OperationCancelled). Implementations: the HTTP client of `sonavert-cloud` and an
/// in-memory database for tests.
class CloudDatabase {
public:
    virtual ~CloudDatabase() = default;

    virtual QCoro::Task<Result<AccountStatus>> accountStatus(RequestOptions options = {}) = 0;
    /// The user's stable record name (never the account's name or token).
    virtual QCoro::Task<Result<QString>> userRecordName(RequestOptions options = {}) = 0;

    /// Creates a zone; creating an existing zone succeeds.
    virtual QCoro::Task<Status> saveZone(QString zoneName, RequestOptions options = {}) = 0;
    virtual QCoro::Task<Status> deleteZone(QString zoneName, RequestOptions options = {}) = 0;

    /// Saves and deletes records of one zone in one request. A whole-request failure comes
    /// back as the overall error with no outcomes.
    virtual QCoro::Task<ModifyResult> modifyRecords(QString zoneName, QList<RecordSave> saves,
                                                    QStringList deletions, SavePolicy policy,
                                                    RequestOptions options = {}) = 0;
    /// Records by name, one result per name in order: the record, or an error (UnknownItem
    /// for a missing one). `desiredKeys` limits the fields returned; an empty list returns
    /// records without fields (existence only).
    virtual QCoro::Task<Result<QList<Result<CloudRecord>>>>
    fetchRecords(QString zoneName, QStringList recordNames,
                 std::optional<QStringList> desiredKeys = std::nullopt,
                 RequestOptions options = {}) = 0;
    /// Everything changed since `token` (all of the zone without one), following the server's
    /// pages until nothing more is coming.
    virtual QCoro::Task<Result<ZoneChanges>> fetchZoneChanges(QString zoneName,
                                                              std::optional<QByteArray> token,
                                                              RequestOptions options = {}) = 0;

    /// The subscription with this id; UnknownItem when there is none.
    virtual QCoro::Task<Result<Subscription>> fetchSubscription(QString subscriptionID,
                                                                RequestOptions options = {}) = 0;
    virtual QCoro::Task<Status> saveSubscription(Subscription subscription,
                                                 RequestOptions options = {}) = 0;
    /// Deletes a subscription; UnknownItem when there is none.
    virtual QCoro::Task<Status> deleteSubscription(QString subscriptionID,
                                                   RequestOptions options = {}) = 0;
};

/// Notifications of the account's subscriptions as they fire. Reconnects by itself after a
/// loss and resumes where it left off; `resetRequired` says that notifications were lost and
/// the device should fetch everything it cares about.
class PushChannel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual bool isConnected() const = 0;

Q_SIGNALS:
    void connected();
    void disconnected(const QString& reason);
    void notificationReceived(const sonavert::clouddb::PushNotification& notification);
    void resetRequired();
};

} // namespace sonavert::clouddb
