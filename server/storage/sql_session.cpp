#include "sql_session.h"

#include <QLoggingCategory>
#include <QSqlError>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcSession, "sonavert.cloud.storage")
} // namespace

Error storageError(const QString& detail) {
    return Error{QStringLiteral("Storage"), 0, detail, {}, {}, {}};
}

SqlSession::SqlSession(QSqlDatabase db, QString beginWriteStatement)
    : m_db(std::move(db))
    , m_beginWriteStatement(std::move(beginWriteStatement)) {}

Result<QSqlQuery> SqlSession::run(const QString& sql, const QVariantList& binds) {
    auto result = runOnce(sql, binds);
    // Inside a transaction a lost connection took the transaction with it: only the caller can
    // start over.
    if (result || m_isInTransaction || !reopenIfLost())
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
    m_db.close();
    const bool isOpen = m_db.open();
    if (isOpen)
        qCWarning(lcSession) << "database connection was lost and is open again";
    return isOpen;
}

Result<QSqlQuery> SqlSession::runOnce(const QString& sql, const QVariantList& binds) {
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // Some engines cannot prepare every statement (PostgreSQL and DDL): run plain ones directly.
    if (binds.isEmpty()) {
        if (!query.exec(sql))
            return storageError(query.lastError().text() + QStringLiteral(" in: ") + sql);
        return query;
    }
    if (!query.prepare(sql))
        return storageError(query.lastError().text() + QStringLiteral(" in: ") + sql);
    for (const QVariant& value : binds)
        query.addBindValue(value);
    if (!query.exec())
        return storageError(query.lastError().text() + QStringLiteral(" in: ") + sql);
    return query;
}

Result<std::optional<QVariant>> SqlSession::scalar(const QString& sql, const QVariantList& binds) {
    auto query = run(sql, binds);
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<QVariant>{};
    return std::optional<QVariant>{query.value().value(0)};
}

Status SqlSession::begin() {
    auto begun = run(m_beginWriteStatement);
    if (!begun)
        return begun.error();
    m_isInTransaction = true;
    return {};
}

Status SqlSession::commit() {
    m_isInTransaction = false;
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("COMMIT")))
        return storageError(query.lastError().text());
    return {};
}

void SqlSession::rollback() {
    m_isInTransaction = false;
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK"));
}

} // namespace sonavert::cloud
