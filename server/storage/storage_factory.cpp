#include "server/storage/storage_factory.h"

#include "server/storage/postgres/postgres_dialect.h"
#include "server/storage/postgres/postgres_notification_listener.h"
#include "server/storage/sql_cloud_storage.h"
#include "server/storage/sql_session.h"
#include "server/storage/sqlite/sqlite_dialect.h"
#include "server/wire/server_error.h"

#include <QDir>
#include <QUrl>

namespace sonavert::cloud {

namespace {

bool isPostgresUrl(const QString& url) {
    return url.startsWith(QLatin1String("postgresql://")) ||
           url.startsWith(QLatin1String("postgres://"));
}

QString sqliteFile(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("cloud.sqlite"));
}

} // namespace

Result<std::unique_ptr<CloudStorage>> openCloudStorage(const QString& databaseUrl,
                                                       const QString& dataDirectory) {
    std::unique_ptr<SqlDialect> dialect;
    if (isPostgresUrl(databaseUrl)) {
        dialect = std::make_unique<PostgresDialect>(QUrl(databaseUrl));
    } else if (databaseUrl.isEmpty()) {
        if (!QDir().mkpath(dataDirectory))
            return storageError(QStringLiteral("cannot create ") + dataDirectory);
        dialect = std::make_unique<SqliteDialect>(sqliteFile(dataDirectory));
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
    if (isPostgresUrl(databaseUrl))
        return QUrl(databaseUrl).toString(QUrl::RemovePassword);
    return sqliteFile(dataDirectory);
}

} // namespace sonavert::cloud
