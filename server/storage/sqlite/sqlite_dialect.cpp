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
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"}) {
        QSqlQuery query(db);
        if (!query.exec(QString::fromLatin1(pragma)))
            return storageError(query.lastError().text());
    }
    return db;
}

} // namespace sonavert::cloud
