#pragma once

#include "server/service/account_directory.h"
#include "server/service/change_feed.h"
#include "server/service/change_token_codec.h"
#include "server/service/database_call.h"
#include "server/service/first_account.h"
#include "server/service/pairing_codes.h"
#include "server/service/record_operations.h"
#include "server/service/relay_mailbox.h"
#include "server/service/request_throttle.h"
#include "server/service/subscription_operations.h"
#include "server/service/token_cache.h"
#include "server/service/zone_operations.h"
#include "src/runtime/clock.h"

#include <QHash>
#include <QObject>
#include <functional>
#include <memory>

namespace sonavert::cloud {

struct ServiceOptions {
    /// Push notifications kept per account for reconnecting channels.
    int notificationsKept = 1000;
    /// Database calls allowed per token.
    RateLimit rateLimit;
    /// Subscriptions in one private database (an account's, in one container and
    /// environment); creating one more is QUOTA_EXCEEDED.
    int maxSubscriptionsPerDatabase = 50;
    /// Subscriptions of one account over all its containers and environments: without it an
    /// account could multiply the per-database cap by making up containers.
    int maxSubscriptionsPerAccount = 100;
    /// Bytes of stored records one answer holds, about: changes/zone ends its page there (with
    /// moreComing), records/lookup answers the records past it as per-item LIMIT_EXCEEDED. A
    /// small request for many large records would otherwise build an answer of hundreds of MB.
    qint64 maxAnswerBytes = qint64{4} << 20;
    /// Where invitations send the home's other computers; none when it serves loopback only.
    NetworkEntranceSource networkEntrance;
};

/// What every service of one instance shares: one allowance per token, one cache of the
/// tokens that authenticated, and the songs being passed between computers.
struct InstanceShares {
    InstanceShares(Clock& clock, RateLimit limit)
        : throttle(clock, limit)
        , tokens(clock)
        , relays(clock) {}
    RequestThrottle throttle;
    TokenCache tokens;
    RelayMailbox relays;
};

/// Who makes a call: the account and the token it came with (empty for a call made in-process,
/// without a token).
struct Caller {
    AccountInfo account;
    QString token;
    /// The token's hash, as stored (empty without a token): worked out only by the operations
    /// that need it, not on every call.
    QString tokenHash() const;
};

/// The rules of the cloud database, transport-free: one call per protocol operation, JSON in
/// and JSON (or an Error) out. Every call works inside one account's private database.
class CloudService : public QObject {
    Q_OBJECT
public:
    /// With `shared`, calls are counted and tokens cached there, with every other service of
    /// the instance, instead of in a throttle and cache of its own.
    static Result<std::unique_ptr<CloudService>> create(CloudStorage& storage, Clock& clock,
                                                        ServiceOptions options = {},
                                                        InstanceShares* shared = nullptr);

    AccountDirectory& accounts() { return m_accounts; }
    InstanceShares& shares() { return *m_shares; }
    RequestThrottle& throttle() { return m_shares->throttle; }
    /// The operations of the calls without a token (CallKind::Tokenless). Both write, so
    /// they run on the commit lane, whose single service keeps the guess counts.
    /// A pairing code exchanged for a device token.
    static constexpr char kClaimOperation[] = "pairing/claim";
    /// The first account of the server and its first device's token.
    static constexpr char kFirstAccountOperation[] = "setup/first-account";
    /// Whether the operation writes: those go through the commit lane.
    static bool isWrite(const QString& operation);
    /// Whether the operation answers with stored records, as many as fit the answer's bound:
    /// those answers cost the caller's allowance by their size.
    static bool answersWithRecords(const QString& operation);
    ZoneOperations& zones() { return m_zones; }
    PairingCodes& pairing() { return m_pairing; }

    /// The private database of `account` in a container and environment, or BAD_REQUEST.
    static Result<DatabaseScope> scopeFor(const AccountInfo& account, const QString& container,
                                          const QString& environment);
    /// A call from the wire (a readiness probe or a pairing claim without a token, else):
    /// authenticates the token, counts it against the token's allowance,
    /// finds the database, parses the body and runs the operation.
    Result<JsonAnswer> respond(const DatabaseCall& call);
    /// `respond`'s answer as an object, for callers in the same process.
    Result<QJsonObject> serve(const DatabaseCall& call);
    /// Runs one operation ("records/modify", ...) for the account, as no token of it (a
    /// pairing code made this way mints tokens revoked with no other); NOT_FOUND for an
    /// unknown one.
    Result<QJsonObject> call(const AccountInfo& account, const DatabaseScope& scope,
                             const QString& operation, const QJsonObject& body);
    /// What a push channel reconnecting after `sinceId` missed.
    Result<NotificationBacklog> backlog(const DatabaseScope& scope, qint64 sinceId);
    /// The account's notifications after `sinceId` in every container and environment, as
    /// stored by any instance sharing the database.
    Result<NotificationBacklog> accountBacklog(qint64 accountId, qint64 sinceId);
    /// The newest notification id of every account that has any.
    Result<QHash<qint64, qint64>> lastNotificationIds();
    /// Forgets deletions older than `age`; tokens from before them expire.
    Result<int> compactTombstones(Duration age);

Q_SIGNALS:
    /// Subscriptions fired and their notifications are stored, ids assigned.
    void notificationsStored(const QList<sonavert::cloud::PushNotification>& notifications);

private:
    using Operation =
        std::function<Result<JsonAnswer>(const Caller&, const DatabaseScope&, const QJsonObject&)>;
    /// The secrets every instance sharing the storage uses alike.
    struct Secrets {
        QByteArray changeTokenKey;
        QByteArray pairingCodeKey;
    };

    CloudService(CloudStorage& storage, Clock& clock, ServiceOptions options, Secrets secrets,
                 InstanceShares* shared);
    Result<JsonAnswer> run(const Caller& caller, const DatabaseScope& scope,
                           const QString& operation, const QJsonObject& body);
    void registerOperations();
    Result<QJsonObject> modifyRecords(const DatabaseScope& scope, const QJsonObject& body);
    Result<QJsonObject> serveTokenless(const DatabaseCall& call);
    /// {"status": "ready", "schemaVersion": N} once the storage answered a query.
    Result<QJsonObject> probeStorage();
    Status notifySubscribers(const DatabaseScope& scope, const RecordsModified& modified);

    /// Set when the service has no instance to share with; declared first, as the members
    /// below are built with what it holds.
    std::unique_ptr<InstanceShares> m_ownShares;
    InstanceShares* m_shares;
    CloudStorage& m_storage;
    Clock& m_clock;
    ServiceOptions m_options;
    ChangeTokenCodec m_tokens;
    AccountDirectory m_accounts;
    ZoneOperations m_zones;
    RecordOperations m_records;
    ChangeFeed m_changes;
    SubscriptionOperations m_subscriptions;
    PairingCodes m_pairing;
    FirstAccountSetup m_firstAccount;
    QHash<QString, Operation> m_operations;
};

} // namespace sonavert::cloud
