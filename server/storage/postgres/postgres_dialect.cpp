#include "server/storage/postgres/postgres_dialect.h"

#include "server/storage/sql_session.h"

#include <QSqlError>
#include <QUrlQuery>

namespace sonavert::cloud {

PostgresDialect::PostgresDialect(QUrl url)
    : m_url(std::move(url)) {}

Result<QSqlDatabase> PostgresDialect::open(const QString& connectionName) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(m_url.host());
    if (m_url.port() > 0)
        db.setPort(m_url.port());
    db.setDatabaseName(m_url.path().mid(1));
    db.setUserName(m_url.userName());
    db.setPassword(m_url.password());
    // Query items pass through as libpq connection options (sslmode=..., connect_timeout=...).
    QStringList options;
    for (const auto& [key, value] : QUrlQuery(m_url).queryItems(QUrl::FullyDecoded))
        options.append(key + QLatin1Char('=') + value);
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open())
        return storageError(db.lastError().text());
    return db;
}

QString PostgresDialect::announceNotificationsStatement() const {
    // Delivered at commit, so a listener that hears it can already read what it announces.
    return QStringLiteral("SELECT pg_notify('%1', ?)").arg(QLatin1String(kNotificationChannel));
}

QString PostgresDialect::description() const {
    return m_url.toString(QUrl::RemovePassword);
}

} // namespace sonavert::cloud
