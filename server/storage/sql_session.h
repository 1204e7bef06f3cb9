#pragma once

#include "runtime/result.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariantList>

namespace sonavert::cloud {

/// Runs statements on one connection and turns driver failures into internal errors. A
/// connection the database server dropped (a restart) is reopened on the next statement that
/// finds it dead outside a transaction, and that statement runs once more.
class SqlSession {
public:
    SqlSession(QSqlDatabase db, QString beginWriteStatement);

    /// Prepares, binds positionally and runs one statement.
    Result<QSqlQuery> run(const QString& sql, const QVariantList& binds = {});
    /// The first row's first column, or nothing when the statement returned no row.
    Result<std::optional<QVariant>> scalar(const QString& sql, const QVariantList& binds = {});

    Status begin();
    Status commit();
    void rollback();

    QSqlDatabase& database() { return m_db; }

private:
    Result<QSqlQuery> runOnce(const QString& sql, const QVariantList& binds);
    /// After a failed statement: whether the connection was lost and is open again now.
    bool reopenIfLost();

    QSqlDatabase m_db;
    QString m_beginWriteStatement;
    bool m_isInTransaction = false;
};

/// Rolls back unless committed: every early return inside a transaction leaves nothing behind.
class SqlTransaction {
public:
    explicit SqlTransaction(SqlSession& session)
        : m_session(session) {}
    ~SqlTransaction() {
        if (m_isOpen)
            m_session.rollback();
    }
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;

    Status begin() {
        auto status = m_session.begin();
        m_isOpen = status.ok();
        return status;
    }
    Status commit() {
        m_isOpen = false;
        return m_session.commit();
    }

private:
    SqlSession& m_session;
    bool m_isOpen = false;
};

Error storageError(const QString& detail);

} // namespace sonavert::cloud
