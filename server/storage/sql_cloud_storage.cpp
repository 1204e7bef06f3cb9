#include "server/storage/sql_cloud_storage.h"

#include "server/storage/migration_runner.h"
#include "server/storage/sql_dialect.h"
#include "server/wire/server_error.h"

#include <QAtomicInteger>
#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

QString newConnectionName() {
    static QAtomicInteger<quint64> counter;
    return QStringLiteral("sonavert-cloud-%1").arg(++counter);
}

QJsonObject toObject(const QVariant& text) {
    return QJsonDocument::fromJson(text.toString().toUtf8()).object();
}

} // namespace

QVariantList SqlCloudStorage::scopeBinds(const DatabaseScope& scope) {
    return {scope.accountId, scope.container, scope.environment};
}

ZoneState SqlCloudStorage::zoneStateOf(const SqlRows& row, int first) {
    ZoneState state;
    state.zoneId = row.value(first).toLongLong();
    state.status = row.value(first + 1).toInt() != 0   ? ZoneStatus::Live
                   : row.value(first + 2).toInt() != 0 ? ZoneStatus::DeletedByUser
                                                       : ZoneStatus::Missing;
    state.lastSequence = row.value(first + 3).toLongLong();
    state.compactedThrough = row.value(first + 4).toLongLong();
    return state;
}

Result<std::unique_ptr<SqlCloudStorage>>
SqlCloudStorage::open(std::unique_ptr<SqlDialect> dialect) {
    const QString connectionName = newConnectionName();
    std::unique_ptr<SqlCloudStorage> storage;
    {
        // The connection handle must be gone before a failed storage removes the connection.
        auto db = dialect->open(connectionName);
        if (!db) {
            QSqlDatabase::removeDatabase(connectionName);
            return db.error();
        }
        storage.reset(new SqlCloudStorage(std::move(dialect), db.value(), connectionName));
    }
    MigrationRunner migrations(storage->m_session, storage->m_dialect->migrationsDirectory(),
                               storage->m_dialect->migrationLockStatement());
    SONAVERT_TRY(migrations.apply());
    return storage;
}

SqlCloudStorage::SqlCloudStorage(std::unique_ptr<SqlDialect> dialect, QSqlDatabase db,
                                 QString connectionName)
    : m_dialect(std::move(dialect))
    , m_connectionName(std::move(connectionName))
    , m_session(db, m_dialect->beginWriteStatement(), m_dialect->keepsPreparedStatements()) {}

SqlCloudStorage::~SqlCloudStorage() {
    m_session.close();
    m_session.database() = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

Result<int> SqlCloudStorage::schemaVersion() {
    auto version = m_session.scalar(QStringLiteral("SELECT MAX(version) FROM schema_migrations"));
    SONAVERT_TRY(version);
    return version.value() ? version.value()->toInt() : 0;
}

Result<QByteArray> SqlCloudStorage::settleMetaValue(const QString& key,
                                                    const QByteArray& candidate) {
    auto inserted = m_session.run(
        QStringLiteral("INSERT INTO server_meta (key, value) VALUES (?, ?) ON CONFLICT DO NOTHING"),
        {key, QString::fromLatin1(candidate)});
    SONAVERT_TRY(inserted);
    auto value =
        m_session.scalar(QStringLiteral("SELECT value FROM server_meta WHERE key = ?"), {key});
    SONAVERT_TRY(value);
    if (!value.value())
        return storageError(QStringLiteral("meta value vanished: ") + key);
    return value.value()->toString().toLatin1();
}

Result<AccountInfo> SqlCloudStorage::createAccount(const QString& name,
                                                   const QString& userRecordName, qint64 nowMs) {
    auto existing = accountByName(name);
    SONAVERT_TRY(existing);
    if (existing.value())
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("an account named \"%1\" exists").arg(name));
    auto id = m_session.scalar(QStringLiteral("INSERT INTO accounts (name, user_record_name, "
                                              "created_ms) VALUES (?, ?, ?) RETURNING id"),
                               {name, userRecordName, nowMs});
    SONAVERT_TRY(id);
    return AccountInfo{id.value().value_or(0).toLongLong(), name, userRecordName};
}

Result<std::optional<AccountInfo>>
SqlCloudStorage::createFirstAccount(const QString& name, const QString& userRecordName,
                                    qint64 nowMs) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    // The marker row is the lock: a second transaction inserting it waits for the first to
    // commit and then inserts nothing. The count covers accounts made by the administration
    // command, which never set it.
    auto marked = m_session.run(QStringLiteral("INSERT INTO server_meta (key, value) VALUES "
                                               "('first_account', ?) ON CONFLICT DO NOTHING"),
                                {name});
    SONAVERT_TRY(marked);
    if (marked.value().numRowsAffected() == 0)
        return std::optional<AccountInfo>{};
    auto existing = m_session.scalar(QStringLiteral("SELECT COUNT(*) FROM accounts"));
    SONAVERT_TRY(existing);
    if (existing.value().value_or(0).toLongLong() > 0) {
        // Shut for good, also should those accounts ever go.
        SONAVERT_TRY(transaction.commit());
        return std::optional<AccountInfo>{};
    }
    auto account = createAccount(name, userRecordName, nowMs);
    SONAVERT_TRY(account);
    SONAVERT_TRY(transaction.commit());
    return std::optional<AccountInfo>{account.value()};
}

Result<std::optional<AccountInfo>> SqlCloudStorage::oneAccount(const QString& sql,
                                                               const QVariantList& binds) {
    auto query = m_session.run(sql, binds);
    SONAVERT_TRY(query);
    SqlRows& row = query.value();
    if (!row.next())
        return std::optional<AccountInfo>{};
    return std::optional<AccountInfo>{
        AccountInfo{row.value(0).toLongLong(), row.value(1).toString(), row.value(2).toString()}};
}

Result<std::optional<AccountInfo>> SqlCloudStorage::accountByName(const QString& name) {
    return oneAccount(
        QStringLiteral("SELECT id, name, user_record_name FROM accounts WHERE name = ?"), {name});
}

Result<std::optional<AccountInfo>> SqlCloudStorage::accountByTokenHash(const QString& tokenHash) {
    return oneAccount(QStringLiteral("SELECT a.id, a.name, a.user_record_name FROM accounts a "
                                     "JOIN account_tokens t ON t.account_id = a.id "
                                     "WHERE t.token_hash = ?"),
                      {tokenHash});
}

Result<QList<TokenRevocation>> SqlCloudStorage::tokenRevocationsSince(qint64 afterId) {
    auto query = m_session.run(
        QStringLiteral("SELECT id, token_hash FROM token_revocations WHERE id > ? ORDER BY id"),
        {afterId});
    SONAVERT_TRY(query);
    QList<TokenRevocation> revocations;
    while (query.value().next())
        revocations.append(
            {query.value().value(0).toLongLong(), query.value().value(1).toString()});
    return revocations;
}

Result<ZoneState> SqlCloudStorage::zone(const DatabaseScope& scope, const QString& zoneName) {
    auto query = m_session.run(
        QStringLiteral("SELECT id, is_live, deleted_by_user, last_sequence, compacted_through "
                       "FROM zones WHERE account_id = ? AND container = ? AND environment = ? "
                       "AND name = ?"),
        scopeBinds(scope) << zoneName);
    SONAVERT_TRY(query);
    SqlRows& row = query.value();
    if (!row.next())
        return ZoneState{};
    return zoneStateOf(row, 0);
}

Result<ZoneState> SqlCloudStorage::createZone(const DatabaseScope& scope, const QString& zoneName) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    auto current = zone(scope, zoneName);
    if (!current || current.value().status == ZoneStatus::Live)
        return current;
    // A fresh row, and so a fresh id: tokens of the earlier incarnation must not match it.
    auto cleared = m_session.run(QStringLiteral("DELETE FROM zones WHERE account_id = ? AND "
                                                "container = ? AND environment = ? AND name = ?"),
                                 scopeBinds(scope) << zoneName);
    SONAVERT_TRY(cleared);
    auto inserted = m_session.run(QStringLiteral("INSERT INTO zones (account_id, container, "
                                                 "environment, name, is_live) VALUES "
                                                 "(?, ?, ?, ?, 1)"),
                                  scopeBinds(scope) << zoneName);
    SONAVERT_TRY(inserted);
    auto created = zone(scope, zoneName);
    if (!created)
        return created;
    SONAVERT_TRY(transaction.commit());
    return created;
}

Status SqlCloudStorage::deleteZone(const DatabaseScope& scope, const QString& zoneName,
                                   bool byUser) {
    SqlTransaction transaction(m_session);
    if (auto status = transaction.begin(); !status)
        return status;
    auto current = zone(scope, zoneName);
    SONAVERT_TRY(current);
    if (current.value().status != ZoneStatus::Live)
        return transaction.commit();
    const qint64 zoneId = current.value().zoneId;
    auto records = m_session.run(QStringLiteral("DELETE FROM records WHERE zone_id = ?"), {zoneId});
    SONAVERT_TRY(records);
    auto marked = byUser
                      ? m_session.run(QStringLiteral("UPDATE zones SET is_live = 0, "
                                                     "deleted_by_user = 1 WHERE id = ?"),
                                      {zoneId})
                      : m_session.run(QStringLiteral("DELETE FROM zones WHERE id = ?"), {zoneId});
    SONAVERT_TRY(marked);
    return transaction.commit();
}

Result<QList<QJsonObject>> SqlCloudStorage::subscriptions(const DatabaseScope& scope) {
    auto query = m_session.run(QStringLiteral("SELECT body FROM subscriptions WHERE account_id = ? "
                                              "AND container = ? AND environment = ? "
                                              "ORDER BY subscription_id"),
                               scopeBinds(scope));
    SONAVERT_TRY(query);
    QList<QJsonObject> result;
    while (query.value().next())
        result.append(toObject(query.value().value(0)));
    return result;
}

Result<std::optional<QJsonObject>> SqlCloudStorage::subscription(const DatabaseScope& scope,
                                                                 const QString& subscriptionID) {
    auto body = m_session.scalar(QStringLiteral("SELECT body FROM subscriptions WHERE account_id "
                                                "= ? AND container = ? AND environment = ? AND "
                                                "subscription_id = ?"),
                                 scopeBinds(scope) << subscriptionID);
    SONAVERT_TRY(body);
    if (!body.value())
        return std::optional<QJsonObject>{};
    return std::optional<QJsonObject>{toObject(*body.value())};
}

Status SqlCloudStorage::putSubscription(const DatabaseScope& scope, const QString& subscriptionID,
                                        const QJsonObject& subscription) {
    auto stored = m_session.run(
        QStringLiteral("INSERT INTO subscriptions (account_id, container, environment, "
                       "subscription_id, body) VALUES (?, ?, ?, ?, ?) ON CONFLICT (account_id, "
                       "container, environment, subscription_id) DO UPDATE SET body = "
                       "excluded.body"),
        scopeBinds(scope) << subscriptionID << storedJsonText(subscription));
    SONAVERT_TRY(stored);
    return {};
}

Result<bool> SqlCloudStorage::deleteSubscription(const DatabaseScope& scope,
                                                 const QString& subscriptionID) {
    auto removed = m_session.run(QStringLiteral("DELETE FROM subscriptions WHERE account_id = ? "
                                                "AND container = ? AND environment = ? AND "
                                                "subscription_id = ?"),
                                 scopeBinds(scope) << subscriptionID);
    SONAVERT_TRY(removed);
    return removed.value().numRowsAffected() > 0;
}

Result<int> SqlCloudStorage::subscriptionCount(qint64 accountId) {
    auto count = m_session.scalar(
        QStringLiteral("SELECT COUNT(*) FROM subscriptions WHERE account_id = ?"), {accountId});
    SONAVERT_TRY(count);
    return count.value().value_or(0).toInt();
}

} // namespace sonavert::cloud
