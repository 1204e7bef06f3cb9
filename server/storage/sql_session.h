#pragma once

#include "src/runtime/result.h"

#include <QHash>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariantList>
#include <memory>

namespace sonavert::cloud {

/// The outcome of one statement: its rows, read forward once, and the rows it changed. Holds
/// either a statement of its own or one the session keeps prepared; the statement is finished
/// when the rows go, so a kept one holds no read snapshot open between calls.
class SqlRows {
public:
    explicit SqlRows(std::shared_ptr<QSqlQuery> query)
        : m_query(std::move(query)) {}
    ~SqlRows() {
        if (m_query)
            m_query->finish();
    }
    SqlRows(SqlRows&& other) noexcept = default;
    SqlRows& operator=(SqlRows&& other) noexcept = default;
    SqlRows(const SqlRows&) = delete;
    SqlRows& operator=(const SqlRows&) = delete;

    bool next() { return m_query->next(); }
    QVariant value(int column) const { return m_query->value(column); }
    int numRowsAffected() const { return m_query->numRowsAffected(); }

private:
    std::shared_ptr<QSqlQuery> m_query;
};

/// Runs statements on one connection and turns driver failures into internal errors. A
/// connection the database server dropped (a restart) is reopened on the next statement that
/// finds it dead outside a transaction, and that statement runs once more.
class SqlSession {
public:
    /// With `keepsPreparedStatements`, a statement with binds is prepared once per connection
    /// and reused.
    SqlSession(QSqlDatabase db, QString beginWriteStatement, bool keepsPreparedStatements);

    /// Prepares, binds positionally and runs one statement.
    Result<SqlRows> run(const QString& sql, const QVariantList& binds = {});
    /// The first row's first column, or nothing when the statement returned no row.
    Result<std::optional<QVariant>> scalar(const QString& sql, const QVariantList& binds = {});

    /// Opens a transaction; inside another one it is a savepoint of it.
    Status begin();
    /// Commits the innermost open transaction (releases its savepoint when nested).
    Status commit();
    /// Undoes the innermost open transaction, and nothing outside it.
    void rollback();
    int transactionDepth() const { return m_depth; }

    QSqlDatabase& database() { return m_db; }
    void close();

private:
    Result<SqlRows> runOnce(const QString& sql, const QVariantList& binds);
    Result<std::shared_ptr<QSqlQuery>> prepared(const QString& sql);
    /// After a failed statement: whether the connection was lost and is open again now.
    bool reopenIfLost();

    QSqlDatabase m_db;
    QString m_beginWriteStatement;
    int m_depth = 0;
    bool m_keepsPreparedStatements = false;
    QHash<QString, std::shared_ptr<QSqlQuery>> m_prepared;
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

/// A failure of the storage layer; each one made is counted (storageErrorCount).
Error storageError(const QString& detail);

/// The compact JSON text an object is stored as in a text column.
QString storedJsonText(const QJsonObject& object);

} // namespace sonavert::cloud
