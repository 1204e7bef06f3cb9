#include "server/storage/sqlite/sqlite_dialect.h"

#include "server/storage/sql_session.h"

#include <QSqlError>
#include <QSqlQuery>

namespace sonavert::cloud {

SqliteDialect::SqliteDialect(QString filePath)
    : m_filePath(std::move(filePath)) {}

Result<QSqlDatabase> SqliteDialect::open(const QString& connectionName) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(m_filePath);
    // The command-line tools write to the same file while a server runs: wait for them.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        return storageError(db.lastError().text());
    // FULL: every commit reaches the disk before it returns, so a save acknowledged survives
    // power loss (NORMAL may lose the last commits of the write-ahead log). Saves arriving
    // together share one commit (CommitLane), which keeps the cost of that flush per group.
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"}) {
        QSqlQuery query(db);
        if (!query.exec(QString::fromLatin1(pragma)))
            return storageError(query.lastError().text());
    }
    return db;
}

} // namespace sonavert::cloud
