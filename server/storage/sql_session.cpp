#include "server/storage/sql_session.h"

#include "server/storage/cloud_storage.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSqlError>
#include <atomic>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcSession, "sonavert.cloud.storage")

// One count for the process: failures are rare, so the threads never contend for it.
std::atomic<quint64> g_storageErrors{0};
} // namespace

Error storageError(const QString& detail) {
    g_storageErrors.fetch_add(1, std::memory_order_relaxed);
    return makeError(QStringLiteral("Storage"), 0, detail);
}

QString storedJsonText(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

quint64 storageErrorCount() {
    return g_storageErrors.load(std::memory_order_relaxed);
}

SqlSession::SqlSession(QSqlDatabase db, QString beginWriteStatement, bool keepsPreparedStatements)
    : m_db(db)
    , m_beginWriteStatement(std::move(beginWriteStatement))
    , m_keepsPreparedStatements(keepsPreparedStatements) {}

void SqlSession::close() {
    // Prepared statements belong to the connection and go with it.
    m_prepared.clear();
    m_db.close();
}

Result<SqlRows> SqlSession::run(const QString& sql, const QVariantList& binds) {
    auto result = runOnce(sql, binds);
    // Inside a transaction a lost connection took the transaction with it: only the caller can
    // start over.
    if (result || m_depth > 0 || !reopenIfLost())
        return result;
    return runOnce(sql, binds);
}

bool SqlSession::reopenIfLost() {
    // The driver reports a dropped connection like any failed statement; a trivial query tells
    // the two apart.
    // The driver may already have closed a connection it found broken.
    QSqlQuery probe(m_db);
    if (m_db.isOpen() && probe.exec(QStringLiteral("SELECT 1")))
        return false;
    close();
    const bool isOpen = m_db.open();
    if (isOpen)
        qCWarning(lcSession) << "database connection was lost and is open again";
    return isOpen;
}

Result<std::shared_ptr<QSqlQuery>> SqlSession::prepared(const QString& sql) {
    // A kept statement whose rows someone still reads is not run again under them.
    const auto kept = m_prepared.value(sql);
    if (kept && kept.use_count() <= 2)
        return kept;
    auto query = std::make_shared<QSqlQuery>(m_db);
    query->setForwardOnly(true);
    if (!query->prepare(sql))
        return storageError(query->lastError().text() + QStringLiteral(" in: ") + sql);
    if (m_keepsPreparedStatements && !kept)
        m_prepared.insert(sql, query);
    return query;
}

Result<SqlRows> SqlSession::runOnce(const QString& sql, const QVariantList& binds) {
    // Some engines cannot prepare every statement (PostgreSQL and DDL): run plain ones directly.
    if (binds.isEmpty()) {
        auto query = std::make_shared<QSqlQuery>(m_db);
        query->setForwardOnly(true);
        if (!query->exec(sql))
            return storageError(query->lastError().text() + QStringLiteral(" in: ") + sql);
        return SqlRows(std::move(query));
    }
    auto query = prepared(sql);
    SONAVERT_TRY(query);
    QSqlQuery& statement = *query.value();
    for (int i = 0; i < binds.size(); ++i)
        statement.bindValue(i, binds[i]);
    if (!statement.exec())
        return storageError(statement.lastError().text() + QStringLiteral(" in: ") + sql);
    return SqlRows(std::move(query.value()));
}

Result<std::optional<QVariant>> SqlSession::scalar(const QString& sql, const QVariantList& binds) {
    auto query = run(sql, binds);
    SONAVERT_TRY(query);
    if (!query.value().next())
        return std::optional<QVariant>{};
    return std::optional<QVariant>{query.value().value(0)};
}

Status SqlSession::begin() {
    // Inside a transaction a nested one is a savepoint: it can be undone alone, and only the
    // outermost commit reaches the disk.
    auto begun =
        run(m_depth == 0 ? m_beginWriteStatement : QStringLiteral("SAVEPOINT s%1").arg(m_depth));
    SONAVERT_TRY(begun);
    ++m_depth;
    return {};
}

Status SqlSession::commit() {
    if (m_depth == 0)
        return storageError(QStringLiteral("commit without a transaction"));
    QSqlQuery query(m_db);
    if (query.exec(m_depth == 1 ? QStringLiteral("COMMIT")
                                : QStringLiteral("RELEASE s%1").arg(m_depth - 1))) {
        --m_depth;
        return {};
    }
    // Nothing of a transaction that failed to commit may stay behind for the next one to
    // commit by accident (PostgreSQL keeps a failed savepoint open).
    const QString failure = query.lastError().text();
    rollback();
    return storageError(failure);
}

void SqlSession::rollback() {
    if (m_depth == 0)
        return;
    --m_depth;
    QSqlQuery query(m_db);
    if (m_depth == 0) {
        query.exec(QStringLiteral("ROLLBACK"));
        return;
    }
    query.exec(QStringLiteral("ROLLBACK TO s%1").arg(m_depth));
    query.exec(QStringLiteral("RELEASE s%1").arg(m_depth));
}

} // namespace sonavert::cloud
