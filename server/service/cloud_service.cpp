#include "server/service/cloud_service.h"

#include "server/service/secret_tokens.h"
#include "server/service/subscription_matcher.h"
#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSet>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcService, "sonavert.cloud.service")

/// An answer built as an object, as the operations' table holds answers.
template <typename T> Result<JsonAnswer> answerOf(Result<T> result) {
    if (!result)
        return result.error();
    return JsonAnswer(std::move(result).value());
}

Result<QJsonObject> objectOf(const Result<JsonAnswer>& answer) {
    if (!answer)
        return answer.error();
    return answer.value().object();
}

Result<QJsonObject> bodyOf(const QByteArray& body) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (!document.isObject())
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("the body must be a JSON object"));
    return document.object();
}

} // namespace

Result<std::unique_ptr<CloudService>> CloudService::create(CloudStorage& storage, Clock& clock,
                                                           ServiceOptions options,
                                                           InstanceShares* shared) {
    auto changeTokenKey =
        storage.settleMetaValue(QStringLiteral("change_token_key"), secret_tokens::newSigningKey());
    SONAVERT_TRY(changeTokenKey);
    auto pairingCodeKey =
        storage.settleMetaValue(QStringLiteral("pairing_code_key"), secret_tokens::newSigningKey());
    SONAVERT_TRY(pairingCodeKey);
    return std::unique_ptr<CloudService>(new CloudService(
        storage, clock, options, {changeTokenKey.value(), pairingCodeKey.value()}, shared));
}

CloudService::CloudService(CloudStorage& storage, Clock& clock, ServiceOptions options,
                           Secrets secrets, InstanceShares* shared)
    : m_ownShares(shared ? nullptr : std::make_unique<InstanceShares>(clock, options.rateLimit))
    , m_shares(shared ? shared : m_ownShares.get())
    , m_storage(storage)
    , m_clock(clock)
    , m_options(options)
    , m_tokens(std::move(secrets.changeTokenKey))
    , m_accounts(storage, clock, m_shares->tokens)
    , m_zones(storage)
    , m_records(storage, m_zones, clock, options.maxAnswerBytes)
    , m_changes(storage, m_zones, m_tokens, options.maxAnswerBytes)
    , m_subscriptions(storage,
                      {options.maxSubscriptionsPerDatabase, options.maxSubscriptionsPerAccount})
    , m_pairing(storage, m_accounts, clock, std::move(secrets.pairingCodeKey),
                options.networkEntrance)
    , m_firstAccount(storage, m_accounts, clock) {
    registerOperations();
}

void CloudService::registerOperations() {
    using Scope = const DatabaseScope&;
    using Body = const QJsonObject&;
    m_operations = {
        {QStringLiteral("account/status"),
         [](const Caller&, Scope, Body) -> Result<JsonAnswer> {
             return JsonAnswer(
                 QJsonObject{{QStringLiteral("status"), QStringLiteral("available")}});
         }},
        {QStringLiteral("users/current"),
         [](const Caller& caller, Scope, Body) -> Result<JsonAnswer> {
             return JsonAnswer(
                 QJsonObject{{QStringLiteral("userRecordName"), caller.account.userRecordName}});
         }},
        {QStringLiteral("zones/modify"),
         [this](const Caller&, Scope scope, Body body) {
             return answerOf(m_zones.modify(scope, body));
         }},
        {QStringLiteral("records/modify"),
         [this](const Caller&, Scope scope, Body body) {
             return answerOf(modifyRecords(scope, body));
         }},
        {QStringLiteral("records/lookup"),
         [this](const Caller&, Scope scope, Body body) { return m_records.lookup(scope, body); }},
        {QStringLiteral("changes/zone"),
         [this](const Caller&, Scope scope, Body body) { return m_changes.fetch(scope, body); }},
        {QStringLiteral("subscriptions/lookup"),
         [this](const Caller&, Scope scope, Body body) {
             return answerOf(m_subscriptions.lookup(scope, body));
         }},
        {QStringLiteral("subscriptions/modify"),
         [this](const Caller&, Scope scope, Body body) {
             return answerOf(m_subscriptions.modify(scope, body));
         }},
        {QStringLiteral("pairing/create"),
         [this](const Caller& caller, Scope, Body) {
             return answerOf(m_pairing.create(caller.account, caller.tokenHash()));
         }},
    };
    // In memory and locked, so any thread answers them: none is a write of the store.
    for (const QString& operation : RelayMailbox::operations())
        m_operations.insert(operation, [this, operation](const Caller&, Scope scope, Body body) {
            const QString database =
                QStringLiteral("%1/%2/%3")
                    .arg(QString::number(scope.accountId), scope.container, scope.environment);
            return answerOf(m_shares->relays.serve(database, operation, body));
        });
}

QString Caller::tokenHash() const {
    return token.isEmpty() ? QString() : secret_tokens::hashBearerToken(token);
}

Result<DatabaseScope> CloudService::scopeFor(const AccountInfo& account, const QString& container,
                                             const QString& environment) {
    if (!json_fields::isValidName(container))
        return cloudError(ServerErrorCode::BadRequest, QStringLiteral("invalid container"));
    if (environment != QLatin1String("production") && environment != QLatin1String("development"))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("environment must be production or development"));
    return DatabaseScope{account.id, container, environment};
}

bool CloudService::isWrite(const QString& operation) {
    static const QSet<QString> writes{
        QStringLiteral("records/modify"),       QStringLiteral("zones/modify"),
        QStringLiteral("subscriptions/modify"), QStringLiteral("pairing/create"),
        QString::fromLatin1(kClaimOperation),   QString::fromLatin1(kFirstAccountOperation)};
    return writes.contains(operation);
}

bool CloudService::answersWithRecords(const QString& operation) {
    return operation == QLatin1String("records/lookup") ||
           operation == QLatin1String("changes/zone");
}

Result<QJsonObject> CloudService::serve(const DatabaseCall& call) {
    return objectOf(respond(call));
}

Result<JsonAnswer> CloudService::respond(const DatabaseCall& call) {
    if (call.kind == CallKind::Tokenless)
        return answerOf(serveTokenless(call));
    if (call.kind == CallKind::ReadinessProbe)
        return answerOf(probeStorage());
    auto account = m_accounts.authenticate(call.token);
    SONAVERT_TRY(account);
    // Only tokens that authenticate are counted: made-up ones would fill the throttle's memory.
    SONAVERT_TRY(throttle().admit(call.token));
    auto scope = scopeFor(account.value(), call.container, call.environment);
    SONAVERT_TRY(scope);
    auto body = bodyOf(call.body);
    SONAVERT_TRY(body);
    return run({account.value(), call.token}, scope.value(), call.operation, body.value());
}

Result<QJsonObject> CloudService::probeStorage() {
    auto version = m_storage.schemaVersion();
    SONAVERT_TRY(version);
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("ready")},
                       {QStringLiteral("schemaVersion"), version.value()}};
}

Result<QJsonObject> CloudService::serveTokenless(const DatabaseCall& call) {
    auto body = bodyOf(call.body);
    SONAVERT_TRY(body);
    if (call.operation == QLatin1String(kClaimOperation))
        return m_pairing.claim(body.value(), call.clientAddress);
    if (call.operation == QLatin1String(kFirstAccountOperation))
        return m_firstAccount.create(body.value(), call.clientAddress);
    return cloudError(ServerErrorCode::NotFound,
                      QStringLiteral("unknown operation \"%1\"").arg(call.operation));
}

Result<QJsonObject> CloudService::call(const AccountInfo& account, const DatabaseScope& scope,
                                       const QString& operation, const QJsonObject& body) {
    return objectOf(run({account, {}}, scope, operation, body));
}

Result<JsonAnswer> CloudService::run(const Caller& caller, const DatabaseScope& scope,
                                     const QString& operation, const QJsonObject& body) {
    const auto it = m_operations.constFind(operation);
    if (it == m_operations.constEnd())
        return cloudError(ServerErrorCode::NotFound,
                          QStringLiteral("unknown operation \"%1\"").arg(operation));
    return it.value()(caller, scope, body);
}

Result<QJsonObject> CloudService::modifyRecords(const DatabaseScope& scope,
                                                const QJsonObject& body) {
    auto modified = m_records.modify(scope, body);
    SONAVERT_TRY(modified);
    // The records are saved whatever happens next: a lost notification is only a lost hint,
    // so the client still hears that its save succeeded.
    if (auto status = notifySubscribers(scope, modified.value()); !status)
        qCWarning(lcService).noquote() << "notifications lost:" << status.error().description;
    return modified.value().answer;
}

Status CloudService::notifySubscribers(const DatabaseScope& scope,
                                       const RecordsModified& modified) {
    auto subscriptions = m_storage.subscriptions(scope);
    SONAVERT_TRY(subscriptions);
    const auto bodies = SubscriptionMatcher(subscriptions.value())
                            .notificationsFor(modified.zoneName, modified.outcomes);
    if (bodies.isEmpty())
        return {};
    auto stored = m_storage.appendNotifications(scope, bodies, m_clock.now().unixMilliseconds(),
                                                m_options.notificationsKept);
    SONAVERT_TRY(stored);
    Q_EMIT notificationsStored(stored.value());
    return {};
}

Result<NotificationBacklog> CloudService::backlog(const DatabaseScope& scope, qint64 sinceId) {
    return m_storage.notificationsSince(scope, sinceId);
}

Result<NotificationBacklog> CloudService::accountBacklog(qint64 accountId, qint64 sinceId) {
    return m_storage.accountNotificationsSince(accountId, sinceId);
}

Result<QHash<qint64, qint64>> CloudService::lastNotificationIds() {
    return m_storage.lastNotificationIds();
}

Result<int> CloudService::compactTombstones(Duration age) {
    const auto cutoff =
        m_clock.now().addSeconds(-std::chrono::duration<double>(age).count()).unixMilliseconds();
    return m_storage.compactTombstones(cutoff);
}

} // namespace sonavert::cloud
