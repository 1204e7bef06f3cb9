#include "server/storage/storage_factory.h"

#include "server/storage/postgres/postgres_dialect.h"
#include "server/storage/postgres/postgres_notification_listener.h"
#include "server/storage/sql_cloud_storage.h"
#include "server/storage/sql_session.h"
#include "server/storage/sqlite/sqlite_dialect.h"
#include "server/storage/sqlite/store_lock.h"
#include "server/wire/server_error.h"

#include <QDir>
#include <QUrl>

namespace sonavert::cloud {

bool isPostgresUrl(const QString& url) {
    return url.startsWith(QLatin1String("postgresql://")) ||
           url.startsWith(QLatin1String("postgres://"));
}

QString sqliteStoreFile(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("cloud.sqlite"));
}

Result<std::shared_ptr<void>> holdCloudStorage(const QString& databaseUrl,
                                               const QString& dataDirectory) {
    if (!databaseUrl.isEmpty())
        return std::shared_ptr<void>();
    if (!QDir().mkpath(dataDirectory))
        return storageError(QStringLiteral("cannot create ") + dataDirectory);
    auto lock = StoreLock::take(sqliteStoreFile(dataDirectory), StoreLock::Mode::Shared);
    SONAVERT_TRY(lock);
    return std::shared_ptr<void>(std::move(lock.value()));
}

Result<std::unique_ptr<CloudStorage>> openCloudStorage(const QString& databaseUrl,
                                                       const QString& dataDirectory) {
    std::unique_ptr<SqlDialect> dialect;
    if (isPostgresUrl(databaseUrl)) {
        dialect = std::make_unique<PostgresDialect>(QUrl(databaseUrl));
    } else if (databaseUrl.isEmpty()) {
        if (!QDir().mkpath(dataDirectory))
            return storageError(QStringLiteral("cannot create ") + dataDirectory);
        dialect = std::make_unique<SqliteDialect>(sqliteStoreFile(dataDirectory));
    } else {
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("--database takes a postgresql:// URL"));
    }
    auto storage = SqlCloudStorage::open(std::move(dialect));
    SONAVERT_TRY(storage);
    return std::unique_ptr<CloudStorage>(std::move(storage.value()));
}

std::unique_ptr<NotificationListener> openNotificationListener(const QString& databaseUrl,
                                                               Clock& clock, Duration checkEvery) {
    if (!isPostgresUrl(databaseUrl))
        return nullptr;
    return std::make_unique<PostgresNotificationListener>(
        std::make_unique<PostgresDialect>(QUrl(databaseUrl)), clock, checkEvery);
}

QString describeCloudStorage(const QString& databaseUrl, const QString& dataDirectory) {
    if (!isPostgresUrl(databaseUrl))
        return QStringLiteral("SQLite ") + sqliteStoreFile(dataDirectory);
    const QUrl url(databaseUrl);
    return QStringLiteral("PostgreSQL ") +
           url.toString(QUrl::RemovePassword | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

} // namespace sonavert::cloud
