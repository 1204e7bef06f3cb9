#pragma once

#include "src/clouddb/cloud_database.h"

#include <QPointer>
#include <deque>
#include <map>
#include <memory>

namespace sonavert::clouddb {

class InMemoryCloudDatabase;
class InMemoryPushChannel;

/// A whole cloud in memory, on the test's clock: accounts with zones, records, change
/// sequences, subscriptions and push. Devices connect with `connect(account)`; what one
/// device saves, the others see. Server-side faults (a zone deleted by its owner, expired
/// tokens, a server clock that runs ahead) are set here; per-device request faults on the
/// database each device gets.
class InMemoryCloud : public std::enable_shared_from_this<InMemoryCloud> {
public:
    static std::shared_ptr<InMemoryCloud> create(std::shared_ptr<Clock> clock);

    std::shared_ptr<InMemoryCloudDatabase> connect(const QString& account);
    std::unique_ptr<InMemoryPushChannel> pushChannel(const QString& account);

    /// Deletes the zone as its owner would: operations on it fail with UserDeletedZone until
    /// it is created again.
    void deleteZoneByUser(const QString& account, const QString& zoneName);
    /// Every change token issued so far is refused with ChangeTokenExpired from now on.
    void expireChangeTokens() { ++m_tokenEpoch; }
    void setAccountStatus(const QString& account, AccountStatus status);
    /// Server time minus local time, in seconds, for modification dates.
    void setServerClockOffset(double seconds) { m_serverClockOffset = seconds; }
    /// Closes every open push channel (they reconnect on their own).
    void dropPushChannels();

    /// The live record, for assertions.
    std::optional<CloudRecord> record(const QString& account, const QString& zoneName,
                                      const QString& recordName) const;
    /// Live records of a zone, by name.
    QStringList recordNames(const QString& account, const QString& zoneName) const;

private:
    friend class InMemoryCloudDatabase;
    friend class InMemoryPushChannel;

    struct StoredRecord {
        CloudRecord record;
        qint64 sequence = 0;
        bool isDeleted = false;
    };
    struct Zone {
        bool exists = false;
        bool isDeletedByUser = false;
        qint64 generation = 0;
        qint64 sequence = 0;
        std::map<QString, StoredRecord> records;
    };
    struct Account {
        QString userRecordName;
        AccountStatus status = AccountStatus::Available;
        std::map<QString, Zone> zones;
        std::map<QString, Subscription> subscriptions;
        qint64 lastNotificationID = 0;
        std::deque<PushNotification> backlog;
        /// Owned by the devices that opened them, which close them without telling.
        QList<QPointer<InMemoryPushChannel>> channels;
    };

    explicit InMemoryCloud(std::shared_ptr<Clock> clock);
    Account& account(const QString& name);
    Timestamp serverNow() const { return m_clock->now().addSeconds(m_serverClockOffset); }
    /// The zone, or the error an operation on it meets.
    Result<Zone*> liveZone(Account& account, const QString& zoneName);
    void createZone(Account& account, const QString& zoneName);
    void deleteZone(Account& account, const QString& zoneName, bool byUser);
    /// Applies one save or deletion and notifies the subscriptions it matches.
    static bool hasLiveRecord(const Zone& zone, const QString& recordName);
    RecordOutcome applySave(const QString& accountName, Zone& zone, const QString& zoneName,
                            const RecordSave& save, SavePolicy policy);
    RecordOutcome applyDelete(const QString& accountName, Zone& zone, const QString& zoneName,
                              const QString& recordName);
    void notify(const QString& accountName, const QString& zoneName, const CloudRecord& record,
                const QString& reason);
    QByteArray makeToken(const QString& account, const QString& zoneName, const Zone& zone) const;
    /// The sequence a token continues from, or the error that refuses it.
    Result<qint64> sequenceOf(const QByteArray& token, const QString& account,
                              const QString& zoneName, const Zone& zone) const;

    std::shared_ptr<Clock> m_clock;
    std::map<QString, Account> m_accounts;
    qint64 m_nextGeneration = 1;
    qint64 m_tokenEpoch = 1;
    double m_serverClockOffset = 0;
};

/// What a device's next requests meet.
struct RequestFault {
    enum class Kind {
        Fail,      ///< answers with `error` (after `delay`)
        Hang,      ///< never answers; only cancellation ends it
        Delay,     ///< answers normally after `delay`
        LateAnswer ///< answers normally after `delay` even when cancelled meanwhile
    };
    Kind kind = Kind::Fail;
    Error error;
    Duration delay{0};
};

/// One device's connection to the in-memory cloud, with injectable request faults.
class InMemoryCloudDatabase final : public CloudDatabase {
public:
    InMemoryCloudDatabase(std::shared_ptr<InMemoryCloud> cloud, QString account);

    QCoro::Task<Result<AccountStatus>> accountStatus(RequestOptions options) override;
    QCoro::Task<Result<QString>> userRecordName(RequestOptions options) override;
    QCoro::Task<Status> saveZone(QString zoneName, RequestOptions options) override;
    QCoro::Task<Status> deleteZone(QString zoneName, RequestOptions options) override;
    QCoro::Task<ModifyResult> modifyRecords(QString zoneName, QList<RecordSave> saves,
                                            QStringList deletions, SavePolicy policy,
                                            RequestOptions options) override;
    QCoro::Task<Result<QList<Result<CloudRecord>>>>
    fetchRecords(QString zoneName, QStringList recordNames, std::optional<QStringList> desiredKeys,
                 RequestOptions options) override;
    QCoro::Task<Result<ZoneChanges>> fetchZoneChanges(QString zoneName,
                                                      std::optional<QByteArray> token,
                                                      RequestOptions options) override;
    QCoro::Task<Result<Subscription>> fetchSubscription(QString subscriptionID,
                                                        RequestOptions options) override;
    QCoro::Task<Status> saveSubscription(Subscription subscription,
                                         RequestOptions options) override;
    QCoro::Task<Status> deleteSubscription(QString subscriptionID, RequestOptions options) override;

    /// Queues a fault for the next request of `operation` ("modifyRecords", "fetchRecords",
    /// "fetchZoneChanges", "saveZone", "accountStatus", ...).
    void addFault(const QString& operation, RequestFault fault);
    /// Saving this record fails with `error` (a per-record error) until cleared.
    void failRecord(const QString& recordName, Error error) { m_recordErrors[recordName] = error; }
    void clearRecordFailures() { m_recordErrors.clear(); }
    /// Every request takes this long.
    Duration latency{0};
    /// Requests made, by operation name.
    QMap<QString, int> requestCounts;
    /// Requests that were cancelled while waiting for their answer.
    int cancelledCount = 0;

private:
    /// Waits as the request's faults and latency say; gives the error to answer with, if any.
    QCoro::Task<std::optional<Error>> enter(QString operation, RequestOptions options);

    std::shared_ptr<InMemoryCloud> m_cloud;
    QString m_account;
    std::map<QString, std::deque<RequestFault>> m_faults;
    std::map<QString, Error> m_recordErrors;
};

/// Push notifications of one account, delivered from the event loop like network traffic.
class InMemoryPushChannel final : public PushChannel {
    Q_OBJECT
public:
    InMemoryPushChannel(std::shared_ptr<InMemoryCloud> cloud, QString account);
    ~InMemoryPushChannel() override;

    void open() override;
    void close() override;
    bool isConnected() const override { return m_isConnected; }

private:
    friend class InMemoryCloud;
    void deliver(const PushNotification& notification);
    void drop();

    std::shared_ptr<InMemoryCloud> m_cloud;
    QString m_account;
    bool m_isConnected = false;
    qint64 m_lastSeenID = 0;
};

} // namespace sonavert::clouddb
