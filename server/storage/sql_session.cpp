#include "sql_session.h"

#include <QSqlError>

namespace sonavert::cloud {

Error storageError(const QString& detail) {
    return Error{QStringLiteral("Storage"), 0, detail, {}, {}, {}};
}

SqlSession::SqlSession(QSqlDatabase db, QString beginWriteStatement)
    : m_db(std::move(db))
    , m_beginWriteStatement(std::move(beginWriteStatement)) {}

Result<QSqlQuery> SqlSession::run(const QString& sql, const QVariantList& binds) {
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
    QSqlQuery query(m_db);
    if (!query.exec(m_beginWriteStatement))
        return storageError(query.lastError().text());
    return {};
}

Status SqlSession::commit() {
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("COMMIT")))
        return storageError(query.lastError().text());
    return {};
}

void SqlSession::rollback() {
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK"));
}

} // namespace sonavert::cloud
